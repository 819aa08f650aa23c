#include "session/ZQLiveSessionParts.h"

#include <mutex>
#include "ZQPlatform/SystemInfo.h"
#include "encoder/ZVHardwareAudioEncoder.h"
#include "encoder/ZVHardwareVideoEncoder.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {
// Makers registered by the capture layer, possibly from static initialisers of other files: made
// on first use, so a registration never runs before the registry exists.
struct Registry {
    std::mutex mutex;
    decltype(ZQLiveSessionParts::makeAudioCapture) audioCaptureMaker;
    decltype(ZQLiveSessionParts::makeVideoCapture) videoCaptureMaker;
};
Registry& registry() {
    static auto* r = new Registry();
    return *r;
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
    std::lock_guard lock(registry().mutex);
    parts.makeAudioCapture = registry().audioCaptureMaker;
    parts.makeVideoCapture = registry().videoCaptureMaker;
    return parts;
}

void ZQLiveSessionParts::registerAudioCapture(decltype(makeAudioCapture) maker) {
    std::lock_guard lock(registry().mutex);
    registry().audioCaptureMaker = std::move(maker);
}

void ZQLiveSessionParts::registerVideoCapture(decltype(makeVideoCapture) maker) {
    std::lock_guard lock(registry().mutex);
    registry().videoCaptureMaker = std::move(maker);
}
