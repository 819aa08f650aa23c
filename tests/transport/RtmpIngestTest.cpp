// The publisher and its librtmp connection against a real ingest: nginx with the RTMP module,
// started by the tests on loopback, recording what it receives; ffprobe and ffmpeg check the
// recordings. Real time, a few seconds per test.
#include <gtest/gtest.h>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/RunLoop.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/TestMedia.h"
#include "tests/transport/IngestTestSupport.h"
#include "tests/transport/RecordingSocketDelegate.h"
#include "transport/LibRtmpConnection.h"
#include "transport/LinkInterrupt.h"
#include "transport/RtmpMessageBuilder.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {

using zqtest::RecordingDelegate;
using Clock = std::chrono::steady_clock;

using zqtest::expectSigpipeDeadly;
using zqtest::streamTo;
using zqtest::waitFor;

class RtmpIngestTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (!zqtest::NginxRtmp::available()) GTEST_SKIP() << "nginx with the RTMP module is not installed";
        expectSigpipeDeadly();
        ASSERT_TRUE(nginx.start()) << nginx.lastError();
        platform::RunLoop::main().startOnThread(); // reconnect attempts and buffer ticks run there
    }
    void TearDown() override {
        platform::RunLoop::main().stopOnThread();
        platform::resetRuntime();
    }

    std::shared_ptr<ZVStreamRTMPSocket> publisher(const std::string& name, const zqtest::TestMediaOptions& media,
                                                  std::int64_t interval = 0) {
        auto socket = ZVStreamRTMPSocket::create(streamTo(nginx.publishUrl(name), media), interval, 0);
        socket->setDelegate(delegate);
        return socket;
    }
    // Stops the publisher and waits until nginx has let go of the recording.
    void finish(const std::shared_ptr<ZVStreamRTMPSocket>& socket) {
        socket->stop();
        ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStop); }, 10));
        nginx.stop();
    }
    void expectPlayableRecording(const std::string& path, const zqtest::TestMediaOptions& media) {
        auto probe = zqtest::probeMedia(path);
        ASSERT_TRUE(probe.is_object()) << "ffprobe could not read " << path;
        bool video = false, audio = false;
        for (auto& stream : probe["streams"]) {
            if (stream["codec_type"] == "video") {
                video = true;
                EXPECT_EQ(stream["codec_name"], "h264");
                EXPECT_EQ(stream["width"], media.width);
                EXPECT_EQ(stream["height"], media.height);
            } else if (stream["codec_type"] == "audio") {
                audio = true;
                EXPECT_EQ(stream["codec_name"], "aac");
                EXPECT_EQ(stream["sample_rate"], std::to_string(media.sampleRate));
                EXPECT_EQ(stream["channels"], media.channels);
            }
        }
        EXPECT_TRUE(video);
        EXPECT_TRUE(audio);
        EXPECT_EQ(zqtest::decodeErrors(path), "");
        auto videoPackets = zqtest::packetTimestamps(path, "v");
        EXPECT_GT(videoPackets.size(), 10u);
    }

    zqtest::NginxRtmp nginx;
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
};

TEST_F(RtmpIngestTest, ConnectionToAPortWithoutIngestFailsAndSaysWhy) {
    LibRtmpConnection connection;
    LinkInterrupt interrupt;
    int closedPort = zqtest::freeLoopbackPort();
    auto result = connection.connect("rtmp://127.0.0.1:" + std::to_string(closedPort) + "/live/none", {}, interrupt);
    EXPECT_EQ(result.status, RtmpConnection::Status::Failed);
    EXPECT_NE(result.reason.find("refused"), std::string::npos) << result.reason;
    EXPECT_FALSE(connection.isConnected());
    RtmpMessage message(RtmpMessage::kTypeAudio, 4);
    EXPECT_EQ(connection.send(message).status, RtmpConnection::Status::NotConnected);
    connection.close();
}

TEST_F(RtmpIngestTest, AnIngestThatDiesFailsOneSendAndRaisesNoSigpipe) {
    LibRtmpConnection connection;
    LinkInterrupt interrupt;
    ASSERT_TRUE(connection.connect(nginx.publishUrl("dies"), {}, interrupt).ok());
    EXPECT_GT(connection.streamId(), 0);
    RtmpMessage meta = RtmpMessageBuilder::metaData({});
    meta.setStreamId(connection.streamId());
    ASSERT_TRUE(connection.send(meta).ok());

    nginx.kill();
    // The first sends may still land in the socket buffer; a later one meets the reset link.
    std::vector<RtmpConnection::Result> failures;
    for (int sends = 0; connection.isConnected() && sends < 200; ++sends) {
        RtmpMessage message(RtmpMessage::kTypeVideo, 4000);
        message.setStreamId(connection.streamId());
        message.setTimestamp(static_cast<std::uint32_t>(sends * 40));
        auto result = connection.send(message);
        if (!result.ok()) failures.push_back(result);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_FALSE(connection.isConnected());
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_EQ(failures[0].status, RtmpConnection::Status::Failed) << failures[0].reason;
    RtmpMessage late(RtmpMessage::kTypeVideo, 10);
    EXPECT_EQ(connection.send(late).status, RtmpConnection::Status::NotConnected);
    connection.close(); // the link is gone: no goodbye is tried

    // Nothing of SIGPIPE is left behind: not pending, not blocked.
    sigset_t pending, mask;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    EXPECT_EQ(sigismember(&mask, SIGPIPE), 0);
}

TEST_F(RtmpIngestTest, PublishedH264AndAacAreRecordedByteForByteAndDecode) {
    zqtest::TestMediaOptions options;
    auto media = zqtest::makeTestMedia(options);
    auto socket = publisher("clean", options);
    socket->start();
    ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 10));
    for (auto& frame : media.interleaved()) socket->sendFrame(frame);
    ASSERT_TRUE(waitFor([&] { return socket->buffer()->listCount() == 0; }, 10));
    finish(socket);

    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveStop}));
    auto path = nginx.recordingPath("clean");
    expectPlayableRecording(path, options);

    // Sent in 4096-byte chunks, received as sent: every picture (its 4-byte length and NAL unit)
    // and every access unit, at its time. The first key frame made the AVC sequence header and went
    // out as a picture too; the first access unit went only as the AAC sequence header; the last five
    // stayed in the sort window.
    auto released = media.interleaved();
    released.resize(released.size() - ZVStreamingBuffer::kSortWindow);
    std::vector<zqtest::PacketDigest> video, audio;
    bool firstAudio = true, keyFrameSeen = false;
    for (auto& frame : released) {
        const ZQBytes& data = frame->data();
        if (const ZQVideoFrame* picture = frame->asVideoFrame()) {
            keyFrameSeen = keyFrameSeen || picture->isKeyFrame();
            if (!keyFrameSeen) continue;
            std::vector<std::uint8_t> packet{std::uint8_t(data.size() >> 24), std::uint8_t(data.size() >> 16),
                                             std::uint8_t(data.size() >> 8), std::uint8_t(data.size())};
            packet.insert(packet.end(), data.begin(), data.end());
            video.push_back({static_cast<std::int64_t>(frame->timestamp()), packet.size(),
                             zqtest::crc32Hash(packet.data(), packet.size())});
        } else {
            if (std::exchange(firstAudio, false)) continue;
            audio.push_back({static_cast<std::int64_t>(frame->timestamp()), data.size(),
                             zqtest::crc32Hash(data.data(), data.size())});
        }
    }
    EXPECT_EQ(zqtest::packetDigests(path, "v"), video);
    EXPECT_EQ(zqtest::packetDigests(path, "a"), audio);
}

TEST_F(RtmpIngestTest, EqualSizeAudioFramesWithOneTimestampKeepTheirTimestamps) {
    zqtest::TestMediaOptions options;
    options.seconds = 1;
    auto media = zqtest::makeTestMedia(options);
    auto socket = publisher("repeat", options);
    socket->start();
    ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 10));

    // Audio only: every third access unit goes twice with one timestamp (as when one encoder call
    // yields several), the pair equal in size.
    std::vector<std::int64_t> expected;
    bool header = true;
    for (std::size_t i = 0; i < media.audio.size(); ++i) {
        int copies = i % 3 == 1 ? 2 : 1;
        for (int c = 0; c < copies; ++c) {
            auto frame = std::make_shared<ZQAudioFrame>(*media.audio[i]);
            socket->sendFrame(frame);
            if (header)
                header = false; // the first becomes the AAC sequence header
            else
                expected.push_back(static_cast<std::int64_t>(frame->timestamp()));
        }
    }
    // Five later frames push every one of those out of the buffer's sort window.
    for (int i = 0; i < 5; ++i) {
        auto tail = std::make_shared<ZQAudioFrame>(*media.audio.back());
        tail->setTimestamp(100000 + static_cast<std::uint64_t>(i));
        socket->sendFrame(tail);
    }
    ASSERT_TRUE(waitFor([&] { return socket->buffer()->listCount() == 0; }, 10));
    finish(socket);

    auto received = zqtest::packetTimestamps(nginx.recordingPath("repeat"), "a");
    EXPECT_EQ(received, expected);
}

TEST_F(RtmpIngestTest, AfterTheIngestDiesThePublisherReconnectsAndResendsSequenceHeaders) {
    zqtest::TestMediaOptions options;
    options.seconds = 6;
    options.keyFrameInterval = 12;
    auto media = zqtest::makeTestMedia(options);
    auto frames = media.interleaved();
    auto socket = publisher("again", options, 1);
    socket->start();
    ASSERT_TRUE(waitFor([&] { return delegate->sawStatus(ZQLiveStart); }, 10));

    // Frames in real time, as from live encoders.
    std::atomic<bool> feeding{true};
    std::atomic<std::size_t> fed{0};
    std::thread feeder([&] {
        auto begin = Clock::now();
        for (auto& frame : frames) {
            if (!feeding) break;
            std::this_thread::sleep_until(begin + std::chrono::milliseconds(frame->timestamp()));
            socket->sendFrame(frame);
            ++fed;
        }
    });
    auto stopFeeding = [&] {
        feeding = false;
        feeder.join();
    };

    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    nginx.kill();
    bool restarted = nginx.start();
    bool reconnected = restarted && waitFor([&] { return delegate->timesOf(ZQLiveStart).size() == 2; }, 10);
    if (reconnected) std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    stopFeeding();
    ASSERT_TRUE(restarted) << nginx.lastError();
    ASSERT_TRUE(reconnected) << "states seen: " << delegate->trail().size();
    finish(socket);

    auto trail = delegate->trail();
    ASSERT_GE(trail.size(), 5u);
    EXPECT_EQ(std::vector<std::uint64_t>(trail.begin(), trail.begin() + 5),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveReconnecting, ZQLiveStart, ZQLiveStop}));
    // The recording of the second publish decodes from its first frame: the headers came again.
    expectPlayableRecording(nginx.recordingPath("again"), options);
}

} // namespace
