// The link under real sockets on loopback: the TCP connector, the bytes librtmp puts on the wire
// (read back by an in-test RTMP server), and a publisher facing an ingest that never answers or
// stops reading. Real time; every wait is bounded well below the time-outs it proves are not hit.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "ZQLiveKit/ZQVideoFrame.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/RunLoop.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "tests/support/TestUtil.h"
#include "tests/transport/FakeRtmpServer.h"
#include "tests/transport/RecordingSocketDelegate.h"
#include "transport/LibRtmpConnection.h"
#include "transport/LinkInterrupt.h"
#include "transport/RtmpMessageBuilder.h"
#include "transport/TcpConnector.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {

using zqtest::FakeRtmpServer;
using zqtest::RecordingDelegate;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

bool waitFor(const std::function<bool()>& done, double seconds) {
    auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return done();
}

// A listening socket on a loopback address; family AF_INET or AF_INET6.
struct Listener {
    int fd = -1;
    int port = 0;
    explicit Listener(int family, int backlog = 8) {
        fd = ::socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_storage storage{};
        socklen_t length;
        if (family == AF_INET) {
            auto* in = reinterpret_cast<sockaddr_in*>(&storage);
            in->sin_family = AF_INET;
            in->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            length = sizeof(sockaddr_in);
        } else {
            auto* in6 = reinterpret_cast<sockaddr_in6*>(&storage);
            in6->sin6_family = AF_INET6;
            in6->sin6_addr = in6addr_loopback;
            length = sizeof(sockaddr_in6);
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&storage), length) != 0 || ::listen(fd, backlog) != 0) {
            ::close(fd);
            fd = -1;
            return;
        }
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&storage), &length);
        port = ntohs(family == AF_INET ? reinterpret_cast<sockaddr_in*>(&storage)->sin_port
                                       : reinterpret_cast<sockaddr_in6*>(&storage)->sin6_port);
    }
    ~Listener() {
        if (fd >= 0) ::close(fd);
    }
};

TcpConnector::Address addressOf(const std::string& host, int port) {
    TcpConnector::Result failure;
    auto list = TcpConnector::resolve(host, port, Clock::now() + std::chrono::seconds(5), nullptr, failure);
    EXPECT_EQ(list.size(), 1u) << failure.error;
    return list.empty() ? TcpConnector::Address{} : list.front();
}

TEST(TcpConnector, ConnectsOverIPv4AndIPv6AndByName) {
    Listener v4(AF_INET);
    ASSERT_GE(v4.fd, 0);
    auto result = TcpConnector::connect("127.0.0.1", v4.port, {});
    ASSERT_TRUE(result) << result.error;
    ::close(result.fd);

    // A host name goes through the resolver (on its helper thread).
    result = TcpConnector::connect("localhost", v4.port, {});
    if (result) ::close(result.fd);

    Listener v6(AF_INET6);
    if (v6.fd < 0) GTEST_SKIP() << "no IPv6 loopback here";
    result = TcpConnector::connect("::1", v6.port, {});
    ASSERT_TRUE(result) << result.error;
    ::close(result.fd);
}

TEST(TcpConnector, TriesTheNextAddressWhenOneRefusesAndSaysWhyWhenAllDo) {
    Listener open(AF_INET);
    ASSERT_GE(open.fd, 0);
    int closedPort = zqtest::freeLoopbackPort();
    auto deadline = Clock::now() + std::chrono::seconds(5);
    auto result = TcpConnector::connect({addressOf("127.0.0.1", closedPort), addressOf("127.0.0.1", open.port)}, {},
                                        deadline);
    ASSERT_TRUE(result) << result.error;
    ::close(result.fd);

    result = TcpConnector::connect({addressOf("127.0.0.1", closedPort)}, {}, deadline);
    EXPECT_FALSE(result);
    EXPECT_FALSE(result.interrupted);
    EXPECT_NE(result.error.find("127.0.0.1:" + std::to_string(closedPort)), std::string::npos) << result.error;
    EXPECT_NE(result.error.find("refused"), std::string::npos) << result.error;

    EXPECT_FALSE(TcpConnector::connect("127.0.0.1", 0, {}));
    EXPECT_FALSE(TcpConnector::connect("no-such-host.invalid", 1935, {}));
}

// A listener whose accept queue is full drops new SYNs: a connect to it hangs.
class UnansweredListener : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_GE(listener.fd, 0);
        for (int i = 0; i < 8; ++i) {
            int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            address.sin_port = htons(static_cast<std::uint16_t>(listener.port));
            ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
            fillers.push_back(fd);
        }
    }
    void TearDown() override {
        for (int fd : fillers) ::close(fd);
    }
    Listener listener{AF_INET, 0};
    std::vector<int> fillers;
};

TEST_F(UnansweredListener, AConnectEndsAtItsTimeOutOrAtOnceWhenInterrupted) {
    TcpConnector::Options options;
    options.timeoutSeconds = 0.3;
    auto start = Clock::now();
    auto result = TcpConnector::connect("127.0.0.1", listener.port, options);
    EXPECT_FALSE(result);
    EXPECT_NE(result.error.find("timed out"), std::string::npos) << result.error;
    EXPECT_LT(secondsSince(start), 5.0);

    options.timeoutSeconds = 30;
    LinkInterrupt interrupt;
    std::thread stopper([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        interrupt.interrupt();
    });
    start = Clock::now();
    result = TcpConnector::connect("127.0.0.1", listener.port, options, &interrupt);
    stopper.join();
    EXPECT_FALSE(result);
    EXPECT_TRUE(result.interrupted) << result.error;
    EXPECT_LT(secondsSince(start), 2.0);
}

// librtmp's output as the server reads it back.
class RtmpWire : public ::testing::Test {
protected:
    RtmpWire() { platform::Console::setEnabled(false); }
    ~RtmpWire() override { platform::Console::setEnabled(true); }
    void SetUp() override { ASSERT_TRUE(server.listening()); }

    bool received(const std::string& command) {
        for (auto& m : server.messages(1))
            if (m.command == command) return true;
        return false;
    }
    std::vector<FakeRtmpServer::Message> after(const std::string& command) {
        auto all = server.messages(1);
        for (std::size_t i = 0; i < all.size(); ++i)
            if (all[i].command == command) return {all.begin() + static_cast<long>(i) + 1, all.end()};
        return {};
    }

    FakeRtmpServer server;
    LinkInterrupt interrupt;
};

TEST_F(RtmpWire, AfterTheMetadataTheChunkSizeGrowsAndEveryMessageArrivesUnchanged) {
    LibRtmpConnection connection;
    auto result = connection.connect(server.url("wire"), {}, interrupt);
    ASSERT_TRUE(result.ok()) << result.reason;
    ASSERT_GT(connection.streamId(), 0);

    RtmpMessage meta = RtmpMessageBuilder::metaData({});
    meta.setStreamId(connection.streamId());
    const Bytes metaBody(meta.body(), meta.body() + meta.bodySize());
    ASSERT_TRUE(connection.send(meta).ok());
    ASSERT_TRUE(connection.setChunkSize(4096).ok());

    // A 10 kB picture, then two equal-size audio frames with one timestamp.
    ZQVideoFrame picture;
    Bytes nal(10 * 1024);
    for (std::size_t i = 0; i < nal.size(); ++i) nal[i] = static_cast<std::uint8_t>(i * 7);
    picture.setData(ZQBytes(nal));
    picture.setTimestamp(40);
    RtmpMessage video = RtmpMessageBuilder::video(picture);
    video.setStreamId(connection.streamId());
    const Bytes videoBody(video.body(), video.body() + video.bodySize());
    ASSERT_TRUE(connection.send(video).ok());
    for (int i = 0; i < 2; ++i) {
        ZQAudioFrame sound;
        sound.setData(ZQBytes{0x21, 0x10, 0x04});
        sound.setTimestamp(46);
        RtmpMessage audio = RtmpMessageBuilder::audio(sound);
        audio.setStreamId(connection.streamId());
        ASSERT_TRUE(connection.send(audio).ok());
    }
    connection.close();
    ASSERT_TRUE(server.waitUntil([&] { return received("deleteStream"); }, 5));

    auto sent = after("publish");
    ASSERT_GE(sent.size(), 5u);
    // The metadata is the first message after the publish, in 128-byte chunks.
    EXPECT_EQ(sent[0].type, 0x12);
    EXPECT_EQ(sent[0].body, metaBody);
    EXPECT_EQ(sent[0].chunkSize, 128u);
    EXPECT_EQ(sent[0].chunks, static_cast<int>((metaBody.size() + 127) / 128));
    // Then Set Chunk Size 4096 on the control stream.
    EXPECT_EQ(sent[1].type, 0x01);
    EXPECT_EQ(sent[1].chunkStream, 2);
    EXPECT_EQ(sent[1].streamId, 0u);
    EXPECT_EQ(sent[1].body, (Bytes{0x00, 0x00, 0x10, 0x00}));
    // The picture: byte for byte the same body, in 3 chunks instead of 81.
    EXPECT_EQ(sent[2].type, 0x09);
    EXPECT_EQ(sent[2].body, videoBody);
    EXPECT_EQ(sent[2].chunks, 3);
    EXPECT_EQ(sent[2].timestamp, 40u);
    EXPECT_EQ(sent[2].streamId, 1u); // the stream the server created
    // Equal-size audio with one timestamp keeps it (a format-3 header would have shifted it).
    EXPECT_EQ(sent[3].timestamp, 46u);
    EXPECT_EQ(sent[4].timestamp, 46u);
    EXPECT_EQ(sent[4].body, (Bytes{0xAF, 0x01, 0x21, 0x10, 0x04}));
    // A healthy link is closed with FCUnpublish and deleteStream.
    EXPECT_TRUE(received("FCUnpublish"));
}

// A publisher of generated frames against the in-test server, in real time.
class PublisherLink : public ::testing::Test {
protected:
    PublisherLink() { platform::Console::setEnabled(false); }
    ~PublisherLink() override { platform::Console::setEnabled(true); }
    void SetUp() override { platform::RunLoop::main().startOnThread(); }
    void TearDown() override {
        stopFeeding();
        platform::RunLoop::main().stopOnThread();
        platform::resetRuntime();
    }

    std::shared_ptr<ZVStreamRTMPSocket> publisher(const std::string& url, RtmpConnectionFactory factory = nullptr) {
        auto stream = std::make_shared<ZQLiveStreamInfo>();
        stream->setUrl(url);
        stream->setVideoConfiguration(ZQLiveVideoConfiguration::defaultConfiguration());
        stream->setAudioConfiguration(ZQLiveAudioConfiguration::defaultConfiguration());
        auto socket = factory ? ZVStreamRTMPSocket::create(stream, 1, 0, std::move(factory))
                              : ZVStreamRTMPSocket::create(stream, 1, 0);
        socket->setDelegate(delegate);
        return socket;
    }
    // A stream under way to `server`, on links taken for dead after one second without progress.
    std::shared_ptr<ZVStreamRTMPSocket> streamWithOneSecondStallTime(FakeRtmpServer& server, const std::string& name) {
        auto socket = publisher(server.url(name), [] {
            auto connection = std::make_unique<LibRtmpConnection>();
            connection->setStallSeconds(1);
            return connection;
        });
        socket->start();
        EXPECT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 5));
        feed(socket);
        return socket;
    }

    // 10 kB pictures every 20 ms with a key frame each second, and audio: 4 Mbit/s, far more than a
    // peer that stops reading can hold in its buffers.
    void feed(const std::shared_ptr<ZVStreamRTMPSocket>& socket) {
        feeder = std::thread([this, socket] {
            for (std::uint64_t i = 0; feeding; ++i) {
                auto picture = std::make_shared<ZQVideoFrame>();
                picture->setTimestamp(i * 20);
                picture->setIsKeyFrame(i % 50 == 0);
                picture->setData(ZQBytes(Bytes(10 * 1024, 0x41)));
                picture->setSps(ZQBytes{0x67, 0x42, 0xC0, 0x1E});
                picture->setPps(ZQBytes{0x68, 0xCE});
                socket->sendFrame(picture);
                auto sound = std::make_shared<ZQAudioFrame>();
                sound->setTimestamp(i * 20 + 1);
                sound->setData(ZQBytes(Bytes(200, 0x21)));
                sound->setAudioInfo(ZQBytes{0x12, 0x10});
                socket->sendFrame(sound);
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });
    }
    void stopFeeding() {
        feeding = false;
        if (feeder.joinable()) feeder.join();
    }
    // Stops the publisher and gives the seconds until it reported ZQLiveStop.
    double timeToStop(const std::shared_ptr<ZVStreamRTMPSocket>& socket) {
        auto start = Clock::now();
        socket->stop();
        EXPECT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStop); }, 40)) << "no ZQLiveStop";
        return secondsSince(start);
    }

    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::atomic<bool> feeding{true};
    std::thread feeder;
};

TEST_F(PublisherLink, StopReturnsPromptlyFromAHandshakeTheIngestNeverAnswers) {
    FakeRtmpServer silent(FakeRtmpServer::Mode::Silent);
    auto socket = publisher(silent.url("hung"));
    socket->start();
    ASSERT_TRUE(waitFor([&] { return silent.connectionsAccepted() == 1; }, 5));
    std::this_thread::sleep_for(std::chrono::milliseconds(200)); // inside the handshake's receive
    EXPECT_LT(timeToStop(socket), 1.0);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStop}));
}

TEST_F(PublisherLink, StopReturnsPromptlyWhenThePeerStopsReadingMidStream) {
    FakeRtmpServer server(FakeRtmpServer::Mode::Serve, 4096);
    auto socket = publisher(server.url("frozen"));
    socket->start();
    ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 5));
    feed(socket);
    ASSERT_TRUE(server.waitUntil([&] { return server.mediaBytes(1) > 50000; }, 5));
    server.stopReading();
    // The socket's buffers fill and the send queue blocks in a send; frames pile up in the buffer.
    ASSERT_TRUE(waitFor([&] { return socket->buffer()->listCount() > 30; }, 5));
    EXPECT_LT(timeToStop(socket), 1.0);
    stopFeeding();
    auto trail = delegate->trail();
    EXPECT_EQ(trail, (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveStop}));
}

TEST_F(PublisherLink, APeerThatStopsReadingIsTakenForDeadAfterTheStallTimeAndTheLinkReconnects) {
    FakeRtmpServer server(FakeRtmpServer::Mode::Serve, 4096);
    auto socket = streamWithOneSecondStallTime(server, "stalled");
    ASSERT_TRUE(server.waitUntil([&] { return server.mediaBytes(1) > 50000; }, 5));
    auto stalledAt = Clock::now();
    server.stopReading();
    // Stall time 1 s, then the reconnect interval of 1 s: a second connection carries the stream.
    ASSERT_TRUE(server.waitUntil([&] { return server.mediaBytes(2) > 50000; }, 10)) << delegate->trail().size();
    EXPECT_GT(secondsSince(stalledAt), 1.0); // never before the stall time
    EXPECT_EQ(delegate->trail(),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveReconnecting, ZQLiveStart}));
    EXPECT_LT(timeToStop(socket), 1.0);
}

TEST_F(PublisherLink, ASlowReaderIsNotTakenForDead) {
    FakeRtmpServer server(FakeRtmpServer::Mode::Serve, 4096);
    auto socket = streamWithOneSecondStallTime(server, "slow");
    // The peer reads in bursts 0.6 s apart: far slower than the stream, but never a full second
    // without taking anything.
    for (int i = 0; i < 5; ++i) {
        server.stopReading();
        std::this_thread::sleep_for(std::chrono::milliseconds(600));
        server.resumeReading();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(server.connectionsAccepted(), 1);
    EXPECT_FALSE(delegate->sawStatus(ZQLiveReconnecting));
    EXPECT_LT(timeToStop(socket), 1.0);
}

} // namespace
