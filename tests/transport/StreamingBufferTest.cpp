// The send buffer: sort window, dropping under a full send list, the backlog trend reported on the
// main queue, and appends, pops and drop collection from several threads.
#include <gtest/gtest.h>
#include <algorithm>
#include <atomic>
#include <map>
#include <random>
#include <thread>
#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQVideoFrame.h"
#include "ZQPlatform/DispatchQueue.h"
#include "tests/support/VirtualTime.h"
#include "transport/ZVStreamingBuffer.h"
#include "transport/ZWAdd.h"

namespace {

using FrameList = ZVStreamingBuffer::FrameList;

std::shared_ptr<ZQFrame> video(std::uint64_t timestamp, bool key = false) {
    auto frame = std::make_shared<ZQVideoFrame>();
    frame->setTimestamp(timestamp);
    frame->setIsKeyFrame(key);
    return frame;
}

std::shared_ptr<ZQFrame> audio(std::uint64_t timestamp) {
    auto frame = std::make_shared<ZQAudioFrame>();
    frame->setTimestamp(timestamp);
    return frame;
}

std::vector<std::uint64_t> timestamps(const FrameList& frames) {
    std::vector<std::uint64_t> out;
    for (auto& frame : frames) out.push_back(frame->timestamp());
    return out;
}

class StreamingBuffer : public ::testing::Test {
protected:
    // Puts exactly `frames` into the send list (in their order, which must be ascending) and fills
    // the sort window behind them with audio frames stamped later than all of them.
    void fillList(const FrameList& frames) {
        for (auto& frame : frames) buffer->appendObject(frame);
        for (int i = 0; i < 5; ++i) buffer->appendObject(audio(kLate + i));
        ASSERT_EQ(buffer->list(), frames);
    }
    // The append that runs Expire on the list built by fillList().
    void releaseOne() { buffer->appendObject(audio(kLate + 100)); }

    static constexpr std::uint64_t kLate = 1'000'000;
    zqtest::VirtualTime time;
    std::shared_ptr<ZVStreamingBuffer> buffer = ZVStreamingBuffer::create();
};

TEST_F(StreamingBuffer, StartsEmptyWithItsDefaults) {
    EXPECT_EQ(buffer->popFirstObject(), nullptr);
    EXPECT_EQ(buffer->maxCount(), 600u);
    EXPECT_EQ(buffer->callBackInterval(), 5);
    EXPECT_EQ(buffer->updateInterval(), 1);
    EXPECT_EQ(buffer->lastDropFrames(), 0);
    EXPECT_FALSE(buffer->startTimer());
    buffer->appendObject(nullptr);
    EXPECT_FALSE(buffer->startTimer()) << "a nil frame is ignored entirely";
    EXPECT_TRUE(buffer->sortList().empty());
    buffer->setUpdateInterval(0);
    buffer->setCallBackInterval(-1);
    EXPECT_EQ(buffer->updateInterval(), 1);
    EXPECT_EQ(buffer->callBackInterval(), 5);
}

TEST(ZWAdd, HeadOperationsAreSafeOnAnEmptyList) {
    FrameList list;
    zvRemoveFirstObject(list);
    EXPECT_EQ(zvPopFirstObject(list), nullptr);
    list = {audio(1), audio(2), audio(3)};
    zvRemoveFirstObject(list);
    EXPECT_EQ(zvPopFirstObject(list)->timestamp(), 2u);
    EXPECT_EQ(timestamps(list), (std::vector<std::uint64_t>{3}));
}

TEST(FrameDataCompare, OrdersByTimestampAscending) {
    EXPECT_EQ(frameDataCompare(audio(5), video(5)), 0);
    EXPECT_EQ(frameDataCompare(audio(6), video(5)), 1);
    EXPECT_EQ(frameDataCompare(audio(4), video(5)), -1);
    // Unsigned: a timestamp past 2^63 is still the larger one.
    EXPECT_EQ(frameDataCompare(audio(1ull << 63), audio(1)), 1);
}

TEST_F(StreamingBuffer, FirstFiveFillTheWindowAndTheSixthReleasesTheEarliest) {
    for (std::uint64_t ts : {50, 40, 30, 20, 10}) buffer->appendObject(video(ts));
    EXPECT_EQ(buffer->listCount(), 0u);
    EXPECT_EQ(buffer->sortList().size(), 5u);
    buffer->appendObject(audio(25));
    EXPECT_EQ(timestamps(buffer->list()), (std::vector<std::uint64_t>{10}));
    buffer->appendObject(audio(1)); // the newest can be the earliest
    EXPECT_EQ(timestamps(buffer->list()), (std::vector<std::uint64_t>{10, 1}));
    EXPECT_EQ(timestamps(buffer->sortList()), (std::vector<std::uint64_t>{20, 25, 30, 40, 50}));
}

TEST_F(StreamingBuffer, FramesOutOfOrderWithinTheWindowComeOutSorted) {
    // Audio and video interleaved with jitter: no frame is more than four places from its rank.
    std::vector<std::uint64_t> order(200);
    for (std::uint64_t i = 0; i < order.size(); ++i) order[i] = i * 10;
    std::mt19937 random(7);
    for (std::size_t start = 0; start + 5 <= order.size(); start += 5) {
        std::shuffle(order.begin() + start, order.begin() + start + 5, random);
    }
    for (std::size_t i = 0; i < order.size(); ++i) buffer->appendObject(i % 3 ? video(order[i]) : audio(order[i]));
    for (int i = 0; i < 5; ++i) buffer->appendObject(audio(kLate + i));

    std::vector<std::uint64_t> popped;
    while (auto frame = buffer->popFirstObject()) popped.push_back(frame->timestamp());
    ASSERT_EQ(popped.size(), 200u);
    EXPECT_TRUE(std::is_sorted(popped.begin(), popped.end()));
    EXPECT_EQ(buffer->popFirstObject(), nullptr);
}

TEST_F(StreamingBuffer, FullListDropsTheFirstRunOfPFramesOnly) {
    FrameList frames{video(10, true), video(20), video(30), video(40), video(50, true)};
    for (std::uint64_t ts = 60; frames.size() < 600; ts += 10) {
        frames.push_back(frames.size() % 30 == 4 ? video(ts, true) : (frames.size() % 3 ? video(ts) : audio(ts)));
    }
    fillList(frames);
    releaseOne();
    EXPECT_EQ(buffer->lastDropFrames(), 3);
    FrameList expected = frames;
    expected.erase(expected.begin() + 1, expected.begin() + 4);
    expected.push_back(audio(kLate)); // placeholder for the released frame
    auto list = buffer->list();
    ASSERT_EQ(list.size(), 598u);
    EXPECT_TRUE(std::equal(list.begin(), list.end() - 1, expected.begin()));
    EXPECT_EQ(list.back()->timestamp(), kLate);
}

TEST_F(StreamingBuffer, PFramesAreCollectedAcrossAudioUpToTheNextKeyFrame) {
    FrameList frames{audio(5), video(10), audio(15), video(20), video(30, true), video(40)};
    for (std::uint64_t ts = 50; frames.size() < 600; ts += 10) frames.push_back(audio(ts));
    fillList(frames);
    releaseOne();
    EXPECT_EQ(buffer->lastDropFrames(), 2);
    EXPECT_EQ(timestamps(buffer->list()).at(0), 5u);
    EXPECT_EQ(timestamps(buffer->list()).at(1), 15u);
    EXPECT_EQ(timestamps(buffer->list()).at(2), 30u);
    EXPECT_EQ(timestamps(buffer->list()).at(3), 40u) << "the P-frame after the key frame stays";
}

TEST_F(StreamingBuffer, WithOnlyKeyFramesTheFirstKeyFrameGoes) {
    FrameList frames;
    for (std::uint64_t ts = 10; frames.size() < 600; ts += 10) {
        frames.push_back(frames.size() % 4 ? audio(ts) : video(ts, true));
    }
    fillList(frames);
    releaseOne();
    EXPECT_EQ(buffer->lastDropFrames(), 1);
    auto list = buffer->list();
    EXPECT_EQ(list.size(), 600u);
    EXPECT_EQ(list.front()->timestamp(), 20u) << "the key frame at 10 is gone, the audio after it stays";
    EXPECT_EQ(std::count_if(list.begin(), list.end(), [](auto& f) { return f->timestamp() == 10; }), 0);

    // Later releases keep taking one key frame each.
    buffer->appendObject(audio(kLate + 101));
    EXPECT_EQ(buffer->lastDropFrames(), 2);
}

TEST_F(StreamingBuffer, KeyFramesSharingATimestampGoTogether) {
    FrameList frames{video(10, true), video(10, true), audio(10), video(10, true), video(20, true)};
    for (std::uint64_t ts = 30; frames.size() < 600; ts += 10) frames.push_back(audio(ts));
    fillList(frames);
    releaseOne();
    EXPECT_EQ(buffer->lastDropFrames(), 3);
    EXPECT_EQ(timestamps(buffer->list()).at(0), 10u); // the audio frame
    EXPECT_EQ(timestamps(buffer->list()).at(1), 20u);
}

TEST_F(StreamingBuffer, AKeyFrameAtTimestampZeroAlsoTakesTheNextOne) {
    FrameList frames{video(0, true), video(0, true), video(40, true), video(80, true)};
    for (std::uint64_t ts = 100; frames.size() < 600; ts += 10) frames.push_back(audio(ts));
    fillList(frames);
    releaseOne();
    // 0 counts as "no timestamp yet": both zeros and the key frame at 40 go; the one at 80 stays.
    EXPECT_EQ(buffer->lastDropFrames(), 3);
    EXPECT_EQ(timestamps(buffer->list()).at(0), 80u);

    // A single zero-stamped key frame still takes the next one along (a small capacity will do).
    buffer = ZVStreamingBuffer::create();
    buffer->setMaxCount(3);
    fillList({video(0, true), video(40, true), video(80, true)});
    releaseOne();
    EXPECT_EQ(buffer->lastDropFrames(), 2);
    EXPECT_EQ(timestamps(buffer->list()).at(0), 80u);
}

TEST_F(StreamingBuffer, AnAudioOnlyBacklogIsEmptiedAndEveryFrameOfItCounted) {
    FrameList frames;
    for (std::uint64_t ts = 10; frames.size() < 600; ts += 10) frames.push_back(audio(ts));
    fillList(frames);
    buffer->setLastDropFrames(4);
    releaseOne();
    EXPECT_EQ(buffer->lastDropFrames(), 4 + 600);
    EXPECT_EQ(timestamps(buffer->list()), (std::vector<std::uint64_t>{kLate}));
}

TEST_F(StreamingBuffer, TheSendListNeverExceedsItsCapacity) {
    buffer->setMaxCount(50);
    std::size_t largest = 0;
    for (std::uint64_t i = 0; i < 2000; ++i) {
        buffer->appendObject(i % 2 ? audio(i) : video(i, i % 20 == 0));
        largest = std::max(largest, buffer->listCount());
    }
    EXPECT_EQ(largest, 50u);
    EXPECT_GT(buffer->lastDropFrames(), 0);
}

TEST_F(StreamingBuffer, RemoveAllEmptiesOnlyTheSendList) {
    for (std::uint64_t ts = 0; ts < 8; ++ts) buffer->appendObject(audio(ts));
    buffer->removeAllObject();
    EXPECT_EQ(buffer->listCount(), 0u);
    EXPECT_EQ(buffer->sortList().size(), 5u);
    EXPECT_EQ(buffer->popFirstObject(), nullptr);
}

TEST_F(StreamingBuffer, TakingTheDropCountResetsIt) {
    buffer->setLastDropFrames(7);
    EXPECT_EQ(buffer->takeLastDropFrames(), 7);
    EXPECT_EQ(buffer->lastDropFrames(), 0);
    EXPECT_EQ(buffer->takeLastDropFrames(), 0);
}

// A delegate that records the states it hears, and on which thread.
class Recorder : public ZVStreamingBufferDelegate {
public:
    explicit Recorder(bool implemented) : mImplemented(implemented) {}
    void streamingBufferBufferState(const std::shared_ptr<ZVStreamingBuffer>& from, ZVBufferState state) override {
        states.push_back(state);
        buffers.push_back(from.get());
        onMain = onMain && platform::DispatchQueue::main()->isCurrent();
    }
    bool respondsToStreamingBufferBufferState() const override { return mImplemented; }

    std::vector<ZVBufferState> states;
    std::vector<ZVStreamingBuffer*> buffers;
    bool onMain = true;

private:
    bool mImplemented;
};

TEST_F(StreamingBuffer, AnEmptyBacklogReportsDeclineOnMainEveryFiveSeconds) {
    auto recorder = std::make_shared<Recorder>(true);
    buffer->setDelegate(recorder);
    buffer->appendObject(audio(1)); // first tick, inline, at t = 0
    EXPECT_TRUE(buffer->startTimer());
    EXPECT_EQ(buffer->currentInterval(), 1);
    time.advance(3.9);
    EXPECT_TRUE(recorder->states.empty());
    time.advance(0.1); // fifth sample at t = 4
    EXPECT_EQ(recorder->states, (std::vector<ZVBufferState>{ZVBufferStateDecline}));
    EXPECT_EQ(recorder->buffers.at(0), buffer.get());
    EXPECT_EQ(buffer->currentInterval(), 0);
    EXPECT_TRUE(buffer->thresholdList().empty());
    time.advance(10);
    EXPECT_EQ(recorder->states.size(), 3u);
    EXPECT_TRUE(recorder->onMain);

    // Freeing the buffer ends the chain: nothing more, and nothing touches the freed buffer.
    buffer.reset();
    time.advance(30);
    EXPECT_EQ(recorder->states.size(), 3u);
}

TEST_F(StreamingBuffer, ASteadilyGrowingBacklogReportsIncrease) {
    auto recorder = std::make_shared<Recorder>(true);
    buffer->setDelegate(recorder);
    std::uint64_t ts = 0;
    for (int i = 0; i < 5; ++i) buffer->appendObject(video(++ts)); // window full, list empty
    time.advance(4);
    ASSERT_EQ(recorder->states, (std::vector<ZVBufferState>{ZVBufferStateDecline}));

    // Second window: samples at t = 5 … 9.
    auto sampleWith = [&](std::size_t count) {
        while (buffer->listCount() < count) buffer->appendObject(video(++ts));
        time.advance(1);
    };
    for (std::size_t count : {3, 5, 9, 10, 12}) sampleWith(count);
    EXPECT_EQ(recorder->states, (std::vector<ZVBufferState>{ZVBufferStateDecline, ZVBufferStateIncrease}));

    // Third window: one repeated sample breaks the rise; nothing is reported, the window still resets.
    buffer->removeAllObject();
    for (std::size_t count : {3, 5, 5, 10, 12}) sampleWith(count);
    EXPECT_EQ(recorder->states.size(), 2u);
    EXPECT_TRUE(buffer->thresholdList().empty());
    EXPECT_EQ(buffer->currentInterval(), 0);
}

TEST_F(StreamingBuffer, AStateFromTheFirstTickReachesTheDelegateOnMainNotOnTheAppendingThread) {
    // A one-second window: the very first tick, run by the first append, already evaluates.
    buffer->setCallBackInterval(1);
    auto recorder = std::make_shared<Recorder>(true);
    buffer->setDelegate(recorder);
    std::thread encoder([&] { buffer->appendObject(audio(1)); });
    encoder.join();
    EXPECT_TRUE(recorder->states.empty()); // not on the encoder's thread
    time.runMain();
    EXPECT_EQ(recorder->states, (std::vector<ZVBufferState>{ZVBufferStateDecline}));
    EXPECT_TRUE(recorder->onMain);
}

TEST_F(StreamingBuffer, ADelegateWithoutTheOperationOrAFreedOneHearsNothing) {
    auto silent = std::make_shared<Recorder>(false);
    buffer->setDelegate(silent);
    buffer->appendObject(audio(1));
    time.advance(9); // evaluations at t = 4 and 9
    EXPECT_TRUE(silent->states.empty());

    auto gone = std::make_shared<Recorder>(true);
    buffer->setDelegate(gone);
    gone.reset();
    time.advance(4);
    EXPECT_EQ(buffer->thresholdList().size(), 4u);
    time.advance(1);
    EXPECT_TRUE(buffer->thresholdList().empty()) << "the ticks go on without a delegate";
}

TEST_F(StreamingBuffer, ConcurrentAppendsPopsAndDropCollectionLoseNothing) {
    buffer->setMaxCount(40);
    constexpr std::uint64_t kPerProducer = 4000;
    std::atomic<int> producing{2};
    std::atomic<std::int64_t> dropped{0};
    std::map<std::uint8_t, std::vector<std::uint64_t>> popped;

    auto produce = [&](std::uint8_t id) {
        for (std::uint64_t i = 0; i < kPerProducer; ++i) {
            auto frame = std::make_shared<ZQVideoFrame>();
            frame->setTimestamp(i * 2 + id);
            frame->setIsKeyFrame(i % 10 == 0);
            frame->setData(ZQBytes{id});
            buffer->appendObject(frame);
        }
        --producing;
    };
    std::thread first(produce, 0), second(produce, 1);
    std::thread collector([&] {
        while (producing > 0) {
            dropped += buffer->takeLastDropFrames();
            std::this_thread::yield();
        }
    });
    // This thread is the publisher's send queue.
    while (producing > 0) {
        if (auto frame = buffer->popFirstObject()) popped[frame->data()[0]].push_back(frame->timestamp());
    }
    first.join();
    second.join();
    collector.join();
    while (auto frame = buffer->popFirstObject()) popped[frame->data()[0]].push_back(frame->timestamp());
    dropped += buffer->takeLastDropFrames();

    std::size_t delivered = popped[0].size() + popped[1].size();
    EXPECT_EQ(delivered + static_cast<std::size_t>(dropped.load()) + buffer->sortList().size(), 2 * kPerProducer);
    EXPECT_EQ(buffer->sortList().size(), 5u);
    // Each producer's frames come out in the order it made them.
    EXPECT_TRUE(std::is_sorted(popped[0].begin(), popped[0].end()));
    EXPECT_TRUE(std::is_sorted(popped[1].begin(), popped[1].end()));
}

} // namespace
