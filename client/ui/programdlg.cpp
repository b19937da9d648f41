#include "programdlg.h"

#include "appcontext.h"
#include "apphelpers.h"
#include "autostart.h"
#include "cdragtreewidget.h"
#include "desktop.h"
#include "messages.h"
#include "moduleactions.h"
#include "platformdefaults.h"
#include "programselectdlg.h"
#include "rulesfile.h"
#include "ui_programdlg.h"
#include "updatechecker.h"
#include "widgethelpers.h"

#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QTreeWidgetItem>

namespace {

const char kRowProperty[] = "corvane-ip-veilnox";

QString flag(bool on) { return on ? QStringLiteral("1") : QStringLiteral("0"); }

}  // namespace

QString UdpBoxToolTip() {
    return QStringLiteral(
        "When this is off, the UDP traffic of the chosen programs (QUIC web pages, voice and video "
        "calls, games) goes out directly from your own address, not through the proxy.");
}

ProgramDlg::ProgramDlg(vnx::ProxyData* proxyData, QWidget* parent)
    : QDialog(parent), ui(new Ui::ProgramDlg), proxy(proxyData) {
    AppContext& app = appContext();
    ui->setupUi(this);
    bool tabOk = false;
    const int tab = app.config.value(QStringLiteral("settingcurrenttab")).toInt(&tabOk);
    ui->mainTab->setCurrentIndex(tabOk && tab >= 0 && tab < ui->mainTab->count() ? tab : 0);

    setWindowTitle(app.applicationName + QStringLiteral(" Settings"));
    ui->autostartBox->setText(AutostartBoxText());
    ui->udpBox->setToolTip(UdpBoxToolTip());
    ui->encBox->setText(MaskBoxText());
    ui->encBox->setToolTip(MaskBoxToolTip());
    const QList<QCheckBox*> checks = browserChecks();
    for (int i = 0; i < checks.size() && i < BrowserBoxes().size(); ++i)
        checks[i]->setText(BrowserBoxes()[i].text);
    // The General page has no layout: its widgets keep the designed
    // geometry of 96 dpi, scaled with the type's dpi and grown to their
    // texts, so that no text is cut (the options box is laid out for the
    // design's 8-point type).
    const double scale = FontScale(this);
    for (QWidget* widget : {static_cast<QWidget*>(ui->autostartBox), static_cast<QWidget*>(ui->groupBox_2),
                            static_cast<QWidget*>(ui->repairinstallBtn), static_cast<QWidget*>(ui->checkupdateBtn)}) {
        const QRect designed = widget->geometry();
        PlaceScaled(widget, designed, scale);
        if (widget == ui->groupBox_2) widget->resize(widget->size().expandedTo(widget->minimumSizeHint()));
    }
    if (scale > 1.0) resize(size() * scale);

    if (proxy) {
        ui->encBox->setChecked(proxy->encrypt_data != 0);
        ui->dnsBox->setChecked(proxy->redirect_dns != 0);
        ui->udpBox->setChecked(proxy->redirect_udp != 0);
        ui->tcpBox->setChecked(proxy->redirect_tcp != 0);
    }
    if (proxy && proxy->redirect_all_apps != 0)
        ui->allRadio->setChecked(true);
    else
        ui->selectRadio->setChecked(true);

    ui->autostartBox->setChecked(IsAutostartEnabled(app.applicationName));
    updateSelectFrame();

    ui->programList->setHeaderLabels({QStringLiteral("Name"), QStringLiteral(" ")});
    ui->programList->setColumnWidth(0, 350);
    ui->programList->header()->setStretchLastSection(true);

    const QString rules = app.rulesPath();
    if (!QFileInfo::exists(rules)) {
        // Start-up already tried (and logged a failure); here a failed copy
        // only means an empty list.
        MakeParentPath(rules);
        QFile::copy(ProgramFilePath(defaultRulesPath()), rules);
    }
    // A rules file that exists but cannot be read shows as an empty list;
    // saving that list unchanged (to change an option) must not wipe it.
    QFile probe(rules);
    rulesUnreadable_ =
        QFileInfo::exists(rules) && (!probe.open(QIODevice::ReadOnly) || probe.size() > kMaxTextFileSize);
    LoadProgramList(rules);
    loadedNames_ = programNames();
}

ProgramDlg::~ProgramDlg() = default;

QString ProgramDlg::defaultRulesPath() { return DefaultRulesFile(); }

// ---------------------------------------------------------------- the list

bool ProgramDlg::HasProgram(const QString& name) const { return rowsByName_.contains(name.toLower()); }

bool ProgramDlg::AddProgram(const QString& name) {
    if (HasProgram(name)) return false;
    auto* item = new QTreeWidgetItem;
    item->setText(0, name);
    ui->programList->insertTopLevelItem(0, item);
    rowsByName_.insert(name.toLower(), item);

    auto* button = new QPushButton(QStringLiteral("Remove"));

    button->setAutoDefault(false);
    button->setProperty(kRowProperty, QVariant::fromValue<qulonglong>(reinterpret_cast<quintptr>(item)));
    connect(button, &QPushButton::clicked, this, &ProgramDlg::OnRemoveBtn);
    ui->programList->setItemWidget(item, 1, button);
    // 20 pixels at 96 dpi, more where its line of text needs it.
    button->setFixedHeight(qMax(ScaledPixels(20, FontScale(this)), button->fontMetrics().height() + 2));
    updateHeader();
    return true;
}

void ProgramDlg::RemoveProgram(const QString& name) {
    for (int i = 0; i < ui->programList->topLevelItemCount();) {
        QTreeWidgetItem* item = ui->programList->topLevelItem(i);
        if (item->text(0).compare(name, Qt::CaseInsensitive) == 0)
            deleteRow(item);  // the next row moves into place i
        else
            ++i;
    }
    updateHeader();
}

QList<QCheckBox*> ProgramDlg::browserChecks() const {
    return {ui->ieCheck, ui->chromeCheck, ui->firefoxCheck, ui->safariCheck, ui->operaCheck};
}

bool ProgramDlg::listsExecutable(const QString& name) const {
    // The module matches a rule with or without a trailing ".exe", and so
    // does a box: "brave.exe" of the default rules is Brave's "brave".
    return HasProgram(name) || HasProgram(name + QStringLiteral(".exe"));
}

void ProgramDlg::SyncBrowserChecks() {
    const QList<QCheckBox*> checks = browserChecks();
    const QList<BrowserBox>& boxes = BrowserBoxes();
    for (int i = 0; i < checks.size() && i < boxes.size(); ++i) {
        int listed = 0;
        for (const QString& name : boxes[i].executables)
            if (listsExecutable(name)) ++listed;
        checks[i]->setChecked(boxes[i].needsAll ? listed == boxes[i].executables.size() : listed > 0);
    }
}

void ProgramDlg::LoadProgramList(const QString& path) {
    clearList();
    ui->programList->setUpdatesEnabled(false);
    const QStringList names = RulesFileNames(ReadTextFile(path));
    for (const QString& name : names)
        AddProgram(name);
    ui->programList->setUpdatesEnabled(true);
    updateHeader();
    SyncBrowserChecks();
}

QStringList ProgramDlg::programNames() const {
    QStringList names;
    for (int i = 0; i < ui->programList->topLevelItemCount(); ++i)
        names.append(ui->programList->topLevelItem(i)->text(0));
    return names;
}

void ProgramDlg::deleteRow(QTreeWidgetItem* item) {
    const QString key = item->text(0).toLower();
    if (rowsByName_.value(key) == item) rowsByName_.remove(key);
    // The row's button goes with the row; the view releases it later, so a
    // button whose own click is being handled is not deleted under it.
    delete item;
}

void ProgramDlg::clearList() {
    ui->programList->clear();
    rowsByName_.clear();
    updateHeader();
}

void ProgramDlg::updateHeader() {
    ui->programList->headerItem()->setText(0, QStringLiteral("Name [%1]").arg(ui->programList->topLevelItemCount()));
}

void ProgramDlg::updateSelectFrame() { ui->selectFrame->setEnabled(!ui->allRadio->isChecked()); }

// ---------------------------------------------------------------- buttons

void ProgramDlg::on_okBtn_clicked() {
    CAppConfig& config = appContext().config;
    config[QStringLiteral("encryptdata")] = flag(ui->encBox->isChecked());
    config[QStringLiteral("redirectdns")] = flag(ui->dnsBox->isChecked());
    config[QStringLiteral("redirectudp")] = flag(ui->udpBox->isChecked());
    config[QStringLiteral("redirecttcp")] = flag(ui->tcpBox->isChecked());
    config[QStringLiteral("redirectallapp")] = flag(ui->allRadio->isChecked());
    config.setNumber(QStringLiteral("settingcurrenttab"), ui->mainTab->currentIndex());
    config.save();

    const QStringList rows = programNames();
    if (!rulesUnreadable_ || rows != loadedNames_) WriteTextFile(appContext().rulesPath(), RulesFileText(rows));

    const QString& name = appContext().applicationName;
    if (ui->autostartBox->isChecked())
        EnableAutostart(name, QString());
    else
        DisableAutostart(name);
    accept();
}

void ProgramDlg::on_cancelBtn_clicked() { reject(); }

void ProgramDlg::on_addBtn_clicked() {
    ProgramSelectDlg select(appContext().config, this);
    if (select.exec() != QDialog::Accepted || select.programName.isEmpty()) return;
    if (HasProgram(select.programName)) {
        ShowMessage(select.programName + QStringLiteral(" aready exists in program list"));
        return;
    }
    AddProgram(select.programName);
    SyncBrowserChecks();
}

void ProgramDlg::on_encBox_toggled(bool) {}

void ProgramDlg::on_defaultBtn_clicked() {
    ui->selectRadio->setChecked(true);
    updateSelectFrame();
    LoadProgramList(ProgramFilePath(defaultRulesPath()));
    ui->encBox->setChecked(true);
    ui->udpBox->setChecked(RedirectUdpByDefault());
    ui->dnsBox->setChecked(true);
    ui->tcpBox->setChecked(true);
}

void ProgramDlg::OnRemoveBtn() {
    QObject* button = sender();
    if (!button) return;
    const auto address = static_cast<quintptr>(button->property(kRowProperty).toULongLong());
    if (address != 0) {
        // The property names a row; it is used only when it still is one of
        // this list's rows (compared as an address, never dereferenced first).
        for (int i = 0; i < ui->programList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = ui->programList->topLevelItem(i);
            if (reinterpret_cast<quintptr>(item) == address) {
                deleteRow(item);
                break;
            }
        }
    }
    SyncBrowserChecks();
    updateHeader();
}

void ProgramDlg::onBrowserBox(int box) {
    const QList<BrowserBox>& boxes = BrowserBoxes();
    if (box < 0 || box >= boxes.size()) return;
    const bool checked = browserChecks().at(box)->isChecked();
    for (const QString& name : boxes[box].executables) {
        if (checked) {
            if (!listsExecutable(name)) AddProgram(name);
        } else {
            RemoveProgram(name);
            RemoveProgram(name + QStringLiteral(".exe"));
        }
    }
}

void ProgramDlg::on_ieCheck_clicked() { onBrowserBox(0); }
void ProgramDlg::on_chromeCheck_clicked() { onBrowserBox(1); }
void ProgramDlg::on_firefoxCheck_clicked() { onBrowserBox(2); }
void ProgramDlg::on_safariCheck_clicked() { onBrowserBox(3); }
void ProgramDlg::on_operaCheck_clicked() { onBrowserBox(4); }

void ProgramDlg::on_repairinstallBtn_clicked() { RepairLsp(); }

void ProgramDlg::on_checkupdateBtn_clicked() {
    AppContext& app = appContext();
    // The process-wide checker remembers a version learned earlier in this
    // run; without one (a dialog opened outside the client) a checker of
    // this dialog's own does the check.
    std::unique_ptr<UpdateChecker> own;
    UpdateChecker* checker = app.updateChecker;
    if (!checker) {
        own.reset(new UpdateChecker);
        checker = own.get();
    }
    RunUpdateCheckDialog(*checker, this, app.homepageUrl);
}

void ProgramDlg::on_allRadio_clicked() { onRadioClicked(); }
void ProgramDlg::on_selectRadio_clicked() { onRadioClicked(); }
void ProgramDlg::onRadioClicked() { updateSelectFrame(); }
