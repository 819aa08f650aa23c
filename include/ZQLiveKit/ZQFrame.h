#pragma once
#include <cstdint>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/ZQBytes.h"

class ZQAudioFrame;
class ZQVideoFrame;

// An encoded media frame. Made by an encoder, then shared by std::shared_ptr (session, send
// buffer, publisher) and freed when the last holder lets go; nothing copies a frame or its bytes.
// Plain fields without locking: the encoder fills a frame before handing it on, and the session
// rewrites the timestamp once before the publisher sees it.
class ZQLIVEKIT_EXPORT ZQFrame {
public:
    ZQFrame() = default;
    virtual ~ZQFrame();

    // Milliseconds of the media clock; rebased by the session to the start of the run. The
    // publisher sends the low 32 bits.
    std::uint64_t timestamp() const { return mTimestamp; }
    void setTimestamp(std::uint64_t timestamp) { mTimestamp = timestamp; }

    // The encoded payload.
    const ZQBytes& data() const { return mData; }
    void setData(ZQBytes data) { mData = std::move(data); }

    // Carried along; no part of the kit sets or reads it.
    const ZQBytes& header() const { return mHeader; }
    void setHeader(ZQBytes header) { mHeader = std::move(header); }

    // The frame as its kind, or nullptr: the send path asks this of every queued frame, and a
    // virtual call is far cheaper than dynamic_cast.
    virtual const ZQAudioFrame* asAudioFrame() const { return nullptr; }
    virtual const ZQVideoFrame* asVideoFrame() const { return nullptr; }

private:
    std::uint64_t mTimestamp = 0;
    ZQBytes mData;
    ZQBytes mHeader;
};
