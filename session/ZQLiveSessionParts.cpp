#include "session/ZQLiveSessionParts.h"

#include <mutex>
#include "ZQPlatform/SystemInfo.h"
#include "encoder/ZVHardwareAudioEncoder.h"
#include "encoder/ZVH264VideoEncoder.h"
#include "encoder/ZVHardwareVideoEncoder.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {
// Capture sources register from their own static initialisers, which may run before this file's:
// the makers live in a function-local static, made on first use.
struct CaptureMakers {
    std::mutex mutex;
    decltype(ZQLiveSessionParts::makeAudioCapture) audio;
    decltype(ZQLiveSessionParts::makeVideoCapture) video;
};
CaptureMakers& captureMakers() {
    static auto* makers = new CaptureMakers();
    return *makers;
}
} // namespace

ZQLiveSessionParts ZQLiveSessionParts::defaults() {
    ZQLiveSessionParts parts;
    parts.makeSocket = [](std::shared_ptr<ZQLiveStreamInfo> info, std::int64_t interval, std::int64_t count) {
        return std::static_pointer_cast<ZVStreamSocket>(ZVStreamRTMPSocket::create(std::move(info), interval, count));
    };
    parts.makeVideoEncoder = videoEncoderMaker(ZQLiveVideoEncoderType::Automatic);
    parts.makeAudioEncoder = [](std::shared_ptr<ZQLiveAudioConfiguration> configuration) {
        return std::static_pointer_cast<ZVAudioEncoding>(ZVHardwareAudioEncoder::create(std::move(configuration)));
    };
    std::lock_guard lock(captureMakers().mutex);
    parts.makeAudioCapture = captureMakers().audio;
    parts.makeVideoCapture = captureMakers().video;
    return parts;
}

decltype(ZQLiveSessionParts::makeVideoEncoder) ZQLiveSessionParts::videoEncoderMaker(ZQLiveVideoEncoderType type) {
    return [type](std::shared_ptr<ZQLiveVideoConfiguration> configuration) -> std::shared_ptr<ZVVideoEncoding> {
        // Below 8.0 the system offers no direct compression session: the movie-file writer it is.
        const bool fileBased = type == ZQLiveVideoEncoderType::FileBased ||
                               (type == ZQLiveVideoEncoderType::Automatic && platform::SystemInfo::systemVersionNumber() < 8.0);
        if (fileBased) return ZVH264VideoEncoder::create(std::move(configuration));
        return ZVHardwareVideoEncoder::create(std::move(configuration));
    };
}

void ZQLiveSessionParts::registerAudioCapture(decltype(makeAudioCapture) maker) {
    std::lock_guard lock(captureMakers().mutex);
    captureMakers().audio = std::move(maker);
}

void ZQLiveSessionParts::registerVideoCapture(decltype(makeVideoCapture) maker) {
    std::lock_guard lock(captureMakers().mutex);
    captureMakers().video = std::move(maker);
}
