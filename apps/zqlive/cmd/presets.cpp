// zqlive presets: every audio and video configuration preset, one JSON object per line.
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "apps/zqlive/Cli.h"

namespace {

// Whole pixel counts print as integers ([1282,722], not [1282.0,722.0]).
nlohmann::ordered_json dimension(double value) {
    if (std::trunc(value) == value && std::fabs(value) < 1e15) return static_cast<std::int64_t>(value);
    return value;
}

int runPresets(const std::vector<std::string>& argv) {
    zqlive::Args args(argv, {});
    args.allowOnly({});
    if (!args.positionals().empty()) throw zqlive::UsageError("unexpected argument '" + args.positionals()[0] + "'");

    for (std::uint64_t quality = ZQLiveAudioQualityLow; quality <= ZQLiveAudioQualityVeryHigh; ++quality) {
        auto audio = ZQLiveAudioConfiguration::defaultConfigurationForQuality(quality);
        nlohmann::ordered_json event = {{"kind", "audio"}, {"quality", quality}};
        event["numberOfChannels"] = audio->numberOfChannels();
        event["audioSampleRate"] = audio->audioSampleRate();
        event["audioBitrate"] = audio->audioBitrate();
        event["asc"] = audio->archive()["asc"]; // lowercase hex, as archived
        event["bufferLength"] = audio->bufferLength();
        zqlive::emit(event);
    }
    for (std::uint64_t quality = ZQLiveVideoQuality360p15; quality <= ZQLiveVideoQuality720p30; ++quality) {
        for (std::int64_t orientation :
             {platform::InterfaceOrientationPortrait, platform::InterfaceOrientationLandscapeRight}) {
            auto video = ZQLiveVideoConfiguration::defaultConfigurationForQuality(quality, orientation);
            platform::Size size = video->videoSize();
            nlohmann::ordered_json event = {{"kind", "video"}, {"quality", quality}, {"orientation", orientation}};
            event["videoSize"] = {dimension(size.width), dimension(size.height)};
            event["videoFrameRate"] = video->videoFrameRate();
            event["videoMaxFrameRate"] = video->videoMaxFrameRate();
            event["videoMinFrameRate"] = video->videoMinFrameRate();
            event["videoMaxKeyframeInterval"] = video->videoMaxKeyframeInterval();
            event["videoBitRate"] = video->videoBitRate();
            event["videoMaxBitRate"] = video->videoMaxBitRate();
            event["videoMinBitRate"] = video->videoMinBitRate();
            event["sessionPreset"] = video->sessionPreset();
            event["avSessionPreset"] = video->avSessionPreset();
            event["landscape"] = video->landscape();
            event["autorotate"] = video->autorotate();
            zqlive::emit(event);
        }
    }
    return 0;
}

} // namespace

ZQLIVE_COMMAND(presets, "presets", "Print every audio and video configuration preset as JSON lines",
               "presets", runPresets);
