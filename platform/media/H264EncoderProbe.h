#pragma once
#include <string>
#include <vector>

namespace platform {

// Picks, once per process, the H.264 encoder the compression sessions use: the first hardware
// encoder that opens and encodes a test picture on this machine (h264_nvenc, h264_vaapi,
// h264_v4l2m2m, in that order), else libx264. A hardware encoder whose device is plainly absent
// (no NVIDIA driver, no DRM render node, no V4L2 node) is not even opened, and failed opens are
// silent. ZQLIVEKIT_H264_ENCODER in the environment names the encoder to try first
// ("libx264" skips the hardware).
class H264EncoderProbe {
public:
    struct Choice {
        std::string name;                // "" when not even libx264 is there
        bool hardware = false;
        std::vector<std::string> tried;  // what was rejected on the way, with the reason
    };

    // The cached choice; the first call probes (it may take a moment where a driver is present).
    // Any thread.
    static const Choice& choice();

    // What a fresh probe would pick from `candidates`, trying each in turn; no caching. Exposed for
    // tests and diagnostics.
    static Choice probe(const std::vector<std::string>& candidates);

    // The candidates in probing order, honouring ZQLIVEKIT_H264_ENCODER.
    static std::vector<std::string> candidates();
    static bool isHardware(const std::string& name);
    static constexpr const char* kSoftwareEncoder = "libx264";
};

} // namespace platform
