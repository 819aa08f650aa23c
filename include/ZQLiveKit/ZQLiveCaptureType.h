#pragma once
#include <cstdint>

// Which media a live session captures itself or has pushed in (a bit set).
enum ZQLiveCaptureType : std::int64_t {
    ZQLiveCaptureAudio = 1, // audio from the microphone
    ZQLiveCaptureVideo = 2, // video from the camera
    ZQLiveInputAudio = 4,   // audio pushed in by the application with pushAudio()
    ZQLiveInputVideo = 8,   // video pushed in by the application with pushVideo()
};

// True when the type carries audio (captured or pushed in).
constexpr bool ZQLiveCaptureTypeHasAudio(std::int64_t type) {
    return (type & (ZQLiveCaptureAudio | ZQLiveInputAudio)) != 0;
}
// True when the type carries video (captured or pushed in).
constexpr bool ZQLiveCaptureTypeHasVideo(std::int64_t type) {
    return (type & (ZQLiveCaptureVideo | ZQLiveInputVideo)) != 0;
}
