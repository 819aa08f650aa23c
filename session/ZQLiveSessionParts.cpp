#include "session/ZQLiveSessionParts.h"

#include <mutex>
#include "ZQPlatform/SystemInfo.h"
#include "encoder/ZVHardwareAudioEncoder.h"
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
    // Systems below 8.0 would take the file-based encoder; every system this kit runs on has the
    // compression session, so the hardware-session encoder serves all of them.
    parts.makeVideoEncoder = [](std::shared_ptr<ZQLiveVideoConfiguration> configuration) {
        return std::static_pointer_cast<ZVVideoEncoding>(ZVHardwareVideoEncoder::create(std::move(configuration)));
    };
    parts.makeAudioEncoder = [](std::shared_ptr<ZQLiveAudioConfiguration> configuration) {
        return std::static_pointer_cast<ZVAudioEncoding>(ZVHardwareAudioEncoder::create(std::move(configuration)));
    };
    std::lock_guard lock(captureMakers().mutex);
    parts.makeAudioCapture = captureMakers().audio;
    parts.makeVideoCapture = captureMakers().video;
    return parts;
}

void ZQLiveSessionParts::registerAudioCapture(decltype(makeAudioCapture) maker) {
    std::lock_guard lock(captureMakers().mutex);
    captureMakers().audio = std::move(maker);
}

void ZQLiveSessionParts::registerVideoCapture(decltype(makeVideoCapture) maker) {
    std::lock_guard lock(captureMakers().mutex);
    captureMakers().video = std::move(maker);
}
