#include "singleinstance.h"

#include <QDir>
#include <QLocalServer>
#include <QLocalSocket>
#include <QStandardPaths>

#include <utility>

namespace {
constexpr int kMaxRequest = 64;
const char kWakeRequest[] = "wake\n";
}  // namespace

QString WakeSocketName() {
    QString folder = QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    if (folder.isEmpty()) return QStringLiteral("veilnox-wake");
    return folder + QStringLiteral("/veilnox-wake");
}

int SendWakeUp(const QString& name, int timeoutMs) {
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(timeoutMs)) return 0;
    socket.write(kWakeRequest);
    if (!socket.waitForBytesWritten(timeoutMs)) return 0;
    QByteArray answer;
    while (!answer.contains('\n') && answer.size() < kMaxRequest) {
        if (!socket.waitForReadyRead(timeoutMs)) break;
        answer += socket.read(kMaxRequest - answer.size());
    }
    if (!answer.endsWith('\n')) return 0;
    bool ok = false;
    int value = answer.trimmed().toInt(&ok);
    return ok ? value : 0;
}

WakeServer::WakeServer(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    connect(server_, &QLocalServer::newConnection, this, &WakeServer::onNewConnection);
}

WakeServer::~WakeServer() { server_->close(); }

bool WakeServer::listen(const QString& name) {
    if (server_->listen(name)) return true;
    // A socket file of an instance that died without closing it.
    QLocalServer::removeServer(name);
    return server_->listen(name);
}

void WakeServer::setHandler(std::function<int()> handler) {
    handler_ = std::move(handler);
    answerPending();
}

void WakeServer::onNewConnection() {
    while (QLocalSocket* socket = server_->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, &WakeServer::answerPending);
        socket->setParent(this);
    }
    answerPending();
}

void WakeServer::answerPending() {
    const auto sockets = findChildren<QLocalSocket*>(QString(), Qt::FindDirectChildrenOnly);
    for (QLocalSocket* socket : sockets) {
        if (socket->property("answered").toBool()) continue;
        QByteArray request = socket->peek(kMaxRequest);
        if (!request.contains('\n')) {
            // A peer that sends more than a request without a line end is
            // not a Veilnox client.
            if (request.size() >= kMaxRequest) socket->abort();
            continue;
        }
        if (!handler_) continue;
        socket->read(kMaxRequest);
        socket->setProperty("answered", true);
        int answer = request.startsWith(kWakeRequest) ? handler_() : 0;
        socket->write(QByteArray::number(answer) + '\n');
        socket->flush();
        socket->disconnectFromServer();
    }
}
