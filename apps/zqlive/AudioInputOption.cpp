#include "apps/zqlive/AudioInputOption.h"

#include "ZQLiveKit/AudioInput.h"
#include "ZQLiveKit/AudioSession.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/NotificationCenter.h"
#include "apps/zqlive/Cli.h"

namespace zqlive {

namespace {
// A text value of a notification's userInfo, or `fallback` when there is none.
std::string text(const nlohmann::json& info, const char* key, const char* fallback) {
    if (!info.is_object() || !info.contains(key) || !info[key].is_string()) return fallback;
    return info[key].get<std::string>();
}
} // namespace

std::string AudioInputOption::description() const {
    switch (kind) {
    case Kind::Tone: return "tone";
    case Kind::Silence: return "silence";
    case Kind::Mic: return "mic:" + device;
    case Kind::File: return "file:" + path;
    }
    return "";
}

AudioInputOption parseAudioInputOption(const std::string& text) {
    AudioInputOption option;
    if (text == "tone") return option;
    if (text == "silence") {
        option.kind = AudioInputOption::Kind::Silence;
    } else if (text == "mic" || text.rfind("mic:", 0) == 0) {
        option.kind = AudioInputOption::Kind::Mic;
        option.device = text.size() > 4 ? text.substr(4) : "default";
    } else if (text.rfind("file:", 0) == 0 && text.size() > 5) {
        option.kind = AudioInputOption::Kind::File;
        option.path = text.substr(5);
    } else {
        throw UsageError("--audio must be tone, silence, mic[:DEVICE] or file:WAV, got '" + text + "'");
    }
    return option;
}

AudioInputWatch::AudioInputWatch(const AudioInputOption& option) : mOption(option) {
    if (!option.captured()) return;
    platform::setAudioInputSource(option.kind == AudioInputOption::Kind::Mic
                                      ? platform::AudioInputSource::alsa(option.device)
                                      : platform::AudioInputSource::file(option.path));
    auto& center = platform::NotificationCenter::defaultCenter();
    auto main = platform::DispatchQueue::main();
    mCreateObserver = center.addObserver(
        kZVAudioComponentFailedToCreateNotification, nullptr, main, [this](const platform::Notification& n) {
            std::string reason = text(n.userInfo, kZVAudioComponentFailureReasonKey, "unknown reason");
            fail("audioInputFailed", "cannot open the audio input " + mOption.description() + ": " + reason, reason);
        });
    mLostObserver = center.addObserver(
        platform::kAudioSessionRouteChangeNotification, nullptr, main, [this](const platform::Notification& n) {
            const auto& info = n.userInfo;
            const char* key = platform::kAudioSessionRouteChangeReasonKey;
            if (!info.is_object() || !info.contains(key) || !info[key].is_number_integer() ||
                info[key].get<std::int64_t>() != platform::AudioSessionRouteChangeReasonOldDeviceUnavailable)
                return;
            std::string reason = text(info, platform::kAudioSessionRouteChangeInputLostReasonKey, "device gone");
            fail("audioInputLost", "the audio input " + mOption.description() + " was lost: " + reason, reason);
        });
}

AudioInputWatch::~AudioInputWatch() = default;

void AudioInputWatch::fail(const char* event, const std::string& failure, const std::string& reason) {
    emit({{"event", event}, {"source", mOption.description()}, {"reason", reason}});
    if (!mFailure.empty()) return;
    mFailure = failure;
    if (mOnFailure) mOnFailure();
}

} // namespace zqlive
