#pragma once
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <vector>
#include "ZQLiveKit/ZQFrame.h"
#include "ZQPlatform/Task.h"
#include "transport/ZVBufferState.h"
#include "transport/ZVStreamingBufferDelegate.h"

// The ordering of the sort window: 0 for equal timestamps, +1 when b's is smaller than a's, -1
// otherwise (ascending by timestamp). The context is not used.
long frameDataCompare(const std::shared_ptr<ZQFrame>& a, const std::shared_ptr<ZQFrame>& b, void* context = nullptr);

// The send queue between the encoders and the publisher. Frames from the audio and video encoder
// threads pass a sort window of five frames that puts them in timestamp order, then wait in the send
// list for the publisher. When the send list is full, video frames are dropped (P-frames before key
// frames; a backlog of audio alone is given up whole) and counted. Once a second, on the main queue,
// the length of the send list is sampled; every five seconds the delegate hears whether it kept
// growing or stayed empty.
//
// Threading: every method may be called on any thread; the lists are guarded by one lock. The ticks
// run on the main queue (the first one on the thread of the first append) and the delegate is always
// called on the main queue.
class ZVStreamingBuffer : public std::enable_shared_from_this<ZVStreamingBuffer> {
public:
    using FrameList = std::deque<std::shared_ptr<ZQFrame>>;

    // The window is fixed; a frame leaves it only when an append finds it full.
    static constexpr std::size_t kSortWindow = 5;

    // The ticks hold the buffer weakly, so it must be owned by a shared_ptr.
    static std::shared_ptr<ZVStreamingBuffer> create();
    ~ZVStreamingBuffer();
    ZVStreamingBuffer(const ZVStreamingBuffer&) = delete;
    ZVStreamingBuffer& operator=(const ZVStreamingBuffer&) = delete;

    // Queues one frame (nullptr is ignored). The first append ever starts the one-second ticks.
    void appendObject(std::shared_ptr<ZQFrame> frame);
    // Removes and returns the head of the send list; nullptr when it is empty.
    std::shared_ptr<ZQFrame> popFirstObject();
    // Empties the send list; the sort window keeps its frames.
    void removeAllObject();

    // A snapshot of the send list, oldest first, and its length.
    FrameList list() const;
    std::size_t listCount() const;
    // A snapshot of the sort window.
    FrameList sortList() const;
    // The samples of the current evaluation window.
    std::vector<std::int64_t> thresholdList() const;

    // Capacity of the send list (600).
    std::uint64_t maxCount() const;
    void setMaxCount(std::uint64_t maxCount);
    // Frames dropped since the count was last collected.
    std::int64_t lastDropFrames() const;
    void setLastDropFrames(std::int64_t lastDropFrames);
    // Returns the dropped-frame count and resets it to 0 in one step, so that no drop made by a
    // concurrent append is lost between reading and resetting.
    std::int64_t takeLastDropFrames();

    // Seconds since the last evaluation.
    std::int64_t currentInterval() const;
    // Evaluation period in seconds, and the number of like samples a state needs (5). Values below 1
    // are ignored.
    std::int64_t callBackInterval() const;
    void setCallBackInterval(std::int64_t seconds);
    // Tick period in seconds (1). Values below 1 are ignored: a zero period would spin the main queue.
    std::int64_t updateInterval() const;
    void setUpdateInterval(std::int64_t seconds);
    // Whether the ticks have started (set by the first append, never reset).
    bool startTimer() const { return mStartTimer.load(); }

    std::weak_ptr<ZVStreamingBufferDelegate> delegate() const;
    void setDelegate(std::weak_ptr<ZVStreamingBufferDelegate> delegate);

private:
    ZVStreamingBuffer() = default;

    // Drops frames from a full send list. Called with mMutex held.
    void expire();
    // Samples the send list, evaluates a full window, and schedules the next tick on the main queue.
    // Main queue, except the first tick, which runs on the thread of the first append.
    void tick();
    // Tells the delegate the state of the window just evaluated. Main queue.
    void report(ZVBufferState state);

    mutable std::mutex mMutex; // guards everything below except mStartTimer
    FrameList mSortList;
    FrameList mList;
    std::vector<std::int64_t> mThresholdList;
    std::int64_t mCurrentInterval = 0;
    std::int64_t mCallBackInterval = 5;
    std::int64_t mUpdateInterval = 1;
    std::weak_ptr<ZVStreamingBufferDelegate> mDelegate;
    std::uint64_t mMaxCount = 600;
    std::int64_t mLastDropFrames = 0;
    platform::DelayedTask mNextTick;

    // Atomic so that two encoder threads appending their first frames start one tick chain, not two.
    std::atomic<bool> mStartTimer{false};
};
