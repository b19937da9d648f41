#include "terminationwatcher.h"

#include <QSocketNotifier>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <csignal>

namespace {
int gSignalFds[2] = {-1, -1};

void onSignal(int) {
    char byte = 1;
    // Async-signal-safe; a full pipe only means a request is already pending.
    ssize_t written = ::write(gSignalFds[0], &byte, 1);
    (void)written;
}
}  // namespace

TerminationWatcher::TerminationWatcher(QObject* parent) : QObject(parent) {}

TerminationWatcher::~TerminationWatcher() {
    if (notifier_) {
        // Back to the default actions before the descriptors go.
        std::signal(SIGTERM, SIG_DFL);
        std::signal(SIGINT, SIG_DFL);
        std::signal(SIGHUP, SIG_DFL);
        ::close(gSignalFds[0]);
        ::close(gSignalFds[1]);
        gSignalFds[0] = gSignalFds[1] = -1;
    }
}

bool TerminationWatcher::install() {
    if (notifier_ || gSignalFds[0] >= 0) return false;
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, gSignalFds) != 0) return false;
    ::fcntl(gSignalFds[0], F_SETFL, O_NONBLOCK);
    ::fcntl(gSignalFds[1], F_SETFL, O_NONBLOCK);
    notifier_ = new QSocketNotifier(gSignalFds[1], QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &TerminationWatcher::onSignalled);
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    return true;
}

void TerminationWatcher::onSignalled() {
    char buffer[16];
    while (::read(gSignalFds[1], buffer, sizeof buffer) > 0) {
    }
    emit terminationRequested();
}
