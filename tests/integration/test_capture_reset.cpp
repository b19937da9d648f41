// Ending a program's existing internet sockets in the kernel
// (vnxcap::resetSocketsOf): a real python3 process holds sockets to ends the
// test holds, in network namespaces the test made; after the reset it says
// what each of its sockets reports, and the test's ends say what reached them.
#include "socketreset.h"

#include "netns.h"
#include "processes.h"
#include "sockets.h"
#include "waiters.h"

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

using vnxtest::ChildProcess;

// One socket per argument "KIND,ADDRESS,PORT" (tcp and udp connect, bound
// binds an unconnected UDP socket, listen listens); prints "sock I PORT"
// (its local port) for each, then "ready". On "check" it prints
// "result I WORD" for each socket: what a read reports once the socket is
// readable (an error name, "data:TEXT", "eof"; "timeout" after 3 s) or
// "listening", then "checked".
const char kHolder[] = R"PY(
import errno, select, socket, sys
socks = []
for spec in sys.argv[1:]:
    kind, host, port = spec.split(',')
    fam = socket.AF_INET6 if ':' in host else socket.AF_INET
    s = socket.socket(fam, socket.SOCK_STREAM if kind in ('tcp', 'listen') else socket.SOCK_DGRAM)
    s.settimeout(5)
    if kind in ('listen', 'bound'):
        s.bind((host, 0))
        if kind == 'listen':
            s.listen(4)
    else:
        s.connect((host, int(port)))
    socks.append(s)
    print('sock %d %d' % (len(socks) - 1, s.getsockname()[1]))
print('ready', flush=True)
for line in sys.stdin:
    if line.strip() != 'check':
        continue
    for i, s in enumerate(socks):
        if s.getsockopt(socket.SOL_SOCKET, socket.SO_ACCEPTCONN):
            word = 'listening'
        elif not select.select([s], [], [], 3)[0]:
            word = 'timeout'
        else:
            try:
                d = s.recv(64, socket.MSG_DONTWAIT)
                word = 'data:' + d.decode() if d else 'eof'
            except OSError as e:
                word = errno.errorcode.get(e.errno, str(e.errno))
        print('result %d %s' % (i, word), flush=True)
    print('checked', flush=True)
)PY";

struct Row {
    const char* name;
    const char* kind;    // tcp, udp, bound, listen (see kHolder)
    const char* peer;    // the test's end: its listener, or the UDP socket it sends from
    const char* dest;    // what the holder connects (or binds) to
    const char* expect;  // what the holder's socket reports afterwards
};

const char kData[] = "data:hello";

// A python3 process holding one socket per row, the test holding the other
// ends (in the namespace of the calling thread when started).
class Holder {
public:
    ~Holder() {
        for (int fd : peers_)
            if (fd >= 0) close(fd);
        for (int fd : accepted_)
            if (fd >= 0) close(fd);
    }

    bool start(const std::vector<Row>& rows) {
        rows_ = rows;
        std::vector<std::string> argv{"python3", "-u", "-c", kHolder};
        for (const Row& r : rows) {
            int fd = -1;
            if (!std::strcmp(r.kind, "tcp")) fd = vnxtest::listenOn(r.peer, 4);
            if (!std::strcmp(r.kind, "udp") || !std::strcmp(r.kind, "bound"))
                fd = vnxtest::boundSocket(SOCK_DGRAM, r.peer);
            if (fd < 0 && std::strcmp(r.kind, "listen") != 0) return false;
            peers_.push_back(fd);
            const std::uint16_t port = fd >= 0 ? vnxtest::addressPort(vnxtest::localAddress(fd)) : 0;
            argv.push_back(std::string(r.kind) + "," + r.dest + "," + std::to_string(port));
        }
        vnxtest::ChildOptions options;
        options.searchPath = true;
        if (!child_.startWith(argv, {}, options) || child_.waitFor("ready\n", 15000) == std::string::npos) {
            ADD_FAILURE() << "holder did not start:\n" << child_.output();
            return false;
        }
        std::istringstream out(child_.output());
        std::string word;
        unsigned index = 0, port = 0;
        while (out >> word && word == "sock" && out >> index >> port)
            ports_.push_back(static_cast<std::uint16_t>(port));
        if (ports_.size() != rows.size()) return false;
        for (std::size_t i = 0; i < rows.size(); ++i) {
            int fd = -1;
            if (!std::strcmp(rows[i].kind, "tcp")) {
                if (!vnxtest::pollUntil(peers_[i], POLLIN, vnxtest::nowMs() + 5000)) return false;
                fd = accept4(peers_[i], nullptr, nullptr, SOCK_CLOEXEC);
                if (fd < 0) return false;
            }
            accepted_.push_back(fd);
        }
        return true;
    }

    // Sends "hello" to every socket whose row expects it.
    bool feed() {
        for (std::size_t i = 0; i < rows_.size(); ++i) {
            if (kData != std::string(rows_[i].expect)) continue;
            if (accepted_[i] >= 0) {
                if (!vnxtest::sendAll(accepted_[i], "hello", 5)) return false;
                continue;
            }
            // The holder's socket has the peer's address (both are local).
            sockaddr_storage to = vnxtest::makeAddress(rows_[i].peer, ports_[i]);
            if (sendto(peers_[i], "hello", 5, 0, reinterpret_cast<sockaddr*>(&to), vnxtest::addressLength(to)) != 5)
                return false;
        }
        return true;
    }

    // What each of the holder's sockets reports now, by row.
    std::vector<std::string> check() {
        const std::size_t from = child_.output().size();
        std::vector<std::string> seen(rows_.size());
        if (!child_.writeInput("check\n") || child_.waitFor("checked\n", 60000, from) == std::string::npos) {
            ADD_FAILURE() << "holder did not answer:\n" << child_.output();
            return seen;
        }
        std::istringstream out(child_.output().substr(from));
        std::string tag, word;
        std::size_t index = 0;
        while (out >> tag && tag == "result" && out >> index >> word)
            if (index < seen.size()) seen[index] = word;
        return seen;
    }

    // What the test's end of row i's TCP connection reports when read.
    std::string peerSees(std::size_t i) {
        if (accepted_[i] < 0 || !vnxtest::pollUntil(accepted_[i], POLLIN, vnxtest::nowMs() + 5000)) return "nothing";
        char buf[64];
        ssize_t n = recv(accepted_[i], buf, sizeof buf, MSG_DONTWAIT);
        if (n < 0) return errno == ECONNRESET ? "ECONNRESET" : std::strerror(errno);
        return n == 0 ? "eof" : "data";
    }

    int pid() const { return child_.pid(); }

private:
    std::vector<Row> rows_;
    ChildProcess child_;
    std::vector<int> peers_;
    std::vector<int> accepted_;
    std::vector<std::uint16_t> ports_;
};

// Rows of a kind whose socket is to be ended.
int ended(const std::vector<Row>& rows, const char* kind) {
    int n = 0;
    for (const Row& r : rows)
        n += !std::strcmp(r.kind, kind) && !std::strcmp(r.expect, "ECONNABORTED");
    return n;
}

// Checks the holder's sockets and the test's ends against the rows.
void expectRows(Holder& h, const std::vector<Row>& rows) {
    ASSERT_TRUE(h.feed());
    const std::vector<std::string> seen = h.check();
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(seen[i], rows[i].expect) << rows[i].name;
        // The program sees its connection aborted, the other end a reset.
        if (!std::strcmp(rows[i].kind, "tcp") && !std::strcmp(rows[i].expect, "ECONNABORTED")) {
            EXPECT_EQ(h.peerSees(i), "ECONNRESET") << rows[i].name << ": the peer got no reset";
        }
    }
}

TEST(CaptureReset, EndsOnlyTheProgramsOwnInternetSockets) {
    vnxtest::PrivateNetwork net({"10.77.1.1"});
    ASSERT_TRUE(net.ok());
    ASSERT_TRUE(net.run("ip -6 addr add fd77:1::1/64 dev vnxa nodad"));
    const std::vector<Row> rows = {
        {"tcp to another address", "tcp", "10.77.1.1", "10.77.1.1", "ECONNABORTED"},
        {"connected udp to another address", "udp", "10.77.1.1", "10.77.1.1", "ECONNABORTED"},
        {"tcp6 to another address", "tcp", "fd77:1::1", "fd77:1::1", "ECONNABORTED"},
        {"connected udp6 to another address", "udp", "fd77:1::1", "fd77:1::1", "ECONNABORTED"},
        {"tcp to 127.0.0.1", "tcp", "127.0.0.1", "127.0.0.1", kData},
        {"tcp to 127.0.0.2", "tcp", "127.0.0.2", "127.0.0.2", kData},
        {"tcp6 to ::1", "tcp", "::1", "::1", kData},
        {"tcp6 to ::ffff:127.0.0.1", "tcp", "127.0.0.1", "::ffff:127.0.0.1", kData},
        {"udp to 127.0.0.1", "udp", "127.0.0.1", "127.0.0.1", kData},
        {"udp6 to ::ffff:127.0.0.1", "udp", "127.0.0.1", "::ffff:127.0.0.1", kData},
        {"unconnected udp", "bound", "10.77.1.1", "10.77.1.1", kData},
        {"listener", "listen", "", "10.77.1.1", "listening"},
    };
    const std::vector<Row> bystanderRows = {
        {"another program's tcp", "tcp", "10.77.1.1", "10.77.1.1", kData},
        {"another program's udp", "udp", "10.77.1.1", "10.77.1.1", kData},
    };
    Holder target, bystander;
    ASSERT_TRUE(target.start(rows));
    ASSERT_TRUE(bystander.start(bystanderRows));

    // Named twice: each socket is ended once.
    vnxcap::ResetCount c = vnxcap::resetSocketsOf({target.pid(), target.pid()});
    EXPECT_EQ(c.tcp, ended(rows, "tcp"));
    EXPECT_EQ(c.udp, ended(rows, "udp"));
    EXPECT_EQ(c.failed, 0);
    expectRows(target, rows);
    expectRows(bystander, bystanderRows);

    // Nothing is left to end: the ended sockets are closed or disconnected.
    c = vnxcap::resetSocketsOf({target.pid()});
    EXPECT_EQ(c.tcp + c.udp + c.failed, 0);
}

TEST(CaptureReset, ReachesProgramsInOtherNetworkNamespaces) {
    // Two programs, each in a namespace of its own apart from the test's:
    // one call reaches both, each through its own namespace.
    const char* addresses[] = {"10.77.2.1", "10.77.3.1"};
    std::vector<std::vector<Row>> rows;
    for (const char* a : addresses)
        rows.push_back({
            {"tcp to another address", "tcp", a, a, "ECONNABORTED"},
            {"connected udp to another address", "udp", a, a, "ECONNABORTED"},
            {"tcp to 127.0.0.1", "tcp", "127.0.0.1", "127.0.0.1", kData},
        });
    Holder holders[2];
    for (int i = 0; i < 2; ++i) {
        vnxtest::PrivateNetwork net({addresses[i]});
        ASSERT_TRUE(net.ok());
        ASSERT_TRUE(holders[i].start(rows[i]));
    }
    vnxcap::ResetCount c = vnxcap::resetSocketsOf({holders[0].pid(), holders[1].pid()});
    EXPECT_EQ(c.tcp, 2);
    EXPECT_EQ(c.udp, 2);
    EXPECT_EQ(c.failed, 0);
    for (int i = 0; i < 2; ++i)
        expectRows(holders[i], rows[i]);
}

TEST(CaptureReset, PidsWithoutAProcessEndNothing) {
    ChildProcess exited;
    ASSERT_TRUE(exited.start("/bin/true", {}));
    ASSERT_EQ(exited.waitExit(10000), 0);  // reaped: the pid names nobody now
    const struct {
        const char* name;
        std::vector<int> pids;
    } cases[] = {
        {"no pids", {}},
        {"negative", {-1, INT_MIN}},
        {"zero", {0}},
        {"exited", {exited.pid()}},
        {"beyond any pid", {INT_MAX}},
    };
    for (const auto& c : cases) {
        vnxcap::ResetCount r = vnxcap::resetSocketsOf(c.pids);
        EXPECT_EQ(r.tcp + r.udp + r.failed, 0) << c.name;
    }
}

}  // namespace
