// The TLS relay with a fake TLS session (plain bytes over a socket pair, with partial writes,
// "again" codes and failures on demand), and the URL scheme rules of the RTMPS path.
#include <gtest/gtest.h>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include "transport/LibRtmpConnection.h"
#include "transport/LinkInterrupt.h"
#include "transport/RtmpUrl.h"
#include "transport/TlsRelay.h"

namespace {

// What the fake saw, kept apart from the fake (the relay destroys its session when it ends).
struct FakeLog {
    std::mutex mutex;
    int sendCalls = 0;
    int receiveAgains = 0;
    int byeCalls = 0;
    bool retryDiffered = false; // a send after "again" did not repeat the refused bytes
};

class FakeTlsStream final : public TlsStream {
public:
    struct Script {
        std::size_t maxSend = SIZE_MAX;  // bytes taken per send at most
        int againEverySend = 0;          // every Nth send answers "again" (0: never)
        int againEveryReceive = 0;       // every Nth receive answers "again"
        std::size_t failSendAfter = SIZE_MAX; // sends fail once this many bytes went
        int byeAgains = 0;               // goodbye answers "again" this many times first
    };

    FakeTlsStream(int network, Script script, std::shared_ptr<FakeLog> log)
        : mNetwork(network), mScript(script), mLog(std::move(log)) {}
    ~FakeTlsStream() override { ::close(mNetwork); }

    int fd() const override { return mNetwork; }

    IoResult send(const std::uint8_t* data, std::size_t size) override {
        std::lock_guard lock(mLog->mutex);
        ++mLog->sendCalls;
        if (!mRefused.empty()) {
            if (size != mRefused.size() || std::memcmp(data, mRefused.data(), size) != 0) mLog->retryDiffered = true;
            mRefused.clear();
        } else if (mScript.againEverySend > 0 && mLog->sendCalls % mScript.againEverySend == 0) {
            mRefused.assign(data, data + size);
            return {Io::Again, 0};
        }
        if (mSent >= mScript.failSendAfter) {
            mError = "fake link broke";
            return {Io::Failed, 0};
        }
        ssize_t n = ::send(mNetwork, data, std::min(size, mScript.maxSend), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EAGAIN) {
                mRefused.assign(data, data + size);
                return {Io::Again, 0};
            }
            mError = std::strerror(errno);
            return {Io::Failed, 0};
        }
        mSent += static_cast<std::size_t>(n);
        return {Io::Ok, static_cast<std::size_t>(n)};
    }

    IoResult receive(std::uint8_t* data, std::size_t size) override {
        if (mScript.againEveryReceive > 0 && ++mReceives % mScript.againEveryReceive == 0) {
            std::lock_guard lock(mLog->mutex);
            ++mLog->receiveAgains;
            return {Io::Again, 0};
        }
        ssize_t n = ::recv(mNetwork, data, size, MSG_DONTWAIT);
        if (n > 0) return {Io::Ok, static_cast<std::size_t>(n)};
        if (n == 0) return {Io::Closed, 0};
        if (errno == EAGAIN) return {Io::Again, 0};
        mError = std::strerror(errno);
        return {Io::Failed, 0};
    }

    IoResult bye() override {
        std::lock_guard lock(mLog->mutex);
        if (mLog->byeCalls++ < mScript.byeAgains) return {Io::Again, 0};
        ::shutdown(mNetwork, SHUT_WR);
        return {Io::Ok, 0};
    }

    std::string error() const override { return mError; }

private:
    int mNetwork;
    Script mScript;
    std::shared_ptr<FakeLog> mLog;
    std::vector<std::uint8_t> mRefused;
    std::size_t mSent = 0;
    int mReceives = 0;
    std::string mError;
};

std::vector<std::uint8_t> pattern(std::size_t size) {
    std::vector<std::uint8_t> bytes(size);
    std::uint32_t x = 2463534242u;
    for (auto& b : bytes) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        b = static_cast<std::uint8_t>(x);
    }
    return bytes;
}

void writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return;
        done += static_cast<std::size_t>(n);
    }
}

// Reads until the end of the stream (or an error).
std::vector<std::uint8_t> readToEnd(int fd) {
    std::vector<std::uint8_t> out;
    std::uint8_t chunk[8192];
    for (;;) {
        ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return out;
        out.insert(out.end(), chunk, chunk + n);
    }
}

// A relay between a "library" end and a fake session whose far side is the "peer" end.
struct RelayRig {
    int library = -1;
    int peer = -1;
    std::shared_ptr<FakeLog> log = std::make_shared<FakeLog>();
    std::shared_ptr<TlsRelay> relay;

    explicit RelayRig(FakeTlsStream::Script script, TlsRelay::Options options = {}) {
        int pair[2];
        int network[2];
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, network), 0);
        library = pair[0];
        peer = network[1];
        relay = TlsRelay::start(std::make_unique<FakeTlsStream>(network[0], script, log), pair[1], options);
        EXPECT_TRUE(relay);
    }
    ~RelayRig() {
        if (relay) {
            relay->abort();
            relay->waitUntilDone(5);
        }
        if (library >= 0) ::close(library);
        if (peer >= 0) ::close(peer);
    }
    void closeLibrary() {
        ::close(library);
        library = -1;
    }
};

TEST(TlsRelay, PartialWritesAndAgainCodesDeliverEveryByteInOrderThenSayGoodbye) {
    FakeTlsStream::Script script;
    script.maxSend = 1000;     // the session takes a little at a time
    script.againEverySend = 3; // and often asks to be called again
    script.byeAgains = 2;
    RelayRig rig(script);
    auto sent = pattern(1 << 20);
    std::thread library([&] {
        writeAll(rig.library, sent);
        rig.closeLibrary();
    });
    auto received = readToEnd(rig.peer); // ends with the goodbye's SHUT_WR
    library.join();
    ASSERT_TRUE(rig.relay->waitUntilDone(5));
    EXPECT_EQ(received.size(), sent.size());
    EXPECT_TRUE(received == sent);
    std::lock_guard lock(rig.log->mutex);
    EXPECT_FALSE(rig.log->retryDiffered) << "a send after 'again' must repeat the same bytes";
    EXPECT_EQ(rig.log->byeCalls, 3); // repeated until done
    EXPECT_EQ(rig.relay->failure(), "");
}

TEST(TlsRelay, PeerBytesReachTheLibraryAndThePeersCloseEndsItsStreamWhileSendingGoesOn) {
    FakeTlsStream::Script script;
    script.againEveryReceive = 2;
    RelayRig rig(script);
    auto fromPeer = pattern(300000);
    std::thread peer([&] {
        writeAll(rig.peer, fromPeer);
        ::shutdown(rig.peer, SHUT_WR); // the peer's close_notify
    });
    auto atLibrary = readToEnd(rig.library);
    peer.join();
    EXPECT_TRUE(atLibrary == fromPeer);
    {
        std::lock_guard lock(rig.log->mutex);
        EXPECT_GT(rig.log->receiveAgains, 0);
    }
    // The other direction still works after the peer's close.
    std::vector<std::uint8_t> tail = {1, 2, 3, 4, 5};
    writeAll(rig.library, tail);
    rig.closeLibrary();
    EXPECT_TRUE(readToEnd(rig.peer) == tail);
    EXPECT_TRUE(rig.relay->waitUntilDone(5));
}

TEST(TlsRelay, AFailedSessionClosesTheLibrarysEndAndSaysWhy) {
    FakeTlsStream::Script script;
    script.failSendAfter = 20000;
    RelayRig rig(script);
    std::thread drain([&] { readToEnd(rig.peer); });
    // The library's sends fail once the relay is gone (no SIGPIPE: MSG_NOSIGNAL here, the
    // connection's own guard in production), and its receive sees the end of the stream.
    auto bytes = pattern(4096);
    bool failed = false;
    for (int i = 0; i < 1000 && !failed; ++i) failed = ::send(rig.library, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0;
    EXPECT_TRUE(failed);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << std::strerror(errno);
    ASSERT_TRUE(rig.relay->waitUntilDone(5));
    EXPECT_EQ(rig.relay->failure(), "TLS send failed: fake link broke");
    std::uint8_t byte;
    EXPECT_LE(::recv(rig.library, &byte, 1, 0), 0);
    ::shutdown(rig.peer, SHUT_RDWR);
    drain.join();
}

TEST(TlsRelay, APeerThatTakesNothingHoldsTheRelayOnlyForItsFlushTimeOrUntilAnAbort) {
    FakeTlsStream::Script script;
    TlsRelay::Options options;
    options.flushSeconds = 0.2;
    {
        RelayRig rig(script, options);
        // The peer never reads: everything fills up, then the library gives up and closes.
        auto bytes = pattern(64 * 1024);
        ::fcntl(rig.library, F_SETFL, O_NONBLOCK);
        while (::send(rig.library, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0) {
        }
        rig.closeLibrary();
        EXPECT_TRUE(rig.relay->waitUntilDone(3));
        EXPECT_EQ(rig.relay->failure(), "");
    }
    {
        RelayRig rig(script);
        auto bytes = pattern(64 * 1024);
        ::fcntl(rig.library, F_SETFL, O_NONBLOCK);
        while (::send(rig.library, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0) {
        }
        rig.relay->abort();
        EXPECT_TRUE(rig.relay->waitUntilDone(1));
        std::lock_guard lock(rig.log->mutex);
        EXPECT_EQ(rig.log->byeCalls, 0); // an abort sends nothing more
    }
}

TEST(TlsRelay, WhatThePeerSendsAfterTheLibraryLeftRaisesNoSigpipe) {
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    ASSERT_EQ(action.sa_handler, SIG_DFL); // a SIGPIPE would end this process
    RelayRig rig(FakeTlsStream::Script{});
    rig.closeLibrary();
    writeAll(rig.peer, pattern(200000));
    EXPECT_TRUE(rig.relay->waitUntilDone(5));
}

TEST(RtmpUrl, SchemesDecideTheTransport) {
    using rtmpurl::Transport;
    EXPECT_EQ(rtmpurl::transportOf("rtmp://host/live/x"), Transport::Plain);
    EXPECT_EQ(rtmpurl::transportOf("rtmpe://host/live/x"), Transport::Plain);
    EXPECT_EQ(rtmpurl::transportOf("rtmps://host/live/x"), Transport::Tls);
    EXPECT_EQ(rtmpurl::transportOf("RTMPS://host/live/x"), Transport::Tls);
    for (const char* url : {"rtmpt://host/live/x", "rtmpte://host/live/x", "RtmpTS://host/live/x"})
        EXPECT_EQ(rtmpurl::transportOf(url), Transport::Tunnelled) << url;
    EXPECT_EQ(rtmpurl::transportOf("host/live/x"), Transport::Plain); // librtmp's own complaint follows
    EXPECT_EQ(rtmpurl::schemeOf("RTMPTE://h/a"), "rtmpte");
}

TEST(RtmpUrl, OnlyNumericAddressesCountAsAddresses) {
    EXPECT_TRUE(rtmpurl::isIpLiteral("127.0.0.1"));
    EXPECT_TRUE(rtmpurl::isIpLiteral("::1"));
    EXPECT_TRUE(rtmpurl::isIpLiteral("[2001:db8::1]"));
    EXPECT_FALSE(rtmpurl::isIpLiteral("localhost"));
    EXPECT_FALSE(rtmpurl::isIpLiteral("127.0.0.1.example.com"));
    EXPECT_FALSE(rtmpurl::isIpLiteral(""));
}

TEST(RtmpUrl, TunnelledUrlsAreRefusedBeforeAnyConnection) {
    LinkInterrupt interrupt;
    for (const char* url : {"rtmpt://127.0.0.1:1/live/x", "rtmpte://127.0.0.1:1/live/x", "rtmpts://127.0.0.1:1/live/x"}) {
        LibRtmpConnection connection;
        auto result = connection.connect(url, {}, interrupt);
        EXPECT_EQ(result.status, RtmpConnection::Status::Failed);
        EXPECT_NE(result.reason.find("is not supported; use rtmp:// or rtmps://"), std::string::npos) << result.reason;
    }
}

} // namespace
