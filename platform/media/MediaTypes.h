#pragma once
#include <cstdint>

namespace platform {

// Result of a media-layer call (the stand-in for the platform's OSStatus codes).
enum class MediaStatus {
    Ok = 0,
    InvalidSession,      // the session was invalidated, or never became usable
    InvalidArgument,     // a missing buffer, a bad size or time, a value of the wrong kind
    UnsupportedProperty, // the back end cannot take this property (now)
    EncoderFailed,       // the codec refused to open or to encode
    NoOutput,            // the codec took the input but has nothing to give back yet
};

// A rational time (CMTime): value / timescale seconds. A timescale of 0 or less is invalid.
struct MediaTime {
    std::int64_t value = 0;
    std::int32_t timescale = 0;

    bool isValid() const { return timescale > 0; }
    double seconds() const { return isValid() ? static_cast<double>(value) / timescale : 0.0; }
    friend bool operator==(const MediaTime&, const MediaTime&) = default;
};

} // namespace platform
