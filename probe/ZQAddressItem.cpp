#include "ZQLiveKit/ZQAddressItem.h"

#include <numeric>

double ZQAddressItem::delayMillSeconds() const {
    if (mDelayTimes.empty()) return kLostProbeDelay;
    return std::accumulate(mDelayTimes.begin(), mDelayTimes.end(), 0.0) / static_cast<double>(mDelayTimes.size());
}
