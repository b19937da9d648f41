#include "programselectdlg.h"

#include "appconfig.h"
#include "messages.h"
#include "ui_programselectdlg.h"

#include <QDir>
#include <QFileInfo>

namespace {
const QString kPathKey = QStringLiteral("AddProgramPath");
}

ProgramSelectDlg::ProgramSelectDlg(CAppConfig& config, QWidget* parent)
    : QDialog(parent), ui(new Ui::ProgramSelectDlg), config_(config) {
    ui->setupUi(this);
    // The label's height was designed for 96 dpi type: it grows with the
    // type so that descenders are not cut.
    ui->label->setMaximumHeight(qMax(ui->label->maximumHeight(), ui->label->fontMetrics().height()));
}

ProgramSelectDlg::~ProgramSelectDlg() = default;

QString ProgramSelectDlg::fileFilter() {
    // Linux programs carry no extension: every file is offered first.
    return tr("Any Files (*);;Exe Files (*.exe)");
}

void ProgramSelectDlg::on_browseBtn_clicked() {
    QString& start = config_[kPathKey];
    // The home folder stands in for the system drive's root.
    if (start.isEmpty()) start = QDir::homePath();
    QString chosen = GetOpenFileName(this, QString(), start, fileFilter());
    if (chosen.isEmpty()) return;
    QFileInfo file(chosen);
    config_[kPathKey] = file.absolutePath();
    config_.save();
    ui->programEdit->setText(file.fileName());
}

void ProgramSelectDlg::on_okBtn_clicked() {
    programName = ui->programEdit->text().trimmed();
    if (!programName.isEmpty()) {
        accept();
        return;
    }
    ShowMessage(QStringLiteral("Program name can not be empty."));
}

void ProgramSelectDlg::on_cancelBtn_clicked() { reject(); }
