#pragma once
// Turns the system's polite requests to end the program (on Linux SIGTERM,
// SIGINT and SIGHUP, sent at logout or by `kill`) into a Qt signal on the
// GUI thread, so that the client ends as if its window was closed: it
// writes 0 into client_window, which makes the hidden local server exit
// too, instead of leaving it running without a client.
#include <QObject>

class TerminationWatcher : public QObject {
    Q_OBJECT
public:
    explicit TerminationWatcher(QObject* parent = nullptr);
    ~TerminationWatcher() override;

    // Installs the handlers; one watcher per process. False when they could
    // not be installed (the defaults then stay in place).
    bool install();

signals:
    void terminationRequested();

private:
    void onSignalled();
    class QSocketNotifier* notifier_ = nullptr;
};
