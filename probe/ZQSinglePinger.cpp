#include "probe/ZQSinglePinger.h"

#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"

std::shared_ptr<ZQSinglePinger> ZQSinglePinger::startWithHostName(std::string hostName, long count,
                                                                  PingCallBack pingCallBack, std::string desc) {
    return create(std::move(hostName), count, std::move(pingCallBack), std::move(desc));
}

std::shared_ptr<ZQSinglePinger> ZQSinglePinger::create(std::string hostName, long count, PingCallBack pingCallBack,
                                                       std::string desc) {
    std::shared_ptr<ZQSinglePinger> run(
        new ZQSinglePinger(std::move(hostName), count, std::move(pingCallBack), std::move(desc)));
    run->mPinger->setAddressStyle(0);
    run->mPinger->setDelegate(std::static_pointer_cast<ZQEchoPingDelegate>(run));
    auto pinger = run->mPinger;
    pinger->start();
    return run;
}

ZQSinglePinger::ZQSinglePinger(std::string hostName, long count, PingCallBack pingCallBack, std::string desc)
    : mHostName(std::move(hostName)), mDesc(std::move(desc)), mPinger(ZQEchoPing::create(mHostName, mDesc)),
      mPingCallBack(std::move(pingCallBack)), mCount(count), mNeedPingCount(count) {}

ZQSinglePinger::~ZQSinglePinger() {
    if (mPinger) mPinger->stop();
    if (mSendTimer) mSendTimer->invalidate();
    cancelTimeOut();
    mClosingDeadline.cancel();
}

void ZQSinglePinger::record(ZQPingStatus status, double delay) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mPingCallBack) mPingCallBack(ZQPingItem(mHostName, mDesc, status, delay));
}

void ZQSinglePinger::cancelTimeOut() { platform::RunLoop::main().cancelPreviousPerformRequests(this); }

void ZQSinglePinger::stop() { endRun(ZQPingStatusFinished); }

void ZQSinglePinger::fail() { endRun(ZQPingStatusFailed); }

void ZQSinglePinger::sendPing() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mCount <= 0 || mEnded) return;
    auto self = shared_from_this(); // the records may drop the last outside reference
    --mCount;
    mStartDateArray.push_back(platform::mediaTime());
    if (auto pinger = mPinger) pinger->sendPing();
    std::weak_ptr<ZQSinglePinger> weak = self;
    platform::RunLoop::main().performAfter(this, kTimeOut, [weak] {
        if (auto run = weak.lock()) run->timeOut();
    });
    if (mCount == 0 && !mEnded) {
        mClosingDeadline = platform::DispatchQueue::main()->after(kTimeOut, [weak] {
            if (auto run = weak.lock()) run->countLostProbes();
        });
    }
}

void ZQSinglePinger::timeOut() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mEnded || !mSendTimer) return;
    auto self = shared_from_this();
    ++mReceivedOrDelayCount;
    record(ZQPingStatusTimedOut);
    if (!mEnded && mReceivedOrDelayCount >= mNeedPingCount) endRun(ZQPingStatusFinished);
}

void ZQSinglePinger::countLostProbes() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mEnded) return;
    auto self = shared_from_this();
    while (!mEnded && mReceivedOrDelayCount < mNeedPingCount) {
        ++mReceivedOrDelayCount;
        record(ZQPingStatusTimedOut);
    }
    if (!mEnded) endRun(ZQPingStatusFinished);
}

void ZQSinglePinger::endRun(ZQPingStatus status) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mEnded) return;
    auto self = shared_from_this();
    mEnded = true;
    record(status);
    if (auto pinger = std::move(mPinger)) pinger->stop();
    mPinger = nullptr;
    if (auto timer = std::move(mSendTimer)) timer->invalidate();
    mSendTimer = nullptr;
    cancelTimeOut();
    mClosingDeadline.cancel();
    // Only the failed probe's send time goes after a send failure; otherwise none is needed any more.
    if (status == ZQPingStatusSendFailed) {
        if (!mStartDateArray.empty()) mStartDateArray.pop_back();
    } else {
        mStartDateArray.clear();
    }
}

void ZQSinglePinger::echoPingDidStartWithAddress(ZQEchoPing&, const Bytes&) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto self = shared_from_this();
    sendPing();
    if (mEnded) return; // the first probe failed to send
    std::weak_ptr<ZQSinglePinger> weak = self;
    mSendTimer = platform::Timer::scheduled(kSendInterval, true, [weak](platform::Timer&) {
        if (auto run = weak.lock()) run->sendPing();
    });
    record(ZQPingStatusStarted);
    if (!mEnded && mNeedPingCount <= 0) endRun(ZQPingStatusFinished); // nothing to probe
}

void ZQSinglePinger::echoPingDidFailWithError(ZQEchoPing&, const platform::Error&) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    cancelTimeOut();
    fail();
}

void ZQSinglePinger::echoPingDidSendPacket(ZQEchoPing&, const Bytes&, std::uint16_t) { cancelTimeOut(); }

void ZQSinglePinger::echoPingDidFailToSendPacket(ZQEchoPing&, const Bytes&, std::uint16_t, const platform::Error&) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    cancelTimeOut();
    endRun(ZQPingStatusSendFailed);
}

void ZQSinglePinger::echoPingDidReceivePingResponsePacket(ZQEchoPing&, const Bytes&, std::uint16_t) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    cancelTimeOut();
    if (mEnded) return;
    auto self = shared_from_this();
    double delay = mDateSendIndex < static_cast<long>(mStartDateArray.size())
                       ? (platform::mediaTime() - mStartDateArray[static_cast<std::size_t>(mDateSendIndex)]) * 1000.0
                       : kDelayWithoutSendTime;
    ++mDateSendIndex;
    ++mReceivedOrDelayCount;
    record(ZQPingStatusReplied, delay);
    if (!mEnded && mReceivedOrDelayCount >= mNeedPingCount) endRun(ZQPingStatusFinished);
}

void ZQSinglePinger::echoPingDidReceiveUnexpectedPacket(ZQEchoPing&, const Bytes&) { cancelTimeOut(); }
