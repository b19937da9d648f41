// The settings dialog ProgramDlg as real widgets on the offscreen platform:
// its form, the rules file it reads and writes, the browser boxes and
// buttons, what Save, Cancel and Default store, and the round trip through
// the main window's settings button into the proxy data block.
#include "appcontext.h"
#include "apphelpers.h"
#include "autostart.h"
#include "desktop.h"
#include "mainwindow.h"
#include "mainwindowaccess.h"
#include "moduleinstall.h"
#include "programdlg.h"
#include "programselectdlg.h"
#include "qt/clientworld.h"
#include "qt/httpserver.h"
#include "rulesfile.h"
#include "ui_mainwindow.h"
#include "ui_programdlg.h"
#include "ui_programselectdlg.h"
#include "updatechecker.h"

#include <QApplication>
#include <QCheckBox>
#include <QFile>
#include <QFileInfo>
#include <QHeaderView>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>

using vnxtest::ruleName;

namespace {

// Runs `act` on the next modal dialog of type T once it is shown (within
// 10 s; otherwise nothing happens and the caller's checks fail).
template <class T>
void whenModal(std::function<void(T*)> act) {
    auto* timer = new QTimer;
    auto tries = std::make_shared<int>(0);
    timer->setInterval(10);
    QObject::connect(timer, &QTimer::timeout, [timer, tries, act] {
        T* dialog = qobject_cast<T*>(QApplication::activeModalWidget());
        if (!dialog && ++*tries < 1000) return;
        timer->stop();
        timer->deleteLater();
        if (dialog) act(dialog);
    });
    timer->start();
}

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override { std::memset(&block, 0, sizeof block); }

    QStringList names(ProgramDlg& dialog) { return dialog.programNames(); }
    QPushButton* removeButton(ProgramDlg& dialog, const QString& name) {
        for (int i = 0; i < dialog.ui->programList->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = dialog.ui->programList->topLevelItem(i);
            if (item->text(0) == name) return qobject_cast<QPushButton*>(dialog.ui->programList->itemWidget(item, 1));
        }
        return nullptr;
    }
    QString header(ProgramDlg& dialog) { return dialog.ui->programList->headerItem()->text(0); }

    vnxtest::MessageRecorder boxes;
    vnxtest::ClientWorld world;
    vnx::ProxyData block;  // a block of the test's own for dialog-only cases
};

// ---------------------------------------------------------------- the form

TEST_F(SettingsTest, FormHasItsObjectsTextsAndPlaces) {
    world.writeRules("a.exe\n");
    ProgramDlg dialog(&block);
    Ui::ProgramDlg& ui = *dialog.ui;
    EXPECT_EQ(dialog.size(), QSize(539, 560));
    EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Veilnox Settings"));
    EXPECT_EQ(ui.mainTab->count(), 2);
    EXPECT_EQ(ui.mainTab->widget(0), ui.tab);
    EXPECT_EQ(ui.mainTab->tabText(0), QStringLiteral("General"));
    EXPECT_EQ(ui.mainTab->widget(1), ui.tab_2);
    EXPECT_EQ(ui.mainTab->tabText(1), QStringLiteral("Program Settings"));

    EXPECT_EQ(ui.groupBox_2->title(), QStringLiteral("Redirect Opions"));
    // 354 x 70 as designed; a wider platform type makes it grow in place so
    // that every option reads in full.
    EXPECT_EQ(ui.groupBox_2->pos(), QPoint(10, 100));
    EXPECT_GE(ui.groupBox_2->width(), 354);
    EXPECT_GE(ui.groupBox_2->height(), 70);
    dialog.show();
    ui.mainTab->setCurrentIndex(0);
    QCoreApplication::processEvents();
    for (QCheckBox* box : {ui.encBox, ui.dnsBox, ui.tcpBox, ui.udpBox}) {
        EXPECT_GE(box->width(), box->sizeHint().width()) << box->objectName().toStdString();
        EXPECT_TRUE(ui.groupBox_2->contentsRect().contains(box->geometry())) << box->objectName().toStdString();
    }
    dialog.hide();
    // Masking is no encryption, and Linux says so (Windows keeps "Encrypt
    // Data Connections"); servers with a key are encrypted either way.
    EXPECT_EQ(ui.encBox->text(), QStringLiteral("Mask Data Connections"));
    EXPECT_EQ(ui.encBox->toolTip(), MaskBoxToolTip());
    EXPECT_TRUE(ui.encBox->toolTip().contains(QStringLiteral("naive inspection")));
    EXPECT_TRUE(ui.encBox->toolTip().contains(QStringLiteral("not encryption")));
    EXPECT_TRUE(ui.encBox->toolTip().contains(QStringLiteral("always encrypted")));
    EXPECT_EQ(ui.dnsBox->text(), QStringLiteral("Redirect DNS Resolution"));
    EXPECT_EQ(ui.tcpBox->text(), QStringLiteral("Redirect TCP Data"));
    EXPECT_EQ(ui.udpBox->text(), QStringLiteral("Redirect UDP Data"));
    // What switching it off means, said where the box is.
    EXPECT_EQ(ui.udpBox->toolTip(), UdpBoxToolTip());
    EXPECT_TRUE(ui.udpBox->toolTip().contains(QStringLiteral("goes out directly from your own address")));
    EXPECT_TRUE(ui.udpBox->toolTip().contains(QStringLiteral("QUIC")));
    EXPECT_EQ(ui.repairinstallBtn->text(), QStringLiteral("Repair Installation"));
    // Buttons and boxes: as designed, higher where their line of text needs it.
    EXPECT_EQ(ui.repairinstallBtn->geometry().topLeft(), QPoint(10, 190));
    EXPECT_GE(ui.repairinstallBtn->width(), 171);
    EXPECT_GE(ui.repairinstallBtn->height(), qMax(23, ui.repairinstallBtn->fontMetrics().height() + 2));
    EXPECT_EQ(ui.checkupdateBtn->text(), QStringLiteral("Check New Update"));
    EXPECT_EQ(ui.checkupdateBtn->geometry().topLeft(), QPoint(10, 230));
    EXPECT_GE(ui.checkupdateBtn->width(), 171);
    EXPECT_GE(ui.checkupdateBtn->height(), qMax(23, ui.checkupdateBtn->fontMetrics().height() + 2));
    // Linux names its own session and browsers (the Windows build keeps
    // "Start Veilnox with Windows" and its five browsers).
    EXPECT_EQ(ui.autostartBox->text(), QStringLiteral("Start Veilnox when I log in"));
    // As designed, or larger where its text needs more.
    EXPECT_EQ(ui.autostartBox->pos(), QPoint(20, 60));
    EXPECT_GE(ui.autostartBox->width(), qMax(211, ui.autostartBox->sizeHint().width()));
    EXPECT_GE(ui.autostartBox->height(), 20);

    EXPECT_EQ(ui.allRadio->text(), QStringLiteral("Redirect All Traffic(Redirect all network applications)"));
    EXPECT_EQ(ui.selectRadio->text(),
              QStringLiteral("Redirect the following selected applications(Redirect selected applications)"));
    EXPECT_EQ(ui.selectFrame->title(), QStringLiteral("Select Applications"));
    EXPECT_EQ(ui.label->text(),
              QStringLiteral("<html><head/><body><p>Below is a list of the applications that will have their traffic "
                             "redirected by Veilnox.<br/>To add new programs to the list click on the Add button "
                             "below and select the program you would like to redirect from the list.<br/>To stop "
                             "hiding traffic for a specific application, select it from the list and click on the "
                             "remove button and then press save to apply your changes.<br>\n\nNote: Names are not "
                             "case sensitive.\n\n</p></body></html>"));
    EXPECT_TRUE(ui.label->wordWrap());
    EXPECT_TRUE(ui.label->alignment() & Qt::AlignTop);
    EXPECT_EQ(ui.groupBox_3->title(), QStringLiteral("Browsers"));
    EXPECT_EQ(ui.ieCheck->text(), QStringLiteral("Firefox"));
    EXPECT_EQ(ui.chromeCheck->text(), QStringLiteral("Google Chrome / Chromium"));
    EXPECT_EQ(ui.firefoxCheck->text(), QStringLiteral("Brave"));
    EXPECT_EQ(ui.safariCheck->text(), QStringLiteral("Epiphany"));
    EXPECT_EQ(ui.operaCheck->text(), QStringLiteral("Opera"));
    EXPECT_EQ(ui.addBtn->text(), QStringLiteral("Add Program"));
    EXPECT_EQ(ui.defaultBtn->text(), QStringLiteral("Default"));
    EXPECT_EQ(ui.okBtn->text(), QStringLiteral("Save"));
    EXPECT_TRUE(ui.okBtn->isDefault());
    EXPECT_EQ(ui.cancelBtn->text(), QStringLiteral("Cancel"));

    // The list: name and a Remove button of height 20 per row.
    EXPECT_EQ(ui.programList->columnCount(), 2);
    EXPECT_EQ(ui.programList->headerItem()->text(1), QStringLiteral(" "));
    EXPECT_EQ(ui.programList->columnWidth(0), 350);
    EXPECT_EQ(header(dialog), QStringLiteral("Name [1]"));
    QPushButton* remove = removeButton(dialog, QStringLiteral("a.exe"));
    ASSERT_NE(remove, nullptr);
    EXPECT_EQ(remove->text(), QStringLiteral("Remove"));
    EXPECT_EQ(remove->minimumHeight(), remove->maximumHeight());
    EXPECT_EQ(remove->minimumHeight(), qMax(20, remove->fontMetrics().height() + 2));
    EXPECT_EQ(remove->property("corvane-ip-veilnox").toULongLong(),
              reinterpret_cast<quintptr>(ui.programList->topLevelItem(0)));
}

TEST_F(SettingsTest, RememberedTabIsOpenedAndSaved) {
    struct Case {
        const char* stored;  // nullptr: no key
        int tab;
    } cases[] = {{nullptr, 0}, {"1", 1}, {"0", 0}, {"", 0}, {"abc", 0}, {"7", 0}, {"-1", 0}};
    for (const Case& c : cases) {
        CAppConfig& config = appContext().config;
        config.setPath(config.path());  // reload: no key
        if (c.stored) config[QStringLiteral("settingcurrenttab")] = QString::fromLatin1(c.stored);
        ProgramDlg dialog(&block);
        EXPECT_EQ(dialog.ui->mainTab->currentIndex(), c.tab) << (c.stored ? c.stored : "(none)");
    }
    ProgramDlg dialog(&block);
    dialog.ui->mainTab->setCurrentIndex(1);
    dialog.ui->okBtn->click();
    EXPECT_EQ(dialog.result(), QDialog::Accepted);
    CAppConfig saved(world.configFile());
    EXPECT_EQ(saved.value(QStringLiteral("settingcurrenttab")), QStringLiteral("1"));
}

// ---------------------------------------------------------------- the rules file

TEST_F(SettingsTest, CommentsShortLinesAndCaseDuplicatesAreDropped) {
    world.writeRules("# Chrome for everything\r\nx\n   Chrome.exe  \nchrome.exe\n\n");
    ProgramDlg dialog(&block);
    EXPECT_EQ(names(dialog), QStringList{QStringLiteral("Chrome.exe")});
    EXPECT_TRUE(dialog.ui->chromeCheck->isChecked());
    EXPECT_FALSE(dialog.ui->firefoxCheck->isChecked());
    EXPECT_EQ(header(dialog), QStringLiteral("Name [1]"));
    EXPECT_TRUE(dialog.HasProgram(QStringLiteral("CHROME.EXE")));
    EXPECT_FALSE(dialog.AddProgram(QStringLiteral("chrome.EXE")));
    EXPECT_TRUE(dialog.AddProgram(QStringLiteral("chromium")));
    EXPECT_EQ(names(dialog), (QStringList{QStringLiteral("chromium"), QStringLiteral("Chrome.exe")}));
}

TEST_F(SettingsTest, ListShowsTheFileReversedAndSaveWritesCrLfLines) {
    world.writeRules("a.exe\nb.exe\nc.exe\n");
    {
        ProgramDlg dialog(&block);
        EXPECT_EQ(names(dialog), (QStringList{"c.exe", "b.exe", "a.exe"}));
        dialog.ui->okBtn->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_EQ(vnxtest::readFile(world.rulesFile()), QByteArray("\r\nc.exe\r\nb.exe\r\na.exe"));
    ProgramDlg again(&block);
    EXPECT_EQ(names(again), (QStringList{"a.exe", "b.exe", "c.exe"}));
    EXPECT_EQ(RulesFileText({}), QString());
}

TEST_F(SettingsTest, UnreadableRulesFileIsNotWipedBySavingOptions) {
    // Larger than any text file the client reads: it loads as an empty list.
    {
        QFile big(world.rulesFile());
        ASSERT_TRUE(big.open(QIODevice::WriteOnly | QIODevice::Truncate));
        ASSERT_TRUE(big.write("keep.exe\n") > 0);
        ASSERT_TRUE(big.resize(kMaxTextFileSize + 4096));
    }
    {
        ProgramDlg dialog(&block);
        EXPECT_TRUE(names(dialog).isEmpty());
        dialog.ui->udpBox->click();
        dialog.ui->okBtn->click();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_EQ(QFileInfo(world.rulesFile()).size(), kMaxTextFileSize + 4096);
    EXPECT_EQ(CAppConfig(world.configFile()).value(QStringLiteral("redirectudp")), QStringLiteral("1"));

    // An edited list is what the user asked to keep.
    ProgramDlg dialog(&block);
    dialog.AddProgram(QStringLiteral("new.exe"));
    dialog.ui->okBtn->click();
    EXPECT_EQ(vnxtest::readFile(world.rulesFile()), QByteArray("\r\nnew.exe"));
}

TEST_F(SettingsTest, EpiphanyNeedsItsNetworkProcessToo) {
    world.writeRules("epiphany\n");
    {
        ProgramDlg dialog(&block);
        EXPECT_FALSE(dialog.ui->safariCheck->isChecked());
    }
    world.writeRules("Epiphany\nwebkitnetworkprocess.EXE\nnotepad\n");
    ProgramDlg dialog(&block);
    EXPECT_TRUE(dialog.ui->safariCheck->isChecked());

    // Removing one of the two with its button unchecks the box and keeps
    // the other name.
    QPushButton* remove = removeButton(dialog, QStringLiteral("Epiphany"));
    ASSERT_NE(remove, nullptr);
    remove->click();
    QCoreApplication::processEvents();
    EXPECT_FALSE(dialog.ui->safariCheck->isChecked());
    EXPECT_EQ(names(dialog), (QStringList{"notepad", "webkitnetworkprocess.EXE"}));
    EXPECT_EQ(header(dialog), QStringLiteral("Name [2]"));

    // The box adds the missing name, and takes both away (with or without
    // ".exe") in any case.
    dialog.ui->safariCheck->click();
    EXPECT_EQ(names(dialog), (QStringList{"epiphany", "notepad", "webkitnetworkprocess.EXE"}));
    dialog.ui->safariCheck->click();
    EXPECT_EQ(names(dialog), QStringList{"notepad"});
    EXPECT_EQ(header(dialog), QStringLiteral("Name [1]"));
}

TEST_F(SettingsTest, BrowserBoxesAddAndRemoveOnlyTheirOwnExecutables) {
    // One of a browser's names is enough, with or without ".exe" (as the
    // module matches them).
    world.writeRules("Chrome.exe\nfirefox-esr\nchromium\n");
    ProgramDlg dialog(&block);
    EXPECT_TRUE(dialog.ui->chromeCheck->isChecked());
    EXPECT_TRUE(dialog.ui->ieCheck->isChecked());
    EXPECT_FALSE(dialog.ui->firefoxCheck->isChecked());
    dialog.ui->chromeCheck->click();  // off: removes Chrome.exe, whatever its case, and chromium
    EXPECT_EQ(names(dialog), QStringList{"firefox-esr"});
    EXPECT_TRUE(dialog.ui->ieCheck->isChecked());
    dialog.ui->operaCheck->click();
    dialog.ui->firefoxCheck->click();
    EXPECT_EQ(names(dialog), (QStringList{"brave", "opera", "firefox-esr"}));

    // Removing a row with its button re-synchronises every box.
    removeButton(dialog, QStringLiteral("firefox-esr"))->click();
    EXPECT_FALSE(dialog.ui->ieCheck->isChecked());
    EXPECT_TRUE(dialog.ui->operaCheck->isChecked());
    EXPECT_TRUE(dialog.ui->firefoxCheck->isChecked());
}

TEST_F(SettingsTest, ForgedRemoveButtonDeletesNothing) {
    world.writeRules("a.exe\nb.exe\n");
    ProgramDlg dialog(&block);
    QPushButton forged;
    // An address that is no row of the list, and 0.
    auto* gone = new QTreeWidgetItem;
    forged.setProperty("corvane-ip-veilnox", QVariant::fromValue<qulonglong>(reinterpret_cast<quintptr>(gone)));
    delete gone;
    ASSERT_TRUE(QObject::connect(&forged, SIGNAL(clicked()), &dialog, SLOT(OnRemoveBtn())));
    forged.click();
    forged.setProperty("corvane-ip-veilnox", QVariant::fromValue<qulonglong>(0));
    forged.click();
    EXPECT_EQ(names(dialog), (QStringList{"b.exe", "a.exe"}));
}

// ---------------------------------------------------------------- Save, Cancel, Default

TEST_F(SettingsTest, FreshInstallShowsTheDefaultsTheWindowApplied) {
    ASSERT_FALSE(QFileInfo::exists(world.rulesFile()));
    std::unique_ptr<MainWindow> window(vnxtest::makeWindow());
    ASSERT_TRUE(window->isUsable());
    ProgramDlg dialog(MainWindowAccess(*window).proxyData, window.get());
    EXPECT_TRUE(dialog.ui->encBox->isChecked());
    EXPECT_TRUE(dialog.ui->dnsBox->isChecked());
    EXPECT_TRUE(dialog.ui->tcpBox->isChecked());
    EXPECT_TRUE(dialog.ui->udpBox->isChecked());  // Linux: a program's UDP goes through the proxy too
    EXPECT_FALSE(dialog.ui->allRadio->isChecked());
    EXPECT_TRUE(dialog.ui->selectRadio->isChecked());
    EXPECT_TRUE(dialog.ui->selectFrame->isEnabled());
    EXPECT_FALSE(dialog.ui->autostartBox->isChecked());
    EXPECT_EQ(dialog.ui->mainTab->currentIndex(), 0);

    // The missing rules file was seeded from the shipped list.
    const QByteArray seed = vnxtest::readFile(vnxtest::binDir() + "/" + ProgramDlg::defaultRulesPath());
    ASSERT_FALSE(seed.isEmpty());
    EXPECT_EQ(vnxtest::readFile(world.rulesFile()), seed);
    QStringList expected = RulesFileNames(QString::fromUtf8(seed));
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(names(dialog), expected);
}

TEST_F(SettingsTest, CancelWritesNothing) {
    world.writeRules("a.exe\r\nb.exe\r\n");
    world.writeSettings("<Vars>\n <redirectudp>1</redirectudp>\n</Vars>\n");
    const QByteArray rules = vnxtest::readFile(world.rulesFile());
    const QByteArray settings = vnxtest::readFile(world.configFile());
    {
        ProgramDlg dialog(&block);
        dialog.AddProgram(QStringLiteral("new.exe"));
        removeButton(dialog, QStringLiteral("a.exe"))->click();
        dialog.ui->encBox->click();
        dialog.ui->allRadio->click();
        dialog.ui->autostartBox->click();
        dialog.ui->mainTab->setCurrentIndex(1);
        dialog.ui->cancelBtn->click();
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    {
        ProgramDlg dialog(&block);
        dialog.RemoveProgram(QStringLiteral("B.EXE"));
        dialog.close();  // closing the window is a Cancel too
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
    }
    EXPECT_EQ(vnxtest::readFile(world.rulesFile()), rules);
    EXPECT_EQ(vnxtest::readFile(world.configFile()), settings);
    EXPECT_FALSE(IsAutostartEnabled(QStringLiteral("Veilnox")));
}

TEST_F(SettingsTest, DefaultRestoresTheShippedListAndOptionsButStoresNothing) {
    world.writeRules("x.exe\n");
    block.redirect_all_apps = 1;
    block.redirect_udp = 0;  // switched off: Default turns it on again (Linux)
    ProgramDlg dialog(&block);
    EXPECT_TRUE(dialog.ui->allRadio->isChecked());
    EXPECT_FALSE(dialog.ui->udpBox->isChecked());
    EXPECT_FALSE(dialog.ui->selectFrame->isEnabled());
    dialog.ui->autostartBox->setChecked(true);
    dialog.ui->mainTab->setCurrentIndex(1);

    dialog.ui->defaultBtn->click();
    EXPECT_TRUE(dialog.ui->selectRadio->isChecked());
    EXPECT_TRUE(dialog.ui->selectFrame->isEnabled());
    EXPECT_TRUE(dialog.ui->encBox->isChecked());
    EXPECT_TRUE(dialog.ui->udpBox->isChecked());
    EXPECT_TRUE(dialog.ui->dnsBox->isChecked());
    EXPECT_TRUE(dialog.ui->tcpBox->isChecked());
    EXPECT_TRUE(dialog.ui->autostartBox->isChecked());  // untouched
    EXPECT_EQ(dialog.ui->mainTab->currentIndex(), 1);   // untouched
    QStringList expected =
        RulesFileNames(QString::fromUtf8(vnxtest::readFile(vnxtest::binDir() + "/" + ProgramDlg::defaultRulesPath())));
    std::reverse(expected.begin(), expected.end());
    EXPECT_EQ(names(dialog), expected);
    EXPECT_TRUE(dialog.ui->chromeCheck->isChecked());  // the shipped list names Chromium
    EXPECT_EQ(vnxtest::readFile(world.rulesFile()), QByteArray("x.exe\n"));
    EXPECT_FALSE(QFileInfo::exists(world.configFile()));
}

TEST_F(SettingsTest, RadioButtonsOnlyEnableOrDisableTheList) {
    world.writeRules("a.exe\n");
    ProgramDlg dialog(&block);
    dialog.ui->allRadio->click();
    EXPECT_FALSE(dialog.ui->selectFrame->isEnabled());
    EXPECT_EQ(names(dialog), QStringList{"a.exe"});
    dialog.ui->selectRadio->click();
    EXPECT_TRUE(dialog.ui->selectFrame->isEnabled());
    EXPECT_EQ(names(dialog), QStringList{"a.exe"});
}

TEST_F(SettingsTest, AddButtonAddsOnceAndNamesTheDuplicate) {
    world.writeRules("a.exe\n");
    ProgramDlg dialog(&block);
    whenModal<ProgramSelectDlg>([](ProgramSelectDlg* select) {
        select->ui->programEdit->setText(QStringLiteral("  Tool.exe "));
        select->ui->okBtn->click();
    });
    dialog.ui->addBtn->click();
    EXPECT_EQ(names(dialog), (QStringList{"Tool.exe", "a.exe"}));
    EXPECT_TRUE(boxes.boxes.isEmpty());

    whenModal<ProgramSelectDlg>([](ProgramSelectDlg* select) {
        select->ui->programEdit->setText(QStringLiteral("tool.EXE"));
        select->ui->okBtn->click();
    });
    dialog.ui->addBtn->click();
    EXPECT_EQ(names(dialog), (QStringList{"Tool.exe", "a.exe"}));
    ASSERT_EQ(boxes.boxes.size(), 1);
    EXPECT_EQ(boxes.boxes[0].text, QStringLiteral("tool.EXE aready exists in program list"));

    // Adding a browser's name keeps its box in step.
    whenModal<ProgramSelectDlg>([](ProgramSelectDlg* select) {
        select->ui->programEdit->setText(QStringLiteral("opera.exe"));
        select->ui->okBtn->click();
    });
    dialog.ui->addBtn->click();
    EXPECT_TRUE(dialog.ui->operaCheck->isChecked());

    whenModal<ProgramSelectDlg>([](ProgramSelectDlg* select) { select->ui->cancelBtn->click(); });
    dialog.ui->addBtn->click();
    EXPECT_EQ(names(dialog).size(), 3);
}

TEST_F(SettingsTest, MaintenanceButtonsRepairTheModuleAndCheckForUpdates) {
    ProgramDlg dialog(&block);
    ASSERT_FALSE(IsLspInstalled());
    dialog.ui->repairinstallBtn->click();
    EXPECT_TRUE(IsLspInstalled());
    ASSERT_EQ(boxes.boxes.size(), 1);
    // No capture service on the test's system: the module is reported, the
    // service's absence too (RepairReportsTheCaptureServiceAsItIs has the
    // situations of a machine).
    EXPECT_TRUE(boxes.boxes[0].text.startsWith(
        QStringLiteral("The module for programs started with veilnox-run is installed.")))
        << boxes.boxes[0].text.toStdString();

    world.breakModuleFolder();
    dialog.ui->repairinstallBtn->click();
    ASSERT_EQ(boxes.boxes.size(), 2);
    EXPECT_TRUE(boxes.boxes[1].text.startsWith(
        QStringLiteral("Install LSP module failed, please login as administrator and try again.")))
        << boxes.boxes[1].text.toStdString();

    // Update check: no answer from the version endpoints, then a newer
    // version from a local server.
    vnxtest::HttpServer http;
    ASSERT_TRUE(http.start());
    http.setRoute(QStringLiteral("/ver"), {200, "{\"ver\":\"9.1.0.0\"}", false});
    UpdateChecker quiet(QStringList{QStringLiteral("http://127.0.0.1:1/none")}, QStringLiteral("1.0.0.0"));
    appContext().updateChecker = &quiet;
    dialog.ui->checkupdateBtn->click();
    ASSERT_EQ(boxes.boxes.size(), 3);
    EXPECT_EQ(boxes.boxes[2].text, QStringLiteral("You have the latest version."));

    UpdateChecker newer(QStringList{http.url(QStringLiteral("/ver"))}, QStringLiteral("1.0.0.0"));
    appContext().updateChecker = &newer;
    vnxtest::UrlRecorder urls;
    boxes.answer = true;
    dialog.ui->checkupdateBtn->click();
    ASSERT_EQ(boxes.boxes.size(), 4);
    EXPECT_EQ(boxes.boxes[3].kind, MessageKind::YesNo);
    EXPECT_EQ(boxes.boxes[3].text, NewVersionQuestion(QStringLiteral("9.1.0.0")));
    EXPECT_EQ(urls.urls, QStringList{appContext().homepageUrl});
    appContext().updateChecker = nullptr;
}

// ---------------------------------------------------------------- through the main window

TEST_F(SettingsTest, SaveIsPublishedIntoTheProxyDataBlock) {
    world.writeRules("a.exe\nb.exe\n");
    std::unique_ptr<MainWindow> window(vnxtest::makeWindow());
    ASSERT_TRUE(window->isUsable());
    vnx::ProxyData* data = MainWindowAccess(*window).proxyData;
    EXPECT_EQ(data->rule_count, 2);
    // A server with a key and one without: masking decides what the second
    // one shows.
    StringMap keyed = vnxtest::server("10.6.6.6", "9200", "Germany");
    keyed["key"] = QStringLiteral("AAECAwQFBgcICQoLDA0ODxAREhMUFRYXGBkaGxwdHh8");
    window->AddServerRow(keyed);
    window->AddServerRow(vnxtest::server("10.7.7.7", "9200", "France"));
    QTreeWidget* rows = MainWindowAccess(*window).ui->proxyList;
    EXPECT_TRUE(rows->topLevelItem(0)->toolTip(1).startsWith(QStringLiteral("Encrypted:")));
    EXPECT_TRUE(rows->topLevelItem(1)->toolTip(1).startsWith(QStringLiteral("Masked:")));

    whenModal<ProgramDlg>([](ProgramDlg* dialog) {
        dialog->ui->encBox->setChecked(false);
        dialog->ui->dnsBox->setChecked(false);
        dialog->ui->udpBox->setChecked(true);
        dialog->AddProgram(QStringLiteral("c.exe"));
        dialog->ui->autostartBox->setChecked(true);
        dialog->ui->mainTab->setCurrentIndex(1);
        dialog->ui->okBtn->click();
    });
    MainWindowAccess(*window).ui->settingBtn->click();

    CAppConfig saved(world.configFile());
    EXPECT_EQ(saved.value(QStringLiteral("encryptdata")), QStringLiteral("0"));
    EXPECT_EQ(saved.value(QStringLiteral("redirectdns")), QStringLiteral("0"));
    EXPECT_EQ(saved.value(QStringLiteral("redirectudp")), QStringLiteral("1"));
    EXPECT_EQ(saved.value(QStringLiteral("redirecttcp")), QStringLiteral("1"));
    EXPECT_EQ(saved.value(QStringLiteral("redirectallapp")), QStringLiteral("0"));
    EXPECT_EQ(saved.value(QStringLiteral("settingcurrenttab")), QStringLiteral("1"));
    EXPECT_EQ(vnxtest::readFile(world.rulesFile()), QByteArray("\r\nc.exe\r\nb.exe\r\na.exe"));
    EXPECT_TRUE(IsAutostartEnabled(QStringLiteral("Veilnox")));
    EXPECT_TRUE(MainWindowAccess(*window).ui->autostartBox->isChecked());
    EXPECT_TRUE(rows->topLevelItem(0)->toolTip(1).startsWith(QStringLiteral("Encrypted:")));
    EXPECT_TRUE(rows->topLevelItem(1)->toolTip(1).startsWith(QStringLiteral("Plain:")));

    // The block, byte for byte where it matters.
    EXPECT_EQ(data->encrypt_data, 0);
    EXPECT_EQ(data->redirect_dns, 0);
    EXPECT_EQ(data->redirect_udp, 1);
    EXPECT_EQ(data->redirect_tcp, 1);
    EXPECT_EQ(data->redirect_all_apps, 0);
    ASSERT_EQ(data->rule_count, 3);
    const char* expected[] = {"c.exe", "b.exe", "a.exe"};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(ruleName(data->rules[i]), QString::fromLatin1(expected[i]));
        EXPECT_EQ(data->rules[i].enabled, 1);
        EXPECT_EQ(data->rules[i].name[std::strlen(expected[i])], 0);
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    EXPECT_EQ(bytes[offsetof(vnx::ProxyData, encrypt_data)], 0);
    EXPECT_EQ(bytes[offsetof(vnx::ProxyData, redirect_udp)], 1);
    EXPECT_EQ(bytes[offsetof(vnx::ProxyData, rules)], 'c');
    EXPECT_EQ(bytes[offsetof(vnx::ProxyData, rules) + 1], 0);  // UTF-16LE

    // All applications, no autostart.
    whenModal<ProgramDlg>([](ProgramDlg* dialog) {
        EXPECT_FALSE(dialog->ui->encBox->isChecked());  // opens on the applied state
        EXPECT_TRUE(dialog->ui->udpBox->isChecked());
        EXPECT_EQ(dialog->ui->mainTab->currentIndex(), 1);
        dialog->ui->allRadio->click();
        dialog->ui->autostartBox->setChecked(false);
        dialog->ui->okBtn->click();
    });
    MainWindowAccess(*window).ui->settingBtn->click();
    EXPECT_EQ(data->redirect_all_apps, 1);
    EXPECT_FALSE(IsAutostartEnabled(QStringLiteral("Veilnox")));
    EXPECT_FALSE(MainWindowAccess(*window).ui->autostartBox->isChecked());

    // Cancel: the block does not change.
    QByteArray before(reinterpret_cast<const char*>(data), sizeof *data);
    whenModal<ProgramDlg>([](ProgramDlg* dialog) {
        dialog->ui->tcpBox->setChecked(false);
        dialog->RemoveProgram(QStringLiteral("a.exe"));
        dialog->ui->cancelBtn->click();
    });
    MainWindowAccess(*window).ui->settingBtn->click();
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(data), sizeof *data), before);
}

}  // namespace
