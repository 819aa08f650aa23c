#include "platform/media/H264EncoderProbe.h"

#include <dlfcn.h>
#include <glob.h>
#include <algorithm>
#include <cstdlib>
#include <mutex>
#include "ZQLiveKit/PixelBuffer.h"
#include "platform/media/FFmpegH264Encoder.h"
#include "platform/media/FFmpegLog.h"

namespace platform {

namespace {

const std::vector<std::string> kHardwareEncoders = {"h264_nvenc", "h264_vaapi", "h264_v4l2m2m"};

bool pathMatches(const char* pattern) {
    glob_t found{};
    bool any = glob(pattern, 0, nullptr, &found) == 0 && found.gl_pathc > 0;
    globfree(&found);
    return any;
}

// A cheap look for the device an encoder needs, so a machine without it never pays for an open.
bool devicePresent(const std::string& name, std::string* reason) {
    if (name == "h264_nvenc") {
        void* library = dlopen("libnvidia-encode.so.1", RTLD_LAZY | RTLD_LOCAL);
        if (library) dlclose(library);
        if (!library || !pathMatches("/dev/nvidia[0-9]*")) {
            *reason = name + ": no NVIDIA encoder driver";
            return false;
        }
    } else if (name == "h264_vaapi") {
        if (!pathMatches("/dev/dri/renderD*")) {
            *reason = name + ": no DRM render node";
            return false;
        }
    } else if (name == "h264_v4l2m2m") {
        if (!pathMatches("/dev/video*")) {
            *reason = name + ": no V4L2 device";
            return false;
        }
    }
    return true;
}

// Opens the encoder and has it encode two pictures: some drivers open fine and fail on the first frame.
bool works(const std::string& name, std::string* reason) {
    H264EncoderSettings settings;
    settings.expectedFrameRate = 30;
    settings.maxKeyFrameInterval = 30;
    settings.averageBitRate = 500000;
    settings.realTime = true;
    settings.allowFrameReordering = false;
    auto encoder = FFmpegH264Encoder::open(name, 320, 240, settings, reason);
    if (!encoder) return false;
    auto picture = PixelBuffer::create(320, 240, PixelFormat::NV12);
    int pictures = 0;
    auto count = [&](FFmpegH264Encoder::Picture&&) { ++pictures; };
    for (int i = 0; i < 2; ++i) {
        if (encoder->encode(picture, i * FFmpegH264Encoder::kTimeBase / 30, i == 0, count) != MediaStatus::Ok) {
            *reason = name + ": encode failed";
            return false;
        }
    }
    if (encoder->drain(count) != MediaStatus::Ok || pictures == 0) {
        *reason = name + ": gave no pictures";
        return false;
    }
    return true;
}

} // namespace

bool H264EncoderProbe::isHardware(const std::string& name) {
    return std::find(kHardwareEncoders.begin(), kHardwareEncoders.end(), name) != kHardwareEncoders.end();
}

std::vector<std::string> H264EncoderProbe::candidates() {
    std::vector<std::string> list;
    if (const char* wanted = std::getenv("ZQLIVEKIT_H264_ENCODER"); wanted && *wanted) {
        list.push_back(wanted);
        if (list.back() != kSoftwareEncoder) list.push_back(kSoftwareEncoder);
        return list;
    }
    list = kHardwareEncoders;
    list.push_back(kSoftwareEncoder);
    return list;
}

H264EncoderProbe::Choice H264EncoderProbe::probe(const std::vector<std::string>& candidates) {
    ffmpeg::routeLogToConsole();
    ffmpeg::QuietLogScope quiet;
    Choice choice;
    for (const auto& name : candidates) {
        std::string reason;
        if (devicePresent(name, &reason) && works(name, &reason)) {
            choice.name = name;
            choice.hardware = isHardware(name);
            return choice;
        }
        choice.tried.push_back(reason);
    }
    return choice;
}

const H264EncoderProbe::Choice& H264EncoderProbe::choice() {
    static Choice cached;
    static std::once_flag once;
    std::call_once(once, [] { cached = probe(candidates()); });
    return cached;
}

} // namespace platform
