#pragma once
#include <cstdint>
#include <memory>
#include "ZQLiveKit/ZQFrame.h"
#include "ZQLiveKit/ZQLiveDebug.h"
#include "ZQLiveKit/ZQLiveState.h"
#include "transport/ZVBufferState.h"

class ZVStreamSocket;

// What a publisher reports to its owner (the live session). Every operation is optional: the
// defaults do nothing. States, the final error and statistics arrive on the publisher's send queue,
// buffer trends on the main queue; a delegate that needs one thread moves them there itself.
class ZVStreamSocketDelegate {
public:
    virtual ~ZVStreamSocketDelegate();

    // socketStatus:status: — at each state change of the run.
    virtual void socketStatus(const std::shared_ptr<ZVStreamSocket>& socket, ZQLiveState status);
    // socketDidError:errorCode: — once, with ZQLiveSocketErrorReconnectExhausted, right after
    // ZQLiveError.
    virtual void socketDidError(const std::shared_ptr<ZVStreamSocket>& socket, std::uint64_t errorCode);
    // socketDebug:debugInfo: — once per statistics window. The record is a snapshot the
    // delegate may keep and read on any thread.
    virtual void socketDebug(const std::shared_ptr<ZVStreamSocket>& socket, std::shared_ptr<ZQLiveDebug> debugInfo);
    // socketBufferStatus:status: — when the send buffer reports Increase or Decline. Main queue.
    virtual void socketBufferStatus(const std::shared_ptr<ZVStreamSocket>& socket, ZVBufferState status);
};

// A publisher of one live stream, as the live session uses it. Made by the publisher's create()
// factories (initWithStream:…).
class ZVStreamSocket {
public:
    virtual ~ZVStreamSocket();

    // Begins connecting; returns at once. Any thread.
    virtual void start() = 0;
    // Ends the run and closes the connection; returns at once. Any thread.
    virtual void stop() = 0;
    // Queues one encoded frame for sending; a null frame is ignored. Any thread (the encoders').
    virtual void sendFrame(std::shared_ptr<ZQFrame> frame) = 0;
    // Sets the weakly held delegate. Any thread.
    virtual void setDelegate(std::weak_ptr<ZVStreamSocketDelegate> delegate) = 0;
};
