#pragma once
// A small HTTP server on 127.0.0.1 that the client tests steer (downloads,
// the update check, the server list). Qt Core and Network only (part of
// vnx_qt_test_core). Lives on the test's main thread.
#include <QByteArray>
#include <QList>
#include <QMap>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>

class QTcpServer;
class QTcpSocket;

namespace vnxtest {

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

}  // namespace vnxtest
