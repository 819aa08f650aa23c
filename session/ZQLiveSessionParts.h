#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveSession.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "encoder/ZVAudioEncoding.h"
#include "encoder/ZVVideoEncoding.h"
#include "session/ZVCaptureSource.h"
#include "transport/ZVStreamSocket.h"

// How a live session makes the parts it owns. The defaults make the RTMP publisher, the AAC
// encoder and the H.264 encoder the system version calls for; capture sources come from the makers
// the capture layer registers (without one, a session runs on pushed-in media only). Tests replace
// any of them with fakes.
struct ZQLiveSessionParts {
    std::function<std::shared_ptr<ZVStreamSocket>(std::shared_ptr<ZQLiveStreamInfo>, std::int64_t reconnectInterval,
                                                  std::int64_t reconnectCount)>
        makeSocket;
    std::function<std::shared_ptr<ZVVideoEncoding>(std::shared_ptr<ZQLiveVideoConfiguration>)> makeVideoEncoder;
    std::function<std::shared_ptr<ZVAudioEncoding>(std::shared_ptr<ZQLiveAudioConfiguration>)> makeAudioEncoder;
    std::function<std::shared_ptr<ZVAudioCaptureSource>(std::shared_ptr<ZQLiveAudioConfiguration>)> makeAudioCapture;
    std::function<std::shared_ptr<ZVVideoCaptureSource>(std::shared_ptr<ZQLiveVideoConfiguration>)> makeVideoCapture;

    static ZQLiveSessionParts defaults();
    // The video encoder maker for a choice: the hardware-session encoder, the file-based one, or
    // (Automatic) the file-based one on system versions below 8.0 and the hardware one otherwise,
    // decided when the encoder is made.
    static decltype(makeVideoEncoder) videoEncoderMaker(ZQLiveVideoEncoderType type);

    // The capture layer registers its makers here. Any thread, before sessions are made.
    static void registerAudioCapture(decltype(makeAudioCapture) maker);
    static void registerVideoCapture(decltype(makeVideoCapture) maker);
};
