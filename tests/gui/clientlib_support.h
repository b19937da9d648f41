#pragma once
// Shared pieces of the client library's GUI tests: the application object,
// a small HTTP server on 127.0.0.1 that the tests steer, and recorders for
// the message-box and URL hooks (with the logic tests' pieces,
// clientcore_support.h).
#include "clientcore_support.h"
#include "messages.h"

#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QApplication;
class QTcpServer;
class QTcpSocket;

namespace clienttest {

// The QApplication of the test process (offscreen platform), created on
// first use with the program folder as the current folder, like the client.
QApplication* app();

// A one-thread HTTP/1.1 server for the tests. It answers each request after
// the whole request head has arrived, from the route table; unknown paths
// get 404 with an empty body. It serves from the thread's event loop, which
// the blocking download keeps running.
class HttpServer : public QObject {
    Q_OBJECT
public:
    struct Route {
        int status = 200;
        QByteArray body;
        bool hang = false;  // never answer, keep the connection open
    };

    HttpServer();
    ~HttpServer() override;

    // Listens on 127.0.0.1, port chosen by the system.
    bool start();
    quint16 port() const;
    QString url(const QString& path) const;
    void setRoute(const QString& path, const Route& route);

    // Paths of the requests seen so far, in order.
    QStringList requests;
    // User-Agent header of each request.
    QList<QByteArray> userAgents;
    // Called when a request head is complete, before it is answered.
    std::function<void(const QString& path)> onRequest;

private:
    void onConnection();
    void onData(QTcpSocket* socket);

    QTcpServer* server_;
    QMap<QString, Route> routes_;
    QMap<QTcpSocket*, QByteArray> pending_;
};

// Records the boxes shown while it lives and answers YesNo / OkCancel boxes
// with `answer`.
class MessageRecorder {
public:
    explicit MessageRecorder(bool answer = false);
    ~MessageRecorder();
    struct Box {
        MessageKind kind;
        QString title;
        QString text;
    };
    QList<Box> boxes;
    bool answer;

private:
    MessageBoxHook previous_;
};

// Records the addresses opened while it lives (nothing is really opened).
class UrlRecorder {
public:
    UrlRecorder();
    ~UrlRecorder();
    QStringList urls;

private:
    OpenUrlHook previous_;
};

}  // namespace clienttest
