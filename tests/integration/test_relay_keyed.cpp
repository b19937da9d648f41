// A relay with a key: TCP only inside TLS 1.3 that proves the key, UDP only
// as sealed datagrams; everything else (no key, a wrong key, plain relay
// protocol, replayed handshakes and datagrams, tampered or truncated seals)
// is refused without relaying or answering anything. The seals themselves
// are checked first, without the relay.
#include "test_relay_support.h"

#include "hop/datagram.h"
#include "hop/tls.h"
#include "hopkey.h"

#include <gtest/gtest.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fcntl.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <thread>

using namespace relaytest;

namespace {

using Bytes = std::vector<std::uint8_t>;

// Whether the destination has accepted `count` connections within ms.
bool waitUntilAccepted(const TcpServer& server, int count, int ms = 5000) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (server.accepted() >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return server.accepted() >= count;
}

void keyOf(std::uint8_t seed, std::uint8_t key[32]) {
    for (int i = 0; i < 32; ++i)
        key[i] = static_cast<std::uint8_t>(seed * 31 + i);
}

// ---- the seals on their own ------------------------------------------------

TEST(HopSeal, WhatOpensAndWhatIsRefused) {
    std::uint8_t key[32], other[32];
    keyOf(1, key);
    keyOf(2, other);
    const std::int64_t now = 1800000000;
    const Bytes plain = randomBytes(300, 7);

    // Each case seals a datagram (or several), changes something, and opens
    // the last one.
    struct Case {
        const char* name;
        vnxhop::OpenResult expected;
        std::function<Bytes(vnxhop::Sealer&, vnxhop::Opener&)> make;
    };
    auto sealOne = [&](vnxhop::Sealer& s, std::size_t len = 300) {
        Bytes out(len + vnxhop::kSealOverhead);
        EXPECT_EQ(s.seal(plain.data(), len, out.data(), out.size()), out.size());
        return out;
    };
    auto openOk = [](vnxhop::Opener& o, const Bytes& d) {
        Bytes out(d.size());
        std::size_t n = 0;
        return o.open(d.data(), d.size(), out.data(), out.size(), &n) == vnxhop::OpenResult::Ok;
    };
    const Case cases[] = {
        {"as sealed", vnxhop::OpenResult::Ok, [&](vnxhop::Sealer& s, vnxhop::Opener&) { return sealOne(s); }},
        {"empty datagram", vnxhop::OpenResult::Ok, [&](vnxhop::Sealer& s, vnxhop::Opener&) { return sealOne(s, 0); }},
        {"another key", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer&, vnxhop::Opener&) {
             vnxhop::Sealer wrong(other, vnxhop::Direction::ToRelay);
             wrong.setClockForTest(now);
             return sealOne(wrong);
         }},
        {"the other direction", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer&, vnxhop::Opener&) {
             vnxhop::Sealer back(key, vnxhop::Direction::FromRelay);
             back.setClockForTest(now);
             return sealOne(back);
         }},
        {"sender id changed", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             Bytes d = sealOne(s);
             d[3] ^= 1;
             return d;
         }},
        {"packet number changed", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             Bytes d = sealOne(s);
             d[15] ^= 1;
             return d;
         }},
        {"clock changed", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             Bytes d = sealOne(s);
             d[20] ^= 1;
             return d;
         }},
        {"payload changed", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             Bytes d = sealOne(s);
             d[100] ^= 0x80;
             return d;
         }},
        {"tag changed", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             Bytes d = sealOne(s);
             d.back() ^= 1;
             return d;
         }},
        {"one byte short", vnxhop::OpenResult::Forged,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             Bytes d = sealOne(s);
             d.pop_back();
             return d;
         }},
        {"shorter than a seal", vnxhop::OpenResult::Malformed,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             Bytes d = sealOne(s);
             d.resize(vnxhop::kSealOverhead - 1);
             return d;
         }},
        {"replayed", vnxhop::OpenResult::Replayed,
         [&](vnxhop::Sealer& s, vnxhop::Opener& o) {
             Bytes d = sealOne(s);
             EXPECT_TRUE(openOk(o, d));
             return d;
         }},
        {"late but inside the window", vnxhop::OpenResult::Ok,
         [&](vnxhop::Sealer& s, vnxhop::Opener& o) {
             Bytes first = sealOne(s);
             for (int i = 0; i < 2000; ++i)
                 EXPECT_TRUE(openOk(o, sealOne(s)));
             return first;
         }},
        {"behind the window", vnxhop::OpenResult::Replayed,
         [&](vnxhop::Sealer& s, vnxhop::Opener& o) {
             Bytes first = sealOne(s);
             for (int i = 0; i < 2100; ++i)
                 EXPECT_TRUE(openOk(o, sealOne(s)));
             return first;
         }},
        {"clock 91 s behind", vnxhop::OpenResult::Stale,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             s.setClockForTest(now - 91);
             return sealOne(s);
         }},
        {"clock 91 s ahead", vnxhop::OpenResult::Stale,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             s.setClockForTest(now + 91);
             return sealOne(s);
         }},
        {"clock 80 s off", vnxhop::OpenResult::Ok,
         [&](vnxhop::Sealer& s, vnxhop::Opener&) {
             s.setClockForTest(now - 80);
             return sealOne(s);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        vnxhop::Sealer sealer(key, vnxhop::Direction::ToRelay);
        vnxhop::Opener opener(key, vnxhop::Direction::ToRelay);
        sealer.setClockForTest(now);
        opener.setClockForTest(now);
        Bytes d = c.make(sealer, opener);
        Bytes out(d.size() + 16, 0);
        std::size_t n = 0;
        EXPECT_EQ(static_cast<int>(opener.open(d.data(), d.size(), out.data(), out.size(), &n)),
                  static_cast<int>(c.expected));
        if (c.expected == vnxhop::OpenResult::Ok && d.size() == plain.size() + vnxhop::kSealOverhead) {
            ASSERT_EQ(n, plain.size());
            EXPECT_EQ(0, std::memcmp(out.data(), plain.data(), n));
        }
    }
    // Two sealers of one key never share a sender id, so no nonce repeats.
    vnxhop::Sealer a(key, vnxhop::Direction::ToRelay), b(key, vnxhop::Direction::ToRelay);
    Bytes da = sealOne(a), db = sealOne(b);
    EXPECT_NE(0, std::memcmp(da.data(), db.data(), vnxhop::kSenderIdSize));
}

// ---- the relay with a key ---------------------------------------------------

class RelayKeyed : public ::testing::Test {
protected:
    void SetUp() override {
        char dir[] = "/tmp/vnx-keyed-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        dir_ = dir;
        keyFile_ = dir_ + "/relay/key";
        // --init-key makes the file; a second run keeps it.
        for (int run = 0; run < 2; ++run) {
            std::string cmd = relayPath() + " --init-key " + keyFile_ + " >/dev/null";
            ASSERT_EQ(system(cmd.c_str()), 0);
        }
        struct stat st {};
        ASSERT_EQ(stat(keyFile_.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0600u);
        std::ifstream in(keyFile_);
        std::string text;
        std::getline(in, text);
        ASSERT_TRUE(vnx::decodeHopKey(text, key_)) << text;
        ASSERT_TRUE(relay.start({"--listen", "127.0.0.1:0", "--allow-private", "--quiet", "--key-file", keyFile_}));
    }
    void TearDown() override {
        if (relay.pid() > 0) {
            EXPECT_EQ(relay.stop(), 0);
        }
        std::string cmd = "rm -rf " + dir_;
        (void)!system(cmd.c_str());
    }

    // A TLS connection to the relay with key; null when the handshake fails.
    SSL* tlsConnect(const std::uint8_t key[32], int& fd) {
        fd = connectTo(relay.address());
        if (fd < 0) return nullptr;
        SSL_CTX* ctx = vnxhop::newTlsContext(key, false);
        SSL* ssl = ctx ? SSL_new(ctx) : nullptr;
        SSL_CTX_free(ctx);
        if (!ssl || SSL_set_fd(ssl, fd) != 1 || SSL_connect(ssl) != 1 || !vnxhop::tlsPeerProvedKey(ssl)) {
            ERR_clear_error();
            SSL_free(ssl);
            return nullptr;
        }
        return ssl;
    }

    Bytes sealed(vnxhop::Sealer& s, const Bytes& plain) {
        Bytes out(plain.size() + vnxhop::kSealOverhead);
        out.resize(s.seal(plain.data(), plain.size(), out.data(), out.size()));
        return out;
    }
    bool sendTo(int fd, const Bytes& d) {
        sockaddr_storage ra = relay.address();
        return sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&ra), addressLength(ra)) ==
               static_cast<ssize_t>(d.size());
    }

    std::string dir_, keyFile_;
    std::uint8_t key_[32] = {};
    RelayProcess relay;
};

TEST_F(RelayKeyed, TcpInsideTlsReachesTheDestinationUnmasked) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    ASSERT_TRUE(echo.ok());
    int fd = -1;
    SSL* ssl = tlsConnect(key_, fd);
    ASSERT_NE(ssl, nullptr);
    // The header asks for masking; inside TLS the relay ignores that.
    Bytes msg = relayHeader(echo.address(), true);
    const std::string text = "inside the tunnel";
    msg.insert(msg.end(), text.begin(), text.end());
    ASSERT_EQ(SSL_write(ssl, msg.data(), static_cast<int>(msg.size())), static_cast<int>(msg.size()));
    char back[64] = {};
    int got = 0;
    while (got < static_cast<int>(text.size())) {
        int n = SSL_read(ssl, back + got, static_cast<int>(sizeof back) - got);
        ASSERT_GT(n, 0);
        got += n;
    }
    EXPECT_EQ(std::string(back, static_cast<std::size_t>(got)), text);
    // Half-close inside TLS: our close_notify ends the echo, whose end comes
    // back as the relay's.
    SSL_shutdown(ssl);
    EXPECT_EQ(SSL_read(ssl, back, sizeof back), 0);
    SSL_free(ssl);
    close(fd);
    EXPECT_EQ(echo.accepted(), 1);
}

TEST_F(RelayKeyed, ABurstOfHandshakesFromAProvedSourceIsNotShed) {
    // One local server opens a burst of connections at once, all in their
    // handshake (header-less) together: once its address has proved the
    // key, more than the header-less limit (64) of them all get through.
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    int first = -1;
    SSL* proof = tlsConnect(key_, first);
    ASSERT_NE(proof, nullptr);
    SSL_free(proof);
    close(first);
    constexpr int kBurst = 150;
    std::vector<int> fds;
    for (int i = 0; i < kBurst; ++i) {
        fds.push_back(connectTo(relay.address()));
        ASSERT_GE(fds.back(), 0);
    }
    int completed = 0;
    for (int fd : fds) {
        SSL_CTX* ctx = vnxhop::newTlsContext(key_, false);
        SSL* ssl = SSL_new(ctx);
        SSL_CTX_free(ctx);
        SSL_set_fd(ssl, fd);
        if (SSL_connect(ssl) == 1) ++completed;
        ERR_clear_error();
        SSL_free(ssl);
        close(fd);
    }
    EXPECT_EQ(completed, kBurst);
}

TEST_F(RelayKeyed, TcpThatDoesNotProveTheKeyReachesNothing) {
    TcpServer echo("127.0.0.1", TcpServer::Mode::Echo);
    std::uint8_t wrong[32];
    keyOf(9, wrong);
    // A good session, recorded byte for byte on its way to the relay, to be
    // played again on a new connection.
    Bytes recorded;
    {
        int fd = connectTo(relay.address());
        ASSERT_GE(fd, 0);
        SSL_CTX* ctx = vnxhop::newTlsContext(key_, false);
        SSL* ssl = SSL_new(ctx);
        SSL_CTX_free(ctx);
        BIO* in = BIO_new(BIO_s_mem());
        BIO* out = BIO_new(BIO_s_mem());
        SSL_set_bio(ssl, in, out);
        SSL_set_connect_state(ssl);
        Bytes req = relayHeader(echo.address(), false);
        req.insert(req.end(), {'o', 'n', 'c', 'e'});
        bool wrote = false;
        std::uint8_t buf[16384];
        for (int step = 0; step < 50 && !wrote; ++step) {
            if (SSL_is_init_finished(ssl)) {
                wrote = SSL_write(ssl, req.data(), static_cast<int>(req.size())) > 0;
            } else {
                SSL_do_handshake(ssl);
            }
            int pending;
            while ((pending = BIO_read(out, buf, sizeof buf)) > 0) {
                recorded.insert(recorded.end(), buf, buf + pending);
                ASSERT_TRUE(sendAll(fd, buf, static_cast<std::size_t>(pending)));
            }
            if (wrote) break;
            if (SSL_is_init_finished(ssl)) continue;  // the request goes next
            long n = recv(fd, buf, sizeof buf, 0);
            ASSERT_GT(n, 0);
            BIO_write(in, buf, static_cast<int>(n));
        }
        ASSERT_TRUE(wrote);
        ERR_clear_error();
        SSL_free(ssl);
        ASSERT_TRUE(waitUntilAccepted(echo, 1));
        close(fd);
    }

    struct Attempt {
        const char* name;
        std::function<Bytes()> bytes;  // sent raw on a new connection
        bool tlsWithWrongKey;
    };
    const Attempt attempts[] = {
        {"plain relay protocol",
         [&] {
             Bytes b = relayHeader(echo.address(), false);
             b.insert(b.end(), {'p', 'l', 'a', 'i', 'n'});
             return b;
         },
         false},
        {"the recorded session played again", [&] { return recorded; }, false},
        {"random bytes", [] { return randomBytes(600, 3); }, false},
        {"TLS with another key", [] { return Bytes(); }, true},
    };
    for (const Attempt& a : attempts) {
        SCOPED_TRACE(a.name);
        if (a.tlsWithWrongKey) {
            int fd = -1;
            SSL* ssl = tlsConnect(wrong, fd);
            EXPECT_EQ(ssl, nullptr);
            SSL_free(ssl);
            if (fd >= 0) {
                EXPECT_TRUE(waitClosed(fd, 5000));
                close(fd);
            }
        } else {
            int fd = connectTo(relay.address());
            ASSERT_GE(fd, 0);
            Bytes b = a.bytes();
            sendAll(fd, b.data(), b.size());
            EXPECT_TRUE(waitClosed(fd, 5000));
            close(fd);
        }
    }
    // Only the one good session ever reached the destination.
    EXPECT_FALSE(waitUntilAccepted(echo, 2, 300));
    EXPECT_EQ(echo.accepted(), 1);
}

TEST_F(RelayKeyed, SealedDatagramsAndProbesAreAnsweredSealed) {
    UdpEcho echo("127.0.0.1");
    ASSERT_TRUE(echo.ok());
    Sock c(udpSocket("127.0.0.1"));
    vnxhop::Sealer sealer(key_, vnxhop::Direction::ToRelay);
    vnxhop::Opener opener(key_, vnxhop::Direction::FromRelay);
    for (std::uint8_t kind : {std::uint8_t{0}, std::uint8_t{5}}) {
        SCOPED_TRACE(kind == 0 ? "data" : "probe");
        Bytes d = relayHeader(echo.address(), true, kind);
        if (kind == 0) d.insert(d.end(), {'u', 'd', 'p'});
        ASSERT_TRUE(sendTo(c, sealed(sealer, d)));
        Bytes buf(2000);
        long n = recvWithin(c, buf.data(), buf.size(), 5000);
        ASSERT_GT(n, 0);
        Bytes plain(buf.size());
        std::size_t len = 0;
        ASSERT_EQ(opener.open(buf.data(), static_cast<std::size_t>(n), plain.data(), plain.size(), &len),
                  vnxhop::OpenResult::Ok);
        if (kind == 0) {
            ParsedHeader h;
            ASSERT_TRUE(parseHeader(plain.data(), len, h));
            EXPECT_FALSE(h.masked);  // nothing is masked inside the seal
            EXPECT_EQ(h.port, addressPort(echo.address()));
            EXPECT_EQ(std::string(plain.begin() + 32, plain.begin() + static_cast<long>(len)), "udp");
        } else {
            EXPECT_EQ(len, 8u);
        }
    }
    EXPECT_EQ(echo.received(), 1);
}

TEST_F(RelayKeyed, DatagramsThatDoNotOpenGetNoAnswer) {
    UdpEcho echo("127.0.0.1");
    Sock c(udpSocket("127.0.0.1"));
    vnxhop::Sealer sealer(key_, vnxhop::Direction::ToRelay);
    std::uint8_t wrongKey[32];
    keyOf(9, wrongKey);
    vnxhop::Sealer wrong(wrongKey, vnxhop::Direction::ToRelay);
    Bytes frame = relayHeader(echo.address(), false);
    frame.insert(frame.end(), {'x', 'y'});
    const Bytes good = sealed(sealer, frame);
    ASSERT_TRUE(sendTo(c, good));
    Bytes buf(2000);
    ASSERT_GT(recvWithin(c, buf.data(), buf.size(), 5000), 0);
    ASSERT_EQ(echo.received(), 1);

    struct Bad {
        const char* name;
        Bytes datagram;
    };
    Bytes tampered = sealed(sealer, frame);
    tampered[40] ^= 1;
    Bytes truncated = sealed(sealer, frame);
    truncated.resize(truncated.size() - 5);
    const Bad bad[] = {
        {"plain framed datagram", frame},
        {"plain probe", relayHeader(echo.address(), false, 5)},
        {"sealed with another key", sealed(wrong, frame)},
        {"replayed", good},
        {"tampered", tampered},
        {"truncated", truncated},
        {"empty", Bytes()},
    };
    for (const Bad& b : bad) {
        SCOPED_TRACE(b.name);
        ASSERT_TRUE(sendTo(c, b.datagram));
        EXPECT_LT(recvWithin(c, buf.data(), buf.size(), 300), 0);
    }
    EXPECT_EQ(echo.received(), 1);
}

}  // namespace
