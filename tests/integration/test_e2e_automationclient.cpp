#include "test_e2e_support.h"

#include <QByteArray>
#include <QJsonDocument>

#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>

namespace e2etest {

AutomationClient::~AutomationClient() { disconnect(); }

void AutomationClient::disconnect() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
    buffer_.clear();
}

bool AutomationClient::open(const std::string& path) {
    disconnect();
    sockaddr_un a{};
    if (path.size() >= sizeof a.sun_path) return false;
    fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    a.sun_family = AF_UNIX;
    std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
    if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        disconnect();
        return false;
    }
    timeval tv{10, 0};
    setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    return true;
}

bool AutomationClient::sendRaw(const std::string& bytes) {
    if (fd_ < 0) return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

QJsonObject AutomationClient::command(const std::string& line) {
    if (!sendRaw(line + "\n")) return {};
    std::size_t end;
    while ((end = buffer_.find('\n')) == std::string::npos) {
        char chunk[65536];
        const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            disconnect();
            return {};
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    const std::string reply = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return QJsonDocument::fromJson(QByteArray::fromStdString(reply)).object();
}

}  // namespace e2etest
