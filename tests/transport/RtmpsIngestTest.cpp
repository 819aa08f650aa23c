// RTMPS against a real TLS terminator: nginx's stream module with certificates the test makes,
// in front of nginx-rtmp (recording) or of the in-test RTMP server (misbehaving on purpose).
// Real time, a few seconds per test.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <mutex>
#include <thread>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/TrustSettings.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestMedia.h"
#include "tests/transport/FakeRtmpServer.h"
#include "tests/transport/IngestTestSupport.h"
#include "tests/transport/RecordingSocketDelegate.h"
#include "transport/LibRtmpConnection.h"
#include "transport/LinkInterrupt.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {

using Clock = std::chrono::steady_clock;
using zqtest::NginxRtmp;
using zqtest::RecordingDelegate;
using zqtest::TestCertificates;
using zqtest::expectSigpipeDeadly;
using zqtest::streamTo;
using zqtest::waitFor;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

class Rtmps : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ca = new TestCertificates();
        localhost = ca->server("localhost", "127.0.0.1");
        otherName = ca->server("ingest.example.net");
        expired = ca->server("localhost", "", true);
        TestCertificates stranger("Some Other CA");
        strangerLocalhost = stranger.server("localhost");
        // The stranger's files go with its folder: keep copies.
        strangerDir = new zqtest::TempDir();
        for (auto* path : {&strangerLocalhost.certificate, &strangerLocalhost.key}) {
            std::string copy = strangerDir->file(std::filesystem::path(*path).filename());
            if (!path->empty()) std::filesystem::copy_file(*path, copy);
            *path = copy;
        }
    }
    static void TearDownTestSuite() {
        delete ca;
        delete strangerDir;
    }

    void SetUp() override {
        if (!NginxRtmp::tlsAvailable()) GTEST_SKIP() << "nginx with the RTMP and stream modules is not installed";
        ASSERT_TRUE(ca->ok()) << "openssl could not make the test CA";
        ASSERT_FALSE(localhost.certificate.empty());
        expectSigpipeDeadly();
        platform::TrustSettings::setCaFile(ca->caFile());
        platform::Console::setSink([this](const std::string& line) {
            std::lock_guard lock(consoleMutex);
            console += line + "\n";
        });
        platform::RunLoop::main().startOnThread(); // reconnect attempts and buffer ticks run there
    }
    void TearDown() override {
        platform::RunLoop::main().stopOnThread();
        platform::resetRuntime();
        platform::Console::setSink(nullptr);
        platform::TrustSettings::setCaFile(std::nullopt);
    }

    void startNginx(const TestCertificates::Server& certificate, const std::string& protocols = "TLSv1.2 TLSv1.3",
                    int upstreamPort = 0) {
        nginx.setTlsFrontEnd({certificate.certificate, certificate.key, protocols, upstreamPort});
        ASSERT_TRUE(nginx.start()) << nginx.lastError();
    }

    std::shared_ptr<ZVStreamRTMPSocket> publisher(const std::string& url, std::int64_t interval = 0,
                                                  std::int64_t count = 0) {
        auto socket = ZVStreamRTMPSocket::create(streamTo(url, media), interval, count);
        socket->setDelegate(delegate);
        return socket;
    }

    // Publishes the test media and stops; the recording is then complete.
    void publishAll(const std::shared_ptr<ZVStreamRTMPSocket>& socket) {
        auto frames = zqtest::makeTestMedia(media).interleaved();
        socket->start();
        ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 10)) << consoleText();
        for (auto& frame : frames) socket->sendFrame(frame);
        ASSERT_TRUE(waitFor([&] { return socket->buffer()->listCount() == 0; }, 10));
        socket->stop();
        ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStop); }, 10));
        // The relay delivers the tail after the stop; nginx writes the recording out when the
        // publisher's goodbye arrives.
        ASSERT_TRUE(waitFor([&] { return nginx.errorLog().find("deleteStream") != std::string::npos; }, 5));
        nginx.stop();
    }

    void expectDecodableRecording(const std::string& name) {
        auto path = nginx.recordingPath(name);
        auto probe = zqtest::probeMedia(path);
        ASSERT_TRUE(probe.is_object()) << "ffprobe could not read " << path;
        EXPECT_EQ(probe["streams"].size(), 2u);
        EXPECT_EQ(zqtest::decodeErrors(path), "");
        EXPECT_GT(zqtest::packetTimestamps(path, "v").size(), 10u);
    }

    // Connects once to `url`: the result, and nothing of it recorded.
    RtmpConnection::Result refusedConnect(const std::string& url) {
        LibRtmpConnection connection;
        LinkInterrupt interrupt;
        auto result = connection.connect(url, {}, interrupt);
        connection.close();
        return result;
    }

    std::string consoleText() {
        std::lock_guard lock(consoleMutex);
        return console;
    }

    static TestCertificates* ca;
    static TestCertificates::Server localhost, otherName, expired, strangerLocalhost;
    static zqtest::TempDir* strangerDir;

    zqtest::TestMediaOptions media;
    NginxRtmp nginx;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::mutex consoleMutex;
    std::string console;
};

TestCertificates* Rtmps::ca = nullptr;
TestCertificates::Server Rtmps::localhost, Rtmps::otherName, Rtmps::expired, Rtmps::strangerLocalhost;
zqtest::TempDir* Rtmps::strangerDir = nullptr;

TEST_F(Rtmps, PublishesOverTls13WithTheRtmpsTcUrlAndTheRecordingDecodes) {
    startNginx(localhost);
    {
        LibRtmpConnection connection;
        LinkInterrupt interrupt;
        ASSERT_TRUE(connection.connect(nginx.tlsPublishUrl("probe"), {}, interrupt).ok());
        EXPECT_EQ(connection.tlsVersion(), "TLS1.3");
        connection.close();
    }
    publishAll(publisher(nginx.tlsPublishUrl("tls13")));
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveStop}));
    expectDecodableRecording("tls13");
    // librtmp spoke RTMP inside the tunnel with the URL as given.
    EXPECT_NE(nginx.errorLog().find("tc_url='rtmps://localhost:" + std::to_string(nginx.tlsPort()) + "/live'"),
              std::string::npos);
    auto records = delegate->debugRecords();
    ASSERT_FALSE(records.empty());
    EXPECT_TRUE(records.back()->isTls());
    EXPECT_EQ(records.back()->tlsVersion().value_or(""), "TLS1.3");
}

TEST_F(Rtmps, PublishesToATls12OnlyServerByAddressAndTheRecordingDecodes) {
    startNginx(localhost, "TLSv1.2");
    {
        LibRtmpConnection connection;
        LinkInterrupt interrupt;
        ASSERT_TRUE(connection.connect(nginx.tlsPublishUrl("probe", "127.0.0.1"), {}, interrupt).ok());
        EXPECT_EQ(connection.tlsVersion(), "TLS1.2");
        connection.close();
    }
    publishAll(publisher(nginx.tlsPublishUrl("tls12", "127.0.0.1")));
    expectDecodableRecording("tls12");
}

TEST_F(Rtmps, CertificatesThatDoNotProveTheServerAreRefusedWithTheReason) {
    struct Case {
        const TestCertificates::Server* certificate;
        const char* reason;
    };
    for (const Case& c : {Case{&otherName, "The name in the certificate does not match the expected"},
                          Case{&strangerLocalhost, "The certificate issuer is unknown"},
                          Case{&expired, "expired"}}) {
        nginx.stop();
        startNginx(*c.certificate);
        auto result = refusedConnect(nginx.tlsPublishUrl("refused"));
        EXPECT_EQ(result.status, RtmpConnection::Status::Failed);
        EXPECT_NE(result.reason.find("TLS certificate of localhost refused: "), std::string::npos) << result.reason;
        EXPECT_NE(result.reason.find(c.reason), std::string::npos) << result.reason;
    }
    // Nothing reached nginx-rtmp behind the terminator.
    EXPECT_EQ(nginx.errorLog().find("connect: app="), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(nginx.recordingPath("refused")));
}

TEST_F(Rtmps, AFailedVerificationIsAFailedConnectWithinTheReconnectBudget) {
    startNginx(otherName);
    auto socket = publisher(nginx.tlsPublishUrl("wrongname"), 1, 1);
    socket->start();
    ASSERT_TRUE(waitFor([&] { return delegate->trail().size() >= 4; }, 10)) << consoleText();
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveReconnecting, ZQLiveError,
                                                             RecordingDelegate::kErrorBase + 205}));
    std::string text = consoleText();
    EXPECT_NE(text.find("RTMP connect failed: " + nginx.tlsPublishUrl("wrongname") +
                           ": TLS certificate of localhost refused: The certificate is NOT trusted. The name in the "
                           "certificate does not match the expected."),
              std::string::npos)
        << text;
    socket->stop();
    EXPECT_EQ(nginx.errorLog().find("connect: app="), std::string::npos);
}

TEST_F(Rtmps, StopIsPromptInTheTlsHandshakeTheRtmpHandshakeAndAFrozenStream) {
    auto timeToStop = [&](const std::shared_ptr<ZVStreamRTMPSocket>& socket) {
        auto start = Clock::now();
        socket->stop();
        EXPECT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStop); }, 10));
        return secondsSince(start);
    };
    {   // A server that takes the TCP connection and never answers the TLS handshake.
        zqtest::FakeRtmpServer silent(zqtest::FakeRtmpServer::Mode::Silent);
        auto url = "rtmps://localhost:" + std::to_string(silent.port()) + "/live/hung";
        auto socket = publisher(url);
        socket->start();
        ASSERT_TRUE(waitFor([&] { return silent.connectionsAccepted() == 1; }, 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_LT(timeToStop(socket), 1.0);
        EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStop}));
    }
    {   // TLS made, then an RTMP server that never answers the RTMP handshake.
        delegate = std::make_shared<RecordingDelegate>();
        zqtest::FakeRtmpServer silent(zqtest::FakeRtmpServer::Mode::Silent);
        startNginx(localhost, "TLSv1.2 TLSv1.3", silent.port());
        auto socket = publisher(nginx.tlsPublishUrl("hung"));
        socket->start();
        ASSERT_TRUE(waitFor([&] { return silent.connectionsAccepted() == 1; }, 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_LT(timeToStop(socket), 1.0);
        nginx.stop();
    }
    {   // Streaming to a server that stops reading.
        delegate = std::make_shared<RecordingDelegate>();
        zqtest::FakeRtmpServer server(zqtest::FakeRtmpServer::Mode::Serve, 4096);
        startNginx(localhost, "TLSv1.2 TLSv1.3", server.port());
        auto socket = publisher(nginx.tlsPublishUrl("frozen"));
        socket->start();
        ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 5)) << consoleText();
        ASSERT_TRUE(server.waitUntil([&] { return server.connectionsAccepted() == 1; }, 5));
        server.stopReading();
        auto frames = zqtest::makeTestMedia(media).interleaved();
        for (auto& frame : frames) socket->sendFrame(frame);
        ASSERT_TRUE(waitFor([&] { return socket->buffer()->listCount() > 30; }, 10));
        EXPECT_LT(timeToStop(socket), 1.0);
        server.resumeReading();
    }
}

TEST_F(Rtmps, WhenTheTlsPeerIsKilledThePublisherReconnectsAsForPlainRtmp) {
    media.seconds = 6;
    media.keyFrameInterval = 12;
    startNginx(localhost);
    auto frames = zqtest::makeTestMedia(media).interleaved();
    auto socket = publisher(nginx.tlsPublishUrl("again"), 1);
    socket->start();
    ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 10)) << consoleText();
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        auto begin = Clock::now();
        for (auto& frame : frames) {
            if (!feeding) break;
            std::this_thread::sleep_until(begin + std::chrono::milliseconds(frame->timestamp()));
            socket->sendFrame(frame);
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    nginx.kill();
    bool restarted = nginx.start();
    bool reconnected = restarted && waitFor([&] { return delegate->timesOf(ZQLiveStart).size() == 2; }, 10);
    if (reconnected) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    feeding = false;
    feeder.join();
    ASSERT_TRUE(restarted) << nginx.lastError();
    ASSERT_TRUE(reconnected) << consoleText();
    socket->stop();
    ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStop); }, 10));
    auto trail = delegate->trail();
    ASSERT_GE(trail.size(), 5u);
    EXPECT_EQ(std::vector<std::uint64_t>(trail.begin(), trail.begin() + 5),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveReconnecting, ZQLiveStart, ZQLiveStop}));
    // Reaching here means no SIGPIPE killed the process (its disposition is the default).
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

} // namespace
