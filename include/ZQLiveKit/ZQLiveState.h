#pragma once
#include <cstdint>
#include "ZQLiveKit/Export.h"

// Connection state of a publishing run, as the publisher reports it.
enum ZQLiveState : std::uint64_t {
    ZQLiveReady = 0,        // not connected; the session's initial state
    ZQLivePending = 1,      // connecting
    ZQLiveStart = 2,        // connected and publishing
    ZQLiveStop = 3,         // stopped on request
    ZQLiveError = 4,        // reconnection attempts used up; the run has failed
    ZQLiveReconnecting = 5, // a reconnection attempt is starting
};

// Error codes the publisher reports (through the session, unchanged, to the facade).
enum ZQLiveSocketErrorCode : std::uint64_t {
    // Every (re)connect attempt the reconnect budget allowed has failed; always follows ZQLiveError.
    ZQLiveSocketErrorReconnectExhausted = 205,
};

// The state's name ("ZQLiveStart"), or "unknown" for a value outside the enumeration. Any thread.
ZQLIVEKIT_EXPORT const char* ZQLiveStateName(std::uint64_t state);
