#pragma once
#include <string>
#include "ZQLiveKit/Export.h"

// What happened to a probing run. 3 is never produced.
enum ZQPingStatus : unsigned {
    ZQPingStatusStarted = 0,    // address resolved, socket open, first probe sent
    ZQPingStatusSendFailed = 1, // a probe failed to send; the run ends
    ZQPingStatusReplied = 2,    // a valid echo reply arrived; the delay holds the round trip
    ZQPingStatusTimedOut = 4,   // one probe was counted as lost
    ZQPingStatusFailed = 5,     // resolution, socket or receive error; the run ends
    ZQPingStatusFinished = 6,   // the run is complete (or was stopped)
};

// One event of a probing run: a plain value.
class ZQLIVEKIT_EXPORT ZQPingItem {
public:
    ZQPingItem() = default;
    ZQPingItem(std::string hostName, std::string desc, ZQPingStatus status, double millSecondsDelay = 0)
        : mHostName(std::move(hostName)), mDesc(std::move(desc)), mMillSecondsDelay(millSecondsDelay),
          mStatus(status) {}

    const std::string& hostName() const { return mHostName; }
    void setHostName(std::string hostName) { mHostName = std::move(hostName); }
    const std::string& desc() const { return mDesc; }
    void setDesc(std::string desc) { mDesc = std::move(desc); }
    // Round trip in milliseconds for a reply record; 0 for every other record.
    double millSecondsDelay() const { return mMillSecondsDelay; }
    void setMillSecondsDelay(double delay) { mMillSecondsDelay = delay; }
    ZQPingStatus status() const { return mStatus; }
    void setStatus(ZQPingStatus status) { mStatus = status; }

private:
    std::string mHostName;
    std::string mDesc;
    double mMillSecondsDelay = 0;
    ZQPingStatus mStatus = ZQPingStatusStarted;
};
