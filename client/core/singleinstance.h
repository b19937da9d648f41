#pragma once
// Waking the running instance of the client. The first instance listens on
// a per-user local socket; a second start connects, sends a wake-up request
// and reads the answer. The first instance answers 2 once it has shown its
// window (as the native message 10134 is answered on Windows); on any other
// outcome the second start goes on as a normal first instance.
//
// Protocol: the second sends the line "wake"; the first answers with the
// line "2". Anything else, or no answer in time, is no answer.
// GUI thread only.
#include <QObject>
#include <QString>

#include <functional>

class QLocalServer;

// The socket name: "veilnox-wake" in the user's runtime folder
// ($XDG_RUNTIME_DIR), so that every user and every session of a user has
// its own.
QString WakeSocketName();

// The second instance's side: sends the wake-up and returns the answer
// (2 when the first instance has shown its window), 0 when nobody answered
// within `timeoutMs`.
int SendWakeUp(const QString& name, int timeoutMs = 5000);

// The first instance's side.
class WakeServer : public QObject {
    Q_OBJECT
public:
    explicit WakeServer(QObject* parent = nullptr);
    ~WakeServer() override;

    // Starts listening on `name`, replacing a socket file left behind by a
    // dead instance (the caller holds the run mutex, so no live instance
    // owns it). False when the socket cannot be made.
    bool listen(const QString& name);

    // Answers requests with the value returned by `handler` (the window
    // shows itself and returns 2). Until a handler is set, requests wait.
    void setHandler(std::function<int()> handler);

private:
    void onNewConnection();
    void answerPending();

    QLocalServer* server_;
    std::function<int()> handler_;
};
