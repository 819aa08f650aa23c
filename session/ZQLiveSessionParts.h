#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "encoder/ZVAudioEncoding.h"
#include "encoder/ZVVideoEncoding.h"
#include "session/ZVCaptureSource.h"
#include "transport/ZVStreamSocket.h"

// How a live session makes the parts it owns. The defaults make the RTMP publisher and the
// hardware encoders; capture sources come from the makers the capture layer registers (without
// one, a session runs on pushed-in media only). Tests replace any of them with fakes.
struct ZQLiveSessionParts {
    std::function<std::shared_ptr<ZVStreamSocket>(std::shared_ptr<ZQLiveStreamInfo>, std::int64_t reconnectInterval,
                                                  std::int64_t reconnectCount)>
        makeSocket;
    std::function<std::shared_ptr<ZVVideoEncoding>(std::shared_ptr<ZQLiveVideoConfiguration>)> makeVideoEncoder;
    std::function<std::shared_ptr<ZVAudioEncoding>(std::shared_ptr<ZQLiveAudioConfiguration>)> makeAudioEncoder;
    std::function<std::shared_ptr<ZVAudioCaptureSource>(std::shared_ptr<ZQLiveAudioConfiguration>)> makeAudioCapture;
    std::function<std::shared_ptr<ZVVideoCaptureSource>(std::shared_ptr<ZQLiveVideoConfiguration>)> makeVideoCapture;

    static ZQLiveSessionParts defaults();

    // The capture layer registers its makers here. Any thread, before sessions are made.
    static void registerAudioCapture(decltype(makeAudioCapture) maker);
    static void registerVideoCapture(decltype(makeVideoCapture) maker);
};
