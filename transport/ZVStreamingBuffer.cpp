#include "transport/ZVStreamingBuffer.h"

#include <algorithm>
#include "ZQLiveKit/ZQVideoFrame.h"
#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"
#include "transport/ZWAdd.h"

namespace {

// Removes the frames at `indices` (ascending) from `list`, keeping the order of the rest.
void removeAt(ZVStreamingBuffer::FrameList& list, const std::vector<std::size_t>& indices) {
    std::size_t write = indices.front();
    std::size_t next = 0;
    for (std::size_t read = indices.front(); read < list.size(); ++read) {
        if (next < indices.size() && indices[next] == read) {
            ++next;
            continue;
        }
        list[write++] = std::move(list[read]);
    }
    list.resize(write);
}

// Increase when every sample rose above the one before (the first compared with 0), Decline when
// none did; a window needs `needed` like samples.
ZVBufferState evaluate(const std::vector<std::int64_t>& samples, std::int64_t needed) {
    std::int64_t increases = 0, decreases = 0, previous = 0;
    for (std::int64_t sample : samples) {
        if (sample > previous) {
            ++increases;
        } else {
            ++decreases;
        }
        previous = sample;
    }
    if (increases >= needed) return ZVBufferStateIncrease;
    if (decreases >= needed) return ZVBufferStateDecline;
    return ZVBufferStateUnknown;
}

} // namespace

long frameDataCompare(const std::shared_ptr<ZQFrame>& a, const std::shared_ptr<ZQFrame>& b, void*) {
    if (a->timestamp() == b->timestamp()) return 0;
    return b->timestamp() < a->timestamp() ? 1 : -1;
}

std::shared_ptr<ZVStreamingBuffer> ZVStreamingBuffer::create() {
    return std::shared_ptr<ZVStreamingBuffer>(new ZVStreamingBuffer());
}

ZVStreamingBuffer::~ZVStreamingBuffer() {
    // The pending tick holds only a weak reference and would end the chain anyway; cancelling it
    // just spares the main queue a wasted call.
    mNextTick.cancel();
}

void ZVStreamingBuffer::appendObject(std::shared_ptr<ZQFrame> frame) {
    if (!frame) return;
    if (!mStartTimer.exchange(true)) tick();

    std::lock_guard lock(mMutex);
    std::size_t held = mSortList.size();
    mSortList.push_back(std::move(frame));
    if (held < kSortWindow) return;
    // Stable, so frames with equal timestamps leave in the order they came.
    std::stable_sort(mSortList.begin(), mSortList.end(),
                     [](const auto& a, const auto& b) { return frameDataCompare(a, b) < 0; });
    expire();
    if (auto earliest = zvPopFirstObject(mSortList)) mList.push_back(std::move(earliest));
}

void ZVStreamingBuffer::expire() {
    if (mList.size() < mMaxCount) return;

    // P-frames first: every non-key video frame from the head up to the key frame that follows the
    // first of them. Audio is passed over.
    std::vector<std::size_t> drop;
    for (std::size_t i = 0; i < mList.size(); ++i) {
        const ZQVideoFrame* video = mList[i]->asVideoFrame();
        if (!video) continue;
        if (!video->isKeyFrame()) {
            drop.push_back(i);
        } else if (!drop.empty()) {
            break;
        }
    }
    if (!drop.empty()) {
        mLastDropFrames += static_cast<std::int64_t>(drop.size());
        removeAt(mList, drop);
        return;
    }

    // Only key frames left to give: the first one and those right after it that share its timestamp
    // (0 counts as no timestamp yet, so a first key frame at 0 also takes the next one).
    std::uint64_t remembered = 0;
    for (std::size_t i = 0; i < mList.size(); ++i) {
        const ZQVideoFrame* video = mList[i]->asVideoFrame();
        if (!video || !video->isKeyFrame()) continue;
        if (remembered != 0 && video->timestamp() != remembered) break;
        drop.push_back(i);
        remembered = video->timestamp();
    }
    if (!drop.empty()) {
        mLastDropFrames += static_cast<std::int64_t>(drop.size());
        removeAt(mList, drop);
        return;
    }

    // No video at all: the backlog is audio only and is given up whole. Counted like any other
    // drop, or seconds of lost sound would not show in the statistics.
    mLastDropFrames += static_cast<std::int64_t>(mList.size());
    mList.clear();
}

void ZVStreamingBuffer::tick() {
    std::vector<std::int64_t> window;
    std::int64_t needed = 0;
    std::int64_t period = 0;
    {
        std::lock_guard lock(mMutex);
        mCurrentInterval += mUpdateInterval;
        mThresholdList.push_back(static_cast<std::int64_t>(mList.size()));
        if (mCurrentInterval >= mCallBackInterval) {
            window.swap(mThresholdList);
            needed = mCallBackInterval;
            mCurrentInterval = 0;
        }
        period = mUpdateInterval;
    }

    if (!window.empty()) {
        ZVBufferState state = evaluate(window, needed);
        if (state == ZVBufferStateIncrease || state == ZVBufferStateDecline) {
            // The first tick runs on the thread of the first append; the delegate hears it on the
            // main queue all the same.
            auto main = platform::DispatchQueue::main();
            if (main->isCurrent()) {
                report(state);
            } else {
                main->async([weak = weak_from_this(), state] {
                    if (auto buffer = weak.lock()) buffer->report(state);
                });
            }
        }
    }

    std::weak_ptr<ZVStreamingBuffer> weak = weak_from_this();
    auto next = platform::DispatchQueue::main()->after(static_cast<double>(period), [weak] {
        if (auto buffer = weak.lock()) buffer->tick();
    });
    std::lock_guard lock(mMutex);
    mNextTick = std::move(next);
}

void ZVStreamingBuffer::report(ZVBufferState state) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto delegate = this->delegate().lock();
    if (delegate && delegate->respondsToStreamingBufferBufferState()) delegate->streamingBufferBufferState(shared_from_this(), state);
}

std::shared_ptr<ZQFrame> ZVStreamingBuffer::popFirstObject() {
    std::lock_guard lock(mMutex);
    return zvPopFirstObject(mList);
}

void ZVStreamingBuffer::removeAllObject() {
    std::lock_guard lock(mMutex);
    mList.clear();
}

ZVStreamingBuffer::FrameList ZVStreamingBuffer::list() const {
    std::lock_guard lock(mMutex);
    return mList;
}

std::size_t ZVStreamingBuffer::listCount() const {
    std::lock_guard lock(mMutex);
    return mList.size();
}

ZVStreamingBuffer::FrameList ZVStreamingBuffer::sortList() const {
    std::lock_guard lock(mMutex);
    return mSortList;
}

std::vector<std::int64_t> ZVStreamingBuffer::thresholdList() const {
    std::lock_guard lock(mMutex);
    return mThresholdList;
}

std::uint64_t ZVStreamingBuffer::maxCount() const {
    std::lock_guard lock(mMutex);
    return mMaxCount;
}

void ZVStreamingBuffer::setMaxCount(std::uint64_t maxCount) {
    std::lock_guard lock(mMutex);
    mMaxCount = maxCount;
}

std::int64_t ZVStreamingBuffer::lastDropFrames() const {
    std::lock_guard lock(mMutex);
    return mLastDropFrames;
}

void ZVStreamingBuffer::setLastDropFrames(std::int64_t lastDropFrames) {
    std::lock_guard lock(mMutex);
    mLastDropFrames = lastDropFrames;
}

std::int64_t ZVStreamingBuffer::takeLastDropFrames() {
    std::lock_guard lock(mMutex);
    return std::exchange(mLastDropFrames, 0);
}

std::int64_t ZVStreamingBuffer::currentInterval() const {
    std::lock_guard lock(mMutex);
    return mCurrentInterval;
}

std::int64_t ZVStreamingBuffer::callBackInterval() const {
    std::lock_guard lock(mMutex);
    return mCallBackInterval;
}

void ZVStreamingBuffer::setCallBackInterval(std::int64_t seconds) {
    if (seconds < 1) return;
    std::lock_guard lock(mMutex);
    mCallBackInterval = seconds;
}

std::int64_t ZVStreamingBuffer::updateInterval() const {
    std::lock_guard lock(mMutex);
    return mUpdateInterval;
}

void ZVStreamingBuffer::setUpdateInterval(std::int64_t seconds) {
    if (seconds < 1) return;
    std::lock_guard lock(mMutex);
    mUpdateInterval = seconds;
}

std::weak_ptr<ZVStreamingBufferDelegate> ZVStreamingBuffer::delegate() const {
    std::lock_guard lock(mMutex);
    return mDelegate;
}

void ZVStreamingBuffer::setDelegate(std::weak_ptr<ZVStreamingBufferDelegate> delegate) {
    std::lock_guard lock(mMutex);
    mDelegate = std::move(delegate);
}
