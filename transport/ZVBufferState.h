#pragma once
#include <cstdint>

// The send backlog's trend over one evaluation window of the streaming buffer.
enum ZVBufferState : std::uint64_t {
    ZVBufferStateUnknown = 0,  // neither trend held; never reported
    ZVBufferStateIncrease = 1, // the send list grew at every sample: the network falls behind
    ZVBufferStateDecline = 2,  // the send list was empty at every sample: the network keeps up
};
