#include "qt/httpserver.h"

#include <QTcpServer>
#include <QTcpSocket>

namespace vnxtest {

HttpServer::HttpServer() : server_(new QTcpServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &HttpServer::onConnection);
}

HttpServer::~HttpServer() {
    for (QTcpSocket* socket : pending_.keys())
        socket->abort();
}

bool HttpServer::start() { return server_->listen(QHostAddress(QStringLiteral("127.0.0.1")), 0); }

quint16 HttpServer::port() const { return server_->serverPort(); }

QString HttpServer::url(const QString& path) const {
    return QStringLiteral("http://127.0.0.1:%1%2").arg(port()).arg(path);
}

void HttpServer::setRoute(const QString& path, const Route& route) { routes_[path] = route; }

void HttpServer::onConnection() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        socket->setParent(this);
        pending_.insert(socket, QByteArray());
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onData(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            pending_.remove(socket);
            socket->deleteLater();
        });
    }
}

void HttpServer::onData(QTcpSocket* socket) {
    if (!pending_.contains(socket)) return;
    QByteArray& head = pending_[socket];
    head += socket->readAll();
    int end = head.indexOf("\r\n\r\n");
    if (end < 0) {
        if (head.size() > 64 * 1024) socket->abort();
        return;
    }
    const QList<QByteArray> lines = head.left(end).split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    const QString path = QString::fromLatin1(requestLine.value(1));
    QByteArray agent;
    for (const QByteArray& line : lines) {
        if (line.toLower().startsWith("user-agent:")) agent = line.mid(11).trimmed();
    }
    head.clear();
    requests << path;
    userAgents << agent;
    if (onRequest) onRequest(path);
    Route route;
    if (routes_.contains(path))
        route = routes_.value(path);
    else
        route.status = 404;
    if (route.hang) return;
    QByteArray response =
        "HTTP/1.1 " + QByteArray::number(route.status) + (route.status == 200 ? " OK" : " Not Found") +
        "\r\nContent-Type: text/plain; charset=utf-8\r\nContent-Length: " + QByteArray::number(route.body.size()) +
        "\r\nConnection: close\r\n\r\n" + route.body;
    socket->write(response);
    socket->disconnectFromHost();
}

}  // namespace vnxtest
