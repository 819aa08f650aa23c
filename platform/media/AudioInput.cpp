#include "ZQLiveKit/AudioInput.h"

#include <mutex>
#include "platform/media/AudioInputUnits.h"
#include "platform/media/AudioUnit.h"

namespace platform {

namespace {

struct InputState {
    std::mutex mutex;
    AudioInputSource source;
    std::shared_ptr<AudioComponent> testComponent;
};

InputState& state() {
    static auto* s = new InputState();
    return *s;
}

// The voice I/O unit, recording from one input source.
class IOComponent final : public AudioComponent {
public:
    explicit IOComponent(AudioInputSource source) : mSource(std::move(source)) {}

    OSStatus instanceNew(std::unique_ptr<AudioUnit>* unit) override {
        switch (mSource.kind) {
        case AudioInputSource::Kind::Tone: *unit = makeToneAudioUnit(mSource.toneFrequency); break;
        case AudioInputSource::Kind::File: *unit = makeFileAudioUnit(mSource.path); break;
        case AudioInputSource::Kind::Alsa: *unit = makeAlsaAudioUnit(mSource.device); break;
        }
        return *unit ? noErr : kAudio_ParamError;
    }
    std::string name() const override { return mSource.description(); }

private:
    const AudioInputSource mSource;
};

bool matches(std::uint32_t wanted, std::uint32_t offered) { return wanted == 0 || wanted == offered; }

} // namespace

AudioInputSource AudioInputSource::tone(double frequency) {
    AudioInputSource s;
    s.kind = Kind::Tone;
    s.toneFrequency = frequency;
    return s;
}

AudioInputSource AudioInputSource::alsa(std::string device) {
    AudioInputSource s;
    s.kind = Kind::Alsa;
    s.device = device.empty() ? "default" : std::move(device);
    return s;
}

AudioInputSource AudioInputSource::file(std::string path) {
    AudioInputSource s;
    s.kind = Kind::File;
    s.path = std::move(path);
    return s;
}

std::string AudioInputSource::description() const {
    switch (kind) {
    case Kind::Tone: return "tone:" + std::to_string(static_cast<long long>(toneFrequency));
    case Kind::Alsa: return "alsa:" + device;
    case Kind::File: return "file:" + path;
    }
    return "";
}

void setAudioInputSource(AudioInputSource source) {
    std::lock_guard lock(state().mutex);
    state().source = std::move(source);
}

AudioInputSource audioInputSource() {
    std::lock_guard lock(state().mutex);
    return state().source;
}

std::shared_ptr<AudioComponent> AudioComponent::findNext(const AudioComponentDescription& d) {
    const std::uint32_t mask = d.componentFlagsMask;
    if (!matches(d.componentType, kAudioUnitType_Output) || !matches(d.componentSubType, kAudioUnitSubType_RemoteIO) ||
        !matches(d.componentManufacturer, kAudioUnitManufacturer_Apple) || (d.componentFlags & mask) != 0)
        return nullptr;
    std::lock_guard lock(state().mutex);
    if (state().testComponent) return state().testComponent;
    return std::make_shared<IOComponent>(state().source);
}

void AudioComponent::setIOComponentForTesting(std::shared_ptr<AudioComponent> component) {
    std::lock_guard lock(state().mutex);
    state().testComponent = std::move(component);
}

} // namespace platform
