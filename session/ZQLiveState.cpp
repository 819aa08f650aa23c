#include "ZQLiveKit/ZQLiveState.h"

const char* ZQLiveStateName(std::uint64_t state) {
    switch (state) {
    case ZQLiveReady: return "ZQLiveReady";
    case ZQLivePending: return "ZQLivePending";
    case ZQLiveStart: return "ZQLiveStart";
    case ZQLiveStop: return "ZQLiveStop";
    case ZQLiveError: return "ZQLiveError";
    case ZQLiveReconnecting: return "ZQLiveReconnecting";
    default: return "unknown";
    }
}
