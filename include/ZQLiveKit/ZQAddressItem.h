#pragma once
#include <string>
#include <vector>
#include "ZQLiveKit/Export.h"

// The delays gathered for one candidate host: one entry per reply (its round trip) or lost probe
// (1000 ms). Main run loop, like the manager that fills it.
class ZQLIVEKIT_EXPORT ZQAddressItem {
public:
    static constexpr double kLostProbeDelay = 1000.0;

    ZQAddressItem(std::string hostName, std::string desc) : mHostName(std::move(hostName)), mDesc(std::move(desc)) {}

    const std::string& hostName() const { return mHostName; }
    const std::string& desc() const { return mDesc; }
    const std::vector<double>& delayTimes() const { return mDelayTimes; }
    std::vector<double>& delayTimes() { return mDelayTimes; }
    // The mean of delayTimes in milliseconds, or 1000 while there is none.
    double delayMillSeconds() const;

private:
    std::string mHostName;
    std::string mDesc;
    std::vector<double> mDelayTimes;
};
