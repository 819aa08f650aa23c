#pragma once
#include <memory>
#include "ZQLiveKit/TestPatternSource.h"
#include "ZQLiveKit/ToneSource.h"
#include "platform/media/RealTimePacer.h"

namespace platform {

// Paces the synthetic sources with another clock than the monotonic one, so tests need not wait in
// real time. Internal: applications have no use for it. Before start().
class SyntheticSourcePacing {
public:
    static void setPacerClock(TestPatternSource& source, std::shared_ptr<PacerClock> clock) {
        source.mClock = std::move(clock);
    }
    static void setPacerClock(ToneSource& source, std::shared_ptr<PacerClock> clock) {
        source.mClock = std::move(clock);
    }
};

} // namespace platform
