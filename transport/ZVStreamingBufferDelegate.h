#pragma once
#include <memory>
#include "transport/ZVBufferState.h"

class ZVStreamingBuffer;

// Told about the send backlog's trend. Held weakly by the buffer.
class ZVStreamingBufferDelegate {
public:
    virtual ~ZVStreamingBufferDelegate() = default;

    // streamingBuffer:bufferState: (optional): the backlog kept growing (Increase) or stayed empty
    // (Decline) over the last evaluation window. Called on the main queue, at most once per window,
    // and only when respondsToStreamingBufferBufferState() is true.
    virtual void streamingBufferBufferState(const std::shared_ptr<ZVStreamingBuffer>& buffer, ZVBufferState state) {
        (void)buffer;
        (void)state;
    }
    // Whether this delegate implements streamingBufferBufferState(); implementers return true.
    virtual bool respondsToStreamingBufferBufferState() const { return false; }
};
