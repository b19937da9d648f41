// MainWindow: the connectivity test of the server list. Every four minutes
// each row's server gets one probe datagram from udpSocket; answers within
// the cycle's window (10 s) set the row's signal bar and "Connectivity"
// text, rows without an answer count a time-out. The same tick repairs the
// network-stack module while connected and puts the once-per-run update
// question. The rules themselves are in probe.h.
#include "appcontext.h"
#include "mainwindow.h"
#include "moduleactions.h"
#include "moduleinstall.h"
#include "platform/system.h"
#include "probe.h"
#include "ui_mainwindow.h"
#include "updatechecker.h"

#include <QHostAddress>
#include <QProgressBar>
#include <QTimer>
#include <QTreeWidgetItem>
#include <QUdpSocket>
#include <QtEndian>

#include <memory>

namespace {
constexpr int kProbeIntervalMs = 240000;
// Datagrams handled per readyRead: a flood of answers must not hold the GUI
// thread; the socket signals again for the rest.
constexpr int kMaxDatagramsPerRead = 256;
}  // namespace

std::uint32_t MainWindow::probeNow() const { return probeClock_ ? probeClock_() : vnxplat::tickCount(); }

void MainWindow::setProbeWindow(int ms) {
    probeWindowMs_ = ms;
    if (endTestTimer_) endTestTimer_->setInterval(ms);
}

void MainWindow::OnTestProxyTimer() {
    if (testTimer->interval() != kProbeIntervalMs) testTimer->setInterval(kProbeIntervalMs);

    const std::uint32_t now = probeNow();
    for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i) {
        ServerEntry* entry = entryOf(ui->proxyList->topLevelItem(i));
        if (!entry) continue;
        MarkProbeSent(*entry, now);
        SendProbe(entry->value(QStringLiteral("ip")), ProbePort(*entry), entry->value(QStringLiteral("key")));
    }

    // One window per cycle: a cycle started while another is outstanding
    // (the test button) restarts the window, so its rows get the whole
    // window to answer instead of the rest of the earlier one.
    if (!endTestTimer_) {
        endTestTimer_ = new QTimer(this);
        endTestTimer_->setSingleShot(true);
        connect(endTestTimer_, &QTimer::timeout, this, &MainWindow::OnEndTestTimer);
    }
    endTestTimer_->start(probeWindowMs_);

    // The silent repair of a running connection: in the background, one
    // run at a time, and without a password prompt.
    if (proxyData && proxyData->connected == 1 && !IsLspInstalled() && !ModuleScriptsBusy() &&
        (!silentRepair_ || !silentRepair_->isRunning())) {
        if (!silentRepair_) {
            silentRepair_ = new ModuleScriptRun(FormatInstallPair(), 120000, this);
            silentRepair_->setAskPassword(false);
        }
        silentRepair_->start();
    }
    AppContext& app = appContext();
    if (app.updateChecker) AskForUpdateOnce(*app.updateChecker, app.updateAsked, app.homepageUrl);
}

bool MainWindow::SendProbe(const QString& ip, std::uint16_t port, const QString& key) {
    std::uint32_t address = 0;
    // A row without a usable address or port cannot be sent to; it simply
    // times out at the end of the cycle.
    if (!udpSocket || port == 0 || !ProbeAddress(ip, address)) return true;
    QByteArray probe = BuildProbe(ip, port);
    if (!key.isEmpty()) {
        // A keyed relay answers sealed probes only; a damaged key gets none.
        StringMap server;
        server.insert(QStringLiteral("key"), key);
        std::uint8_t bytes[vnx::kHopKeySize];
        if (!ServerKey(server, bytes)) return true;
        if (!probeSeals_) probeSeals_.reset(new ProbeSeals);
        probe = probeSeals_->seal(QByteArray(reinterpret_cast<const char*>(bytes), sizeof bytes), probe);
        if (probe.isEmpty()) return true;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&address);
    const quint32 hostOrder = static_cast<quint32>(bytes[0]) << 24 | static_cast<quint32>(bytes[1]) << 16 |
                              static_cast<quint32>(bytes[2]) << 8 | bytes[3];
    udpSocket->writeDatagram(probe, QHostAddress(hostOrder), port);
    return true;
}

void MainWindow::readPendingDatagrams() {
    if (!udpSocket) return;
    // The rows, indexed once for this batch of answers (made with the first
    // answer of the right length).
    QList<ServerEntry*> rows;
    std::unique_ptr<ProbeMatcher> matcher;
    for (int n = 0; n < kMaxDatagramsPerRead && udpSocket->hasPendingDatagrams(); ++n) {
        const qint64 size = udpSocket->pendingDatagramSize();
        QByteArray datagram(kSealedProbeAnswerSize, '\0');
        QHostAddress sender;
        quint16 senderPort = 0;
        const qint64 got = udpSocket->readDatagram(datagram.data(), datagram.size(), &sender, &senderPort);
        // Answers are exactly 8 bytes, or 8 sealed ones from a keyed relay;
        // anything else is read and dropped.
        if (got != size || (size != kProbeAnswerSize && size != kSealedProbeAnswerSize)) continue;
        datagram.resize(static_cast<int>(got));

        const std::uint32_t now = probeNow();
        if (!matcher) {
            rows.reserve(ui->proxyList->topLevelItemCount());
            for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i)
                rows.append(entryOf(ui->proxyList->topLevelItem(i)));
            matcher.reset(new ProbeMatcher(rows));
        }
        ProbeAnswer answer;
        int index = -1;
        if (size == kProbeAnswerSize) {
            if (ParseProbeAnswer(datagram, answer)) index = matcher->find(answer, senderPort);
        } else if (probeSeals_) {
            // Opened with the key of a row of the sender, and taken only by
            // a row with that key.
            bool isIpv4 = false;
            const std::uint32_t address = qToBigEndian(sender.toIPv4Address(&isIpv4));
            const QList<QByteArray> keys = isIpv4 ? matcher->keysOf(address, senderPort) : QList<QByteArray>();
            QByteArray plain;
            for (const QByteArray& key : keys) {
                if (!probeSeals_->open(key, datagram, plain)) continue;
                if (ParseProbeAnswer(plain, answer)) index = matcher->find(answer, senderPort, key);
                break;
            }
        }
        if (index < 0) continue;
        QTreeWidgetItem* item = ui->proxyList->topLevelItem(index);
        const std::uint32_t replyMs = MarkProbeAnswered(*rows.at(index), now, answer);
        setSignalBar(item, AnsweredBar(replyMs));
        UpdateConnectivityText(item);
    }
}

void MainWindow::OnEndTestTimer() {
    for (int i = 0; i < ui->proxyList->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = ui->proxyList->topLevelItem(i);
        ServerEntry* entry = entryOf(item);
        if (!entry) continue;
        if (MarkProbeTimedOut(*entry)) setSignalBar(item, TimedOutBar());
        UpdateConnectivityText(item);
    }
}

void MainWindow::UpdateConnectivityText(QTreeWidgetItem* item) {
    if (const ServerEntry* entry = entryOf(item)) item->setText(4, ConnectivityText(*entry));
}

void MainWindow::setSignalBar(QTreeWidgetItem* item, const SignalBar& bar) {
    // Kept in the row's entry too: bars are made when their row comes into view.
    SetSignalBar(item, bar.maximum, bar.value);
}

void MainWindow::on_testBtn_clicked() {
    // The notification-area add/delete of the Windows build has no
    // counterpart here; the button runs a probe cycle at once.
    OnTestProxyTimer();
}
