// MainWindow: the traffic view. Every 1.2 s the window reads the local
// server's status block and shows the total rate in the status bar, one row
// per redirecting application in "connectionList" and a traffic line in the
// tray tooltip; while connected the same tick keeps the local server
// running. The tick also shows the kernel capture service's report of the
// connections it reset (capturereset.h). The rules are in trafficview.h.
#include "mainwindow.h"
#include "moduleinstall.h"
#include "platformdefaults.h"
#include "sharedmemory.h"
#include "trafficview.h"
#include "ui_mainwindow.h"

#include <QLabel>

namespace {
// How long the status bar shows the capture service's report.
constexpr int kCaptureResetShownMs = 10000;
}  // namespace

// The service can start or stop at any time (the Install button, the
// administrator): the line follows it on every tick.
void MainWindow::refreshModeLabel() {
    const QString mode = RedirectModeText();
    if (mode.isEmpty()) return;
    if (!modeLabel) {
        modeLabel = new QLabel(this);
        modeLabel->setObjectName(QStringLiteral("modeLabel"));
        ui->statusBar->insertPermanentWidget(0, modeLabel);
    }
    if (modeLabel->text() != mode) modeLabel->setText(mode);
}

void MainWindow::OnSpeedTimer() {
    refreshModeLabel();
    const QString reset = captureResets_.poll(CaptureResetFile());
    if (!reset.isEmpty()) ui->statusBar->showMessage(reset, kCaptureResetShownMs);
    vnx::ServerStatus* status = vnx::serverStatus(true);
    if (!status || !proxyData) return;

    const QString speed = RateText(status->udp_rate, status->tcp_rate);
    if (speedLabel && speedLabel->text() != speed) speedLabel->setText(speed);

    if (proxyData->connected != 1) {
        SetTrayToolTip(QString(), QString());
        return;
    }
    // The watchdog: relaunch the local server when it is gone.
    StartServer();

    const int rows = RefreshConnectionList(ui->connectionList, ReadStatusRows(*status));
    SetTrayToolTip(QString(), TrafficLine(speed, rows));
}
