#pragma once
#include <cstdint>
#include "ZQLiveKit/Export.h"

// The room's interaction settings as the facade reports them. Plain value.
class ZQLIVEKIT_EXPORT ZQSInteractionConfigureModel {
public:
    // The live-commerce switch, non-zero when on.
    std::int64_t isLiveStoreSwitch() const { return mIsLiveStoreSwitch; }
    void setIsLiveStoreSwitch(std::int64_t value) { mIsLiveStoreSwitch = value; }

private:
    std::int64_t mIsLiveStoreSwitch = 0;
};
