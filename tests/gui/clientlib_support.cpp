#include "clientlib_support.h"

#include <QApplication>
#include <QDir>
#include <QTcpServer>
#include <QTcpSocket>

// LeakSanitizer: fontconfig keeps a few allocations for the life of the
// process once text has been rendered; they are not ours to free.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace clienttest {

QApplication* app() {
    static QApplication* instance = nullptr;
    if (!instance) {
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
        // The windows' sizes are those of 96 dpi (the offscreen platform
        // says 100); a run that names another dpi tests that one.
        if (qEnvironmentVariableIsEmpty("QT_FONT_DPI")) qputenv("QT_FONT_DPI", "96");
        static int argc = 1;
        static char name[] = "clientlib-test";
        static char* argv[] = {name, nullptr};
        instance = new QApplication(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("Veilnox"));
        QDir::setCurrent(QCoreApplication::applicationDirPath());
    }
    return instance;
}

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

MessageRecorder::MessageRecorder(bool answerWith) : answer(answerWith) {
    previous_ = SetMessageBoxHook([this](MessageKind kind, const QString& title, const QString& text) {
        boxes.append({kind, title, text});
        return kind == MessageKind::YesNo || kind == MessageKind::OkCancel ? answer : true;
    });
}

MessageRecorder::~MessageRecorder() { SetMessageBoxHook(previous_); }

UrlRecorder::UrlRecorder() {
    previous_ = SetOpenUrlHook([this](const QString& url) {
        urls << url;
        return true;
    });
}

UrlRecorder::~UrlRecorder() { SetOpenUrlHook(previous_); }

}  // namespace clienttest
