// The publisher's state machine, send loop and statistics under virtual time, over a fake
// connection: what the delegate sees, when, and what reaches the ingest.
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <vector>
#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "ZQLiveKit/ZQVideoFrame.h"
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/Exception.h"
#include "tests/support/VirtualTime.h"
#include "tests/transport/FakeRtmpConnection.h"
#include "tests/transport/RecordingSocketDelegate.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {

using zqtest::FakeIngest;
using zqtest::RecordingDelegate;
using zqtest::SentMessage;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint64_t kError205 = RecordingDelegate::kErrorBase + ZQLiveSocketErrorReconnectExhausted;

std::shared_ptr<ZQVideoFrame> videoFrame(std::uint64_t timestamp, bool key, std::size_t size = 10) {
    auto frame = std::make_shared<ZQVideoFrame>();
    frame->setTimestamp(timestamp);
    frame->setIsKeyFrame(key);
    frame->setData(ZQBytes(std::vector<std::uint8_t>(size, key ? 0x65 : 0x41)));
    frame->setSps(ZQBytes{0x67, 0x42, 0xC0, 0x1E});
    frame->setPps(ZQBytes{0x68, 0xCE});
    return frame;
}

std::shared_ptr<ZQAudioFrame> audioFrame(std::uint64_t timestamp, std::size_t size = 6) {
    auto frame = std::make_shared<ZQAudioFrame>();
    frame->setTimestamp(timestamp);
    frame->setData(ZQBytes(std::vector<std::uint8_t>(size, 0x21)));
    frame->setAudioInfo(ZQBytes{0x12, 0x10});
    return frame;
}

class PublisherTest : public ::testing::Test {
protected:
    PublisherTest() {
        platform::Console::setEnabled(false);
        stream->setUrl("rtmp://127.0.0.1:1935/live/test");
        stream->setStreamId("stream-7");
        stream->setVideoConfiguration(ZQLiveVideoConfiguration::defaultConfiguration());
        stream->setAudioConfiguration(ZQLiveAudioConfiguration::defaultConfiguration());
    }
    ~PublisherTest() override { platform::Console::setEnabled(true); }

    std::shared_ptr<ZVStreamRTMPSocket> make(std::int64_t interval = 0, std::int64_t count = 0) {
        auto socket = ZVStreamRTMPSocket::create(stream, interval, count, ingest->factory());
        socket->setDelegate(delegate);
        return socket;
    }
    // Lets everything queued run (the send queue is simulated too).
    void settle(const std::shared_ptr<ZVStreamRTMPSocket>&) {
        EXPECT_TRUE(time.settles()) << "the send loop keeps queueing steps";
    }
    // Moves virtual time in half-second steps, letting the send queue run after each.
    void run(const std::shared_ptr<ZVStreamRTMPSocket>& socket, double seconds) {
        for (double done = 0; done < seconds - 1e-9; done += 0.5) {
            time.advance(0.5);
            settle(socket);
        }
    }
    // Pushes frames, then five fillers with far later timestamps so that the buffer's sort window
    // releases the frames. The fillers come out at the next feed; media() leaves them out.
    void feed(const std::shared_ptr<ZVStreamRTMPSocket>& socket, const std::vector<std::shared_ptr<ZQFrame>>& frames) {
        for (auto& f : frames) socket->sendFrame(f);
        for (int i = 0; i < 5; ++i) {
            auto filler = audioFrame((std::uint64_t{1} << 40) + mFiller++, 7);
            filler->setData(ZQBytes(std::vector<std::uint8_t>(7, 0xEE)));
            socket->sendFrame(filler);
        }
        settle(socket);
    }
    static bool isFiller(const SentMessage& m) { return m.packetType == 0x08 && m.body.size() == 9 && m.body[2] == 0xEE; }
    // What reached the ingest, fillers left out (connection 0: all connections).
    std::vector<SentMessage> sent(int connection = 0) const {
        std::vector<SentMessage> out;
        for (auto& m : ingest->sent())
            if (!isFiller(m) && (connection == 0 || m.connection == connection)) out.push_back(m);
        return out;
    }
    std::vector<SentMessage> media(int connection = 0) const {
        std::vector<SentMessage> out;
        for (auto& m : sent(connection))
            if (m.channel == 4) out.push_back(m);
        return out;
    }

    zqtest::VirtualTime time;
    std::shared_ptr<FakeIngest> ingest = std::make_shared<FakeIngest>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<ZQLiveStreamInfo> stream = std::make_shared<ZQLiveStreamInfo>();

private:
    std::uint64_t mFiller = 0;
};

TEST_F(PublisherTest, CreationRefusesAMissingStreamAndCorrectsTheBudget) {
    try {
        ZVStreamRTMPSocket::create(nullptr, 3, 5);
        FAIL() << "no exception";
    } catch (const platform::Exception& e) {
        EXPECT_EQ(e.name(), "ZVStreamRtmpSocket init error");
        EXPECT_EQ(e.reason(), "stream is nil");
    }
    auto defaults = ZVStreamRTMPSocket::create(stream, 0, -1);
    EXPECT_EQ(defaults->reconnectInterval(), 3);
    EXPECT_EQ(defaults->reconnectCount(), 5);
    auto chosen = ZVStreamRTMPSocket::create(stream, 7, 2);
    EXPECT_EQ(chosen->reconnectInterval(), 7);
    EXPECT_EQ(chosen->reconnectCount(), 2);
}

TEST_F(PublisherTest, StartWithoutUrlReportsNothingAndOpensNothing) {
    stream->setUrl(std::nullopt);
    auto socket = make();
    socket->start();
    settle(socket);
    run(socket, 10);
    EXPECT_TRUE(delegate->events().empty());
    EXPECT_EQ(ingest->connectionsMade(), 0);
}

TEST_F(PublisherTest, ConnectReportsPendingThenStartAndSendsMetadataThenTheChunkSize) {
    auto socket = make();
    socket->start();
    settle(socket);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart}));
    EXPECT_EQ(ingest->urls(), (std::vector<std::string>{"rtmp://127.0.0.1:1935/live/test"}));
    auto sent = ingest->sent();
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].packetType, 0x12);
    EXPECT_EQ(sent[0].channel, 3);
    EXPECT_EQ(sent[0].streamId, ingest->streamIdOf(1));
    // Right after the metadata: Set Chunk Size 4096, a control message of stream 0.
    EXPECT_EQ(sent[1].packetType, 0x01);
    EXPECT_EQ(sent[1].channel, 2);
    EXPECT_EQ(sent[1].streamId, 0);
    EXPECT_EQ(sent[1].body, (Bytes{0x00, 0x00, 0x10, 0x00}));
    EXPECT_EQ(ingest->chunkSizes(), (std::vector<std::uint32_t>{4096}));
    // The kernel keeps about half a second of this stream: a quarter of its top rate in bytes (the
    // kernel doubles it).
    auto video = stream->videoConfiguration();
    auto audio = stream->audioConfiguration();
    EXPECT_EQ(ingest->lastSettings().sendBufferBytes,
              static_cast<int>((std::max(video->videoBitRate(), video->videoMaxBitRate()) + audio->audioBitrate()) / 32));
    EXPECT_EQ(ingest->lastSettings().stallSeconds, 10);

    // A second start while connected does nothing.
    socket->start();
    settle(socket);
    EXPECT_EQ(delegate->trail().size(), 2u);
    EXPECT_EQ(ingest->connectionsMade(), 1);
}

TEST_F(PublisherTest, FirstFramesOfAConnectionBecomeSequenceHeadersThenFramesFollow) {
    auto socket = make();
    socket->start();
    settle(socket);
    const std::uint64_t beyond32Bits = (std::uint64_t{1} << 32) + 120;
    feed(socket, {audioFrame(10), videoFrame(20, true), videoFrame(60, false, 30), audioFrame(70, 8),
                  videoFrame(beyond32Bits, false)});

    auto sent = media();
    ASSERT_EQ(sent.size(), 6u);
    // Audio came first out of the buffer, so the AAC header leads; the audio frame that made it is
    // not sent as sound. The key frame that made the AVC header follows it as a picture.
    EXPECT_EQ(sent[0].body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(sent[0].timestamp, 0u);
    EXPECT_EQ(sent[0].headerType, RtmpMessage::kHeaderLarge);
    EXPECT_EQ(sent[1].packetType, 0x09);
    EXPECT_EQ(sent[1].body[1], 0x00); // AVC sequence header
    EXPECT_EQ(sent[1].timestamp, 0u);
    EXPECT_EQ(sent[2].body[0], 0x17);
    EXPECT_EQ(sent[2].body[1], 0x01);
    EXPECT_EQ(sent[2].timestamp, 20u);
    EXPECT_EQ(sent[3].body.size(), 39u);
    EXPECT_EQ(sent[3].body[0], 0x27);
    EXPECT_EQ(sent[3].timestamp, 60u);
    EXPECT_EQ(sent[3].headerType, RtmpMessage::kHeaderLarge);
    EXPECT_EQ(sent[4].packetType, 0x08);
    EXPECT_EQ(sent[4].timestamp, 70u);
    EXPECT_EQ(sent[4].headerType, RtmpMessage::kHeaderMedium);
    // Beyond 2^32 - 1 ms only the low 32 bits go.
    EXPECT_EQ(sent[5].packetType, 0x09);
    EXPECT_EQ(sent[5].timestamp, 120u);
    for (auto& m : sent) EXPECT_EQ(m.streamId, ingest->streamIdOf(1));
}

TEST_F(PublisherTest, FirstVideoFrameWithoutParameterSetsIsDiscardedAndNoHeaderFollows) {
    auto socket = make();
    socket->start();
    settle(socket);
    auto bare = videoFrame(10, true);
    bare->setSps(ZQBytes());
    feed(socket, {bare, videoFrame(50, false), videoFrame(90, true)});

    auto sent = media();
    ASSERT_EQ(sent.size(), 2u);
    // No AVC sequence header on this connection: both later frames go as pictures.
    EXPECT_EQ(sent[0].body[0], 0x27);
    EXPECT_EQ(sent[0].body[1], 0x01);
    EXPECT_EQ(sent[1].body[0], 0x17);
    EXPECT_EQ(sent[1].body[1], 0x01);
    auto records = delegate->debugRecords();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records[0]->totalFrame(), 1); // the discarded frame is not counted
}

TEST_F(PublisherTest, ALeadingSeiMakesTheHeaderButIsNotSentAsAPicture) {
    auto socket = make();
    socket->start();
    settle(socket);
    auto sei = videoFrame(20, true, 12);
    sei->setData(ZQBytes{0x06, 0x05, 0x01, 0x00, 0x80});
    feed(socket, {sei, videoFrame(20, true), videoFrame(60, false)});
    auto sent = media();
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0].body[1], 0x00);
    EXPECT_EQ(sent[1].body[9], 0x65) << "the key picture, not the SEI";
    EXPECT_EQ(sent[2].body[9], 0x41);
}

TEST_F(PublisherTest, AKeyFrameWithNewParameterSetsIsPrecededByANewSequenceHeader) {
    auto socket = make();
    socket->start();
    settle(socket);
    auto renewed = videoFrame(200, true);
    renewed->setSps(ZQBytes{0x67, 0x4D, 0x40, 0x1F, 0xAA});
    auto samePpsNewSps = videoFrame(280, true);
    samePpsNewSps->setSps(renewed->sps());
    samePpsNewSps->setPps(ZQBytes{0x68, 0xEE, 0x01});
    feed(socket, {videoFrame(20, true), videoFrame(60, false), videoFrame(100, true), renewed, videoFrame(240, false),
                  samePpsNewSps});

    auto sent = media();
    ASSERT_EQ(sent.size(), 9u);
    EXPECT_EQ(sent[0].body[1], 0x00); // the connection's first header, then its key frame
    EXPECT_EQ(sent[1].timestamp, 20u);
    // Same parameter sets: key frames go without a header.
    EXPECT_EQ(sent[2].body[1], 0x01);
    EXPECT_EQ(sent[3].body[0], 0x17);
    EXPECT_EQ(sent[3].body[1], 0x01);
    // New SPS: a header with it at the key frame's time, then the key frame itself.
    EXPECT_EQ(sent[4].body[1], 0x00);
    EXPECT_EQ(sent[4].timestamp, 200u);
    EXPECT_EQ(sent[4].body[6], 0x4D); // profile from the new SPS
    EXPECT_EQ(Bytes(sent[4].body.begin() + 13, sent[4].body.begin() + 18), (Bytes{0x67, 0x4D, 0x40, 0x1F, 0xAA}));
    EXPECT_EQ(sent[5].body[0], 0x17);
    EXPECT_EQ(sent[5].timestamp, 200u);
    EXPECT_EQ(sent[6].body[0], 0x27);
    // A new PPS alone also counts.
    EXPECT_EQ(sent[7].body[1], 0x00);
    EXPECT_EQ(sent[7].body.back(), 0x01);
    EXPECT_EQ(sent[8].body[0], 0x17);
    EXPECT_EQ(sent[8].timestamp, 280u);
}

TEST_F(PublisherTest, SixFailedConnectsGiveFiveReconnectsThreeSecondsApartThenError205) {
    ingest->setConnectByDefault(false);
    auto socket = make(0, -1); // falls back to 3 s and 5 attempts
    const double start = time.now();
    socket->start();
    settle(socket);
    run(socket, 20);

    EXPECT_EQ(delegate->trail(),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveReconnecting, ZQLiveReconnecting, ZQLiveReconnecting,
                                          ZQLiveReconnecting, ZQLiveReconnecting, ZQLiveError, kError205}));
    auto attempts = delegate->timesOf(ZQLiveReconnecting);
    ASSERT_EQ(attempts.size(), 5u);
    for (std::size_t i = 0; i < attempts.size(); ++i) EXPECT_DOUBLE_EQ(attempts[i] - start, 3.0 * (i + 1));
    ASSERT_EQ(delegate->timesOf(ZQLiveError).size(), 1u);
    EXPECT_DOUBLE_EQ(delegate->timesOf(ZQLiveError)[0] - start, 15.0); // right after the last failure
    EXPECT_EQ(ingest->connectAttempts(), 6);
    // Every connect had a fresh handle, and each failed one was closed and freed.
    EXPECT_EQ(ingest->connectionsMade(), 6);
    EXPECT_EQ(ingest->connectionsClosed(), 6);
    EXPECT_EQ(ingest->connectionsAlive(), 0);
}

TEST_F(PublisherTest, StopDuringTheReconnectDelayCancelsTheAttempt) {
    ingest->setConnectByDefault(false);
    auto socket = make();
    socket->start();
    settle(socket);
    run(socket, 1);
    socket->stop();
    settle(socket);
    run(socket, 20);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStop}));
    EXPECT_EQ(ingest->connectAttempts(), 1);
}

TEST_F(PublisherTest, AnAttemptAlreadyDueWhenStopRunsStillNeverConnects) {
    auto socket = make();
    socket->start();
    settle(socket);
    ingest->dropLink();
    feed(socket, {audioFrame(10), audioFrame(30)}); // the header send finds the link gone
    run(socket, 2.5);

    // The attempt falls due, and is handed to the send queue, while the stop is inside its close.
    ingest->duringNextClose([&] { time.advance(0.5); });
    socket->stop();
    settle(socket);
    run(socket, 10);

    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveStop}));
    EXPECT_EQ(ingest->connectAttempts(), 1);
}

TEST_F(PublisherTest, AStopQueuedRightBehindAFailingSendLeavesNoAttempt) {
    auto socket = make();
    socket->start();
    settle(socket);
    ingest->dropLink();
    // The sixth frame releases the first, queueing the step that meets the dead link; the stop is
    // queued behind it.
    for (std::uint64_t i = 0; i < 6; ++i) socket->sendFrame(audioFrame(i * 23));
    socket->stop();
    settle(socket);
    run(socket, 10);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveStop}));
    EXPECT_EQ(ingest->connectAttempts(), 1);
}

TEST_F(PublisherTest, ALinkFailureMakesOneReconnectOnAFreshConnectionThatResendsHeaders) {
    auto socket = make();
    socket->start();
    settle(socket);
    feed(socket, {videoFrame(0, true), audioFrame(5), videoFrame(40, false)});
    ASSERT_EQ(media(1).size(), 4u);

    ingest->dropLink();
    // Several frames are taken while the link is down; only one reconnect request results.
    feed(socket, {videoFrame(80, false), audioFrame(85), videoFrame(120, false), audioFrame(125)});
    run(socket, 2.5);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart}));
    // Frames keep arriving while the link is down; they wait in the buffer.
    feed(socket, {videoFrame(160, true), audioFrame(165), videoFrame(200, false), audioFrame(205)});

    run(socket, 0.5); // the attempt, 3 s after the failure
    EXPECT_EQ(delegate->trail(),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveReconnecting, ZQLiveStart}));
    EXPECT_EQ(ingest->connectionsMade(), 2);
    EXPECT_EQ(ingest->connectionsAlive(), 1);
    EXPECT_EQ(ingest->connectionsClosed(), 1);

    // On the new connection: metadata with its own stream id, then the waiting frames, the first of
    // each kind turned into a sequence header again, without any new sendFrame.
    // The frame that met the dead link (V80) is lost; A85 and V120 become the headers, and V120 is
    // sent as a picture after its header.
    auto second = sent(2);
    std::vector<std::uint32_t> timestamps;
    for (auto& m : second) timestamps.push_back(m.timestamp);
    EXPECT_EQ(timestamps, (std::vector<std::uint32_t>{0, 0, 0, 0, 120, 125, 160, 165, 200, 205}));
    ASSERT_EQ(second.size(), 10u);
    EXPECT_EQ(second[0].packetType, 0x12);
    EXPECT_EQ(second[0].streamId, ingest->streamIdOf(2));
    EXPECT_EQ(second[1].packetType, 0x01); // the new connection hears the chunk size again
    EXPECT_EQ(ingest->chunkSizes(), (std::vector<std::uint32_t>{4096, 4096}));
    EXPECT_EQ(second[2].body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(second[3].packetType, 0x09);
    EXPECT_EQ(second[3].body[1], 0x00);
    EXPECT_EQ(second[4].packetType, 0x09);
    EXPECT_EQ(second[4].body[1], 0x01);
    for (std::size_t i = 2; i < second.size(); ++i) EXPECT_EQ(second[i].streamId, ingest->streamIdOf(2));
}

TEST_F(PublisherTest, SendStepsDoNotSpinWhileTheLinkIsDownAndResumeOnConnect) {
    ingest->scriptConnects({false});
    auto socket = make();
    socket->start();
    settle(socket);
    for (int i = 0; i < 40; ++i) socket->sendFrame(audioFrame(static_cast<std::uint64_t>(i) * 23));
    auto before = time.runtime().tasksRun();
    settle(socket);
    // At most one step per sendFrame (and the buffer's tick), none queued by the steps themselves.
    EXPECT_LE(time.runtime().tasksRun() - before, 41u);
    auto steps = time.runtime().tasksRun();
    run(socket, 2.5);
    // While the link is down only the timed work runs: the buffer's ticks and the reconnect timer.
    EXPECT_LE(time.runtime().tasksRun() - steps, 4u);
    EXPECT_TRUE(media().empty());

    run(socket, 0.5); // reconnect succeeds; the 35 frames released from the sort window go out
    EXPECT_EQ(delegate->trail(),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveReconnecting, ZQLiveStart}));
    auto sent = media();
    ASSERT_EQ(sent.size(), 35u);
    EXPECT_EQ(sent[0].body, (Bytes{0xAF, 0x00, 0x12, 0x10}));
    EXPECT_EQ(sent.back().timestamp, 34u * 23);
}

TEST_F(PublisherTest, StopEndsAConnectInProgressFromTheCallersThread) {
    auto socket = make();
    // stop() arrives while the send queue is inside the connect: it ends the connect itself; the
    // stop step queued behind it then runs.
    ingest->duringNextConnect([&] { socket->stop(); });
    socket->start();
    settle(socket);
    run(socket, 10);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStop}));
    // The interrupted connect is no failure: no reconnect follows it.
    EXPECT_EQ(ingest->connectAttempts(), 1);
    EXPECT_EQ(ingest->connectionsAlive(), 0);
}

TEST_F(PublisherTest, AConnectThatSucceedsAfterTheStopIsDiscarded) {
    auto socket = make();
    // The link comes up just after stop() was called.
    ingest->duringNextConnect([&] { socket->stop(); }, /*ignoreInterrupt=*/true);
    socket->start();
    settle(socket);
    run(socket, 10);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStop}));
    EXPECT_TRUE(ingest->sent().empty()); // not even the metadata
    EXPECT_EQ(ingest->connectionsAlive(), 0);

    // The next run is a fresh one.
    socket->start();
    settle(socket);
    auto trail = delegate->trail();
    EXPECT_EQ(std::vector<std::uint64_t>(trail.end() - 2, trail.end()),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart}));
}

TEST_F(PublisherTest, AStalledLinkTakesTheReconnectPath) {
    auto socket = make();
    socket->start();
    settle(socket);
    ingest->stallLink();
    feed(socket, {audioFrame(10), audioFrame(30), audioFrame(50)});
    run(socket, 3);
    EXPECT_EQ(delegate->trail(),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveReconnecting, ZQLiveStart}));
    EXPECT_EQ(ingest->connectionsMade(), 2);
}

TEST_F(PublisherTest, TheLastRecordOfARunCarriesItsTotals) {
    auto socket = make();
    socket->start();
    settle(socket);
    // The first frame closes the fresh record's window; the rest fall in the window in progress.
    feed(socket, {videoFrame(0, true, 100), audioFrame(10, 20), videoFrame(40, false, 300)});
    // The link goes: the first of three more frames meets it, the other two wait in the send list
    // (the fillers still sit in the sort window).
    ingest->dropLink();
    for (std::uint64_t t = 0; t < 3; ++t) socket->sendFrame(audioFrame(2000 + t));
    settle(socket);
    socket->buffer()->setLastDropFrames(4); // dropped, and no frame sent since to collect them
    ASSERT_EQ(delegate->debugRecords().size(), 1u);

    socket->stop();
    settle(socket);
    auto records = delegate->debugRecords();
    ASSERT_EQ(records.size(), 2u);
    auto last = records.back();
    EXPECT_EQ(last->totalFrame(), 4);
    EXPECT_EQ(last->dataFlow(), 100 + 20 + 300 + 6);
    EXPECT_EQ(last->dropFrame(), 4);
    EXPECT_EQ(last->unSendCount(), 7);
    EXPECT_EQ(last->currentCapturedAudioCount(), 2);
    EXPECT_EQ(last->currentCapturedVideoCount(), 1);
    // It reaches the delegate before the Stop does.
    EXPECT_EQ(delegate->trail().back(), ZQLiveStop);

    // A stop with no run reports no record.
    auto idle = make();
    idle->stop();
    settle(idle);
    EXPECT_EQ(delegate->debugRecords().size(), 2u);
}

TEST_F(PublisherTest, StartAfterErrorMakesExactlyOneAttempt) {
    ingest->setConnectByDefault(false);
    auto socket = make();
    socket->start();
    settle(socket);
    run(socket, 20);
    ASSERT_EQ(delegate->trail().back(), kError205);
    auto before = delegate->trail().size();

    socket->start();
    settle(socket);
    // One attempt; its failure finds the budget used up and reports at once.
    auto trail = delegate->trail();
    EXPECT_EQ(std::vector<std::uint64_t>(trail.begin() + static_cast<long>(before), trail.end()),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveError, kError205}));
    EXPECT_EQ(ingest->connectAttempts(), 7);

    // That attempt left the publisher "connecting": further starts are ignored until stop.
    socket->start();
    settle(socket);
    run(socket, 20);
    EXPECT_EQ(delegate->trail().size(), before + 3);
    EXPECT_EQ(ingest->connectAttempts(), 7);

    // Stop resets the budget; the next start connects again.
    ingest->setConnectByDefault(true);
    socket->stop();
    socket->start();
    settle(socket);
    trail = delegate->trail();
    EXPECT_EQ(std::vector<std::uint64_t>(trail.end() - 3, trail.end()),
              (std::vector<std::uint64_t>{ZQLiveStop, ZQLivePending, ZQLiveStart}));
}

TEST_F(PublisherTest, StartAfterErrorCanSucceed) {
    ingest->scriptConnects({false, false, false});
    auto socket = make(1, 2);
    socket->start();
    settle(socket);
    run(socket, 5);
    ASSERT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveReconnecting, ZQLiveReconnecting,
                                                             ZQLiveError, kError205}));
    socket->start();
    settle(socket);
    auto trail = delegate->trail();
    EXPECT_EQ(std::vector<std::uint64_t>(trail.end() - 2, trail.end()),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart}));
}

TEST_F(PublisherTest, TheBudgetCountsEveryRequestAndASuccessDoesNotRefillIt) {
    ingest->scriptConnects({true, true});
    ingest->setConnectByDefault(false);
    auto socket = make(3, 3);
    socket->start();
    settle(socket);
    socket->reconnect();
    socket->reconnect(); // arrives while the attempt is timed: counted, nothing else
    settle(socket);
    run(socket, 3);
    EXPECT_EQ(delegate->trail(),
              (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart, ZQLiveReconnecting, ZQLiveStart}));

    // The third request still gets its attempt; its failure is the fourth request: budget used up.
    ingest->dropLink();
    feed(socket, {audioFrame(10), audioFrame(20)});
    run(socket, 10);
    auto trail = delegate->trail();
    EXPECT_EQ(std::vector<std::uint64_t>(trail.begin() + 4, trail.end()),
              (std::vector<std::uint64_t>{ZQLiveReconnecting, ZQLiveError, kError205}));
    EXPECT_EQ(ingest->connectAttempts(), 3);
}

TEST_F(PublisherTest, StatisticsWindowsOfOneSecond) {
    auto socket = make();
    socket->start();
    settle(socket);
    ASSERT_TRUE(delegate->debugRecords().empty());

    // The first frame of a run closes the fresh record's window at once: a window of zeros.
    const double windowStart = time.now() * 1000;
    feed(socket, {videoFrame(0, true, 100), audioFrame(10, 20), videoFrame(40, false, 300), audioFrame(50, 40)});
    auto records = delegate->debugRecords();
    ASSERT_EQ(records.size(), 1u);
    auto first = records[0];
    EXPECT_EQ(first->currentBandwidth(), 0);
    EXPECT_EQ(first->currentCapturedAudioCount(), 0);
    EXPECT_EQ(first->currentCapturedVideoCount(), 0);
    EXPECT_EQ(first->totalFrame(), 1);
    EXPECT_EQ(first->dataFlow(), 100);
    EXPECT_EQ(first->streamId(), std::optional<std::string>("stream-7"));
    EXPECT_EQ(first->uploadUrl(), stream->url());
    EXPECT_TRUE(first->isRtmp());
    EXPECT_EQ(first->timeStamp(), 0); // reported before its window starts

    // Within the second: counted into the window.
    socket->buffer()->setLastDropFrames(7);
    run(socket, 1);
    feed(socket, {});
    records = delegate->debugRecords();
    ASSERT_EQ(records.size(), 2u);
    auto second = records[1];
    // The frame that closed it (the first filler) counts in neither window.
    EXPECT_EQ(second->currentBandwidth(), 20 + 300 + 40);
    EXPECT_EQ(second->currentCapturedAudioCount(), 2);
    EXPECT_EQ(second->currentCapturedVideoCount(), 1);
    EXPECT_EQ(second->totalFrame(), 4 + 1);
    EXPECT_EQ(second->dropFrame(), 7);
    EXPECT_EQ(socket->buffer()->lastDropFrames(), 0);
    EXPECT_DOUBLE_EQ(second->timeStamp(), windowStart);
    EXPECT_DOUBLE_EQ(second->elapsedMilli(), 1000);
    // Snapshots: the first record did not move on with the counting.
    EXPECT_EQ(first->totalFrame(), 1);

    // Stop drops the record; the next run starts from a fresh one.
    socket->stop();
    socket->start();
    settle(socket);
    feed(socket, {audioFrame(2000, 8)});
    records = delegate->debugRecords();
    EXPECT_EQ(records.back()->totalFrame(), 1);
    EXPECT_EQ(records.back()->currentBandwidth(), 0);
}

TEST_F(PublisherTest, BufferTrendsReachTheDelegate) {
    auto socket = make();
    socket->start();
    settle(socket);
    feed(socket, {audioFrame(0)}); // the first append starts the buffer's one-second samples
    run(socket, 6);
    bool declined = false;
    for (auto& e : delegate->events())
        if (e.kind == "buffer" && e.value == ZVBufferStateDecline) declined = true;
    EXPECT_TRUE(declined);
}

TEST_F(PublisherTest, ReleasingThePublisherClosesItsConnectionAndCancelsItsAttempt) {
    ingest->scriptConnects({true});
    ingest->setConnectByDefault(false);
    {
        auto socket = make();
        socket->start();
        settle(socket);
        ingest->dropLink();
        feed(socket, {audioFrame(0), audioFrame(10)});
    }
    EXPECT_EQ(ingest->connectionsAlive(), 0);
    time.advance(10);
    EXPECT_EQ(ingest->connectAttempts(), 1);
    EXPECT_EQ(delegate->trail(), (std::vector<std::uint64_t>{ZQLivePending, ZQLiveStart}));
}

} // namespace
