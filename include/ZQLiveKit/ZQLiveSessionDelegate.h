#pragma once
#include <cstdint>
#include <memory>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/ZQLiveDebug.h"
#include "ZQLiveKit/ZQLiveState.h"

class ZQLiveSession;

// What a live session reports to the application. Every operation is optional (the defaults do
// nothing) and is called on the main queue, in the order the publisher reported the events.
class ZQLIVEKIT_EXPORT ZQLiveSessionDelegate {
public:
    virtual ~ZQLiveSessionDelegate();

    // liveSession:liveStateDidChange: — every state the publisher reports.
    virtual void liveSessionLiveStateDidChange(ZQLiveSession& session, ZQLiveState state);
    // liveSession:debugInfo: — the statistics of each window, only while showDebugInfo is on.
    virtual void liveSessionDebugInfo(ZQLiveSession& session, std::shared_ptr<ZQLiveDebug> debugInfo);
    // liveSession:errorCode: — the publisher's error code, unchanged (205 after ZQLiveError).
    virtual void liveSessionErrorCode(ZQLiveSession& session, std::uint64_t errorCode);
    // Each step of the adaptive bit rate: the video bit rate (bits per second) the session just gave
    // the encoder. Only while adaptiveBitrate is on.
    virtual void liveSessionVideoBitRateDidChange(ZQLiveSession& session, std::uint64_t videoBitRate);
};
