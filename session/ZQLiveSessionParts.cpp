#include "session/ZQLiveSessionParts.h"

#include <mutex>
#include "ZQPlatform/SystemInfo.h"
#include "encoder/ZVHardwareAudioEncoder.h"
#include "encoder/ZVH264VideoEncoder.h"
#include "encoder/ZVHardwareVideoEncoder.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {
std::mutex gMutex;
decltype(ZQLiveSessionParts::makeAudioCapture) gAudioCaptureMaker;
decltype(ZQLiveSessionParts::makeVideoCapture) gVideoCaptureMaker;
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
    std::lock_guard lock(gMutex);
    parts.makeAudioCapture = gAudioCaptureMaker;
    parts.makeVideoCapture = gVideoCaptureMaker;
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
    std::lock_guard lock(gMutex);
    gAudioCaptureMaker = std::move(maker);
}

void ZQLiveSessionParts::registerVideoCapture(decltype(makeVideoCapture) maker) {
    std::lock_guard lock(gMutex);
    gVideoCaptureMaker = std::move(maker);
}
