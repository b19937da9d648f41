// MainWindow: the settings button. The dialog stores what the user saved;
// the window then shows the autostart state and publishes the keys and the
// rules into the proxy data block.
#include "appcontext.h"
#include "autostart.h"
#include "mainwindow.h"
#include "programdlg.h"
#include "ui_mainwindow.h"

#include <QCheckBox>
#include <QSignalBlocker>

void MainWindow::on_settingBtn_clicked() {
    ProgramDlg dialog(proxyData, this);
    if (dialog.exec() != QDialog::Accepted) return;
    {
        // Showing the state the dialog stored must not write the entry again.
        QSignalBlocker blocker(ui->autostartBox);
        ui->autostartBox->setChecked(IsAutostartEnabled(appContext().applicationName));
    }
    PublishSettings();
    // Masking may have changed what protects the servers without a key.
    RefreshProtection();
}
