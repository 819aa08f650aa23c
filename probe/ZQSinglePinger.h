#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "ZQLiveKit/ZQEchoPing.h"
#include "ZQLiveKit/ZQPingItem.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/Task.h"

// Drives one ZQEchoPing through a fixed number of probes, 0.4 s apart, and turns every event into a
// ZQPingItem for its callback. A run ends with exactly one record of status 1 (a send failed),
// 5 (resolution, socket or receive error) or 6 (finished or stopped), after which none follows.
//
// Lost probes: a probe is lost when nothing has answered it 1.0 s after the latest probe. Besides the
// time-out that any later packet cancels (it counts one lost probe), the run keeps a closing deadline
// 1.0 s after its last probe that nothing but the end of the run cancels: when it passes, every probe
// still unanswered is counted as lost with one status-4 record each, and the run ends with status 6.
// So a run always ends, and replies plus status-4 records always add up to the probe count.
//
// Main run loop only. The caller keeps the returned object until the run has ended; dropping it
// earlier ends the run silently.
class ZQSinglePinger : public ZQEchoPingDelegate, public std::enable_shared_from_this<ZQSinglePinger> {
public:
    using PingCallBack = std::function<void(const ZQPingItem&)>;
    static constexpr double kSendInterval = 0.4;
    static constexpr double kTimeOut = 1.0;
    static constexpr double kDelayWithoutSendTime = 1.0; // ms, for a reply with no send time left

    // Creates a run for `hostName` with `count` probes and starts resolving at once.
    static std::shared_ptr<ZQSinglePinger> startWithHostName(std::string hostName, long count,
                                                             PingCallBack pingCallBack, std::string desc);
    static std::shared_ptr<ZQSinglePinger> create(std::string hostName, long count, PingCallBack pingCallBack,
                                                  std::string desc);
    ~ZQSinglePinger() override;

    // Ends the run with status 6.
    void stop();
    // Ends the run with status 5.
    void fail();
    // Sends the next probe, if any is left.
    void sendPing();
    // Counts one lost probe (the time-out 1.0 s after the latest probe).
    void timeOut();

    const std::string& hostName() const { return mHostName; }
    const std::string& desc() const { return mDesc; }
    long count() const { return mCount; }
    long needPingCount() const { return mNeedPingCount; }
    long receivedOrDelayCount() const { return mReceivedOrDelayCount; }
    long dateSendIndex() const { return mDateSendIndex; }
    const std::vector<double>& startDateArray() const { return mStartDateArray; }
    const std::shared_ptr<ZQEchoPing>& pinger() const { return mPinger; }
    bool hasSendTimer() const { return mSendTimer != nullptr; }
    bool hasEnded() const { return mEnded; }

    void echoPingDidStartWithAddress(ZQEchoPing& pinger, const Bytes& address) override;
    void echoPingDidFailWithError(ZQEchoPing& pinger, const platform::Error& error) override;
    void echoPingDidSendPacket(ZQEchoPing& pinger, const Bytes& packet, std::uint16_t sequenceNumber) override;
    void echoPingDidFailToSendPacket(ZQEchoPing& pinger, const Bytes& packet, std::uint16_t sequenceNumber,
                                     const platform::Error& error) override;
    void echoPingDidReceivePingResponsePacket(ZQEchoPing& pinger, const Bytes& packet,
                                              std::uint16_t sequenceNumber) override;
    void echoPingDidReceiveUnexpectedPacket(ZQEchoPing& pinger, const Bytes& packet) override;

private:
    ZQSinglePinger(std::string hostName, long count, PingCallBack pingCallBack, std::string desc);
    void record(ZQPingStatus status, double delay = 0);
    void cancelTimeOut();
    void countLostProbes();
    void endRun(ZQPingStatus status);

    // Owned by the main run loop.
    std::string mHostName;
    std::string mDesc;
    std::shared_ptr<ZQEchoPing> mPinger;
    std::shared_ptr<platform::Timer> mSendTimer;
    std::vector<double> mStartDateArray; // media-clock send times, in sending order
    long mDateSendIndex = 0;
    PingCallBack mPingCallBack;
    long mCount;
    long mNeedPingCount;
    long mReceivedOrDelayCount = 0;
    bool mEnded = false;
    platform::DelayedTask mClosingDeadline;
};
