#include <algorithm>
#include <cstring>
#include "ZQLiveKit/ToneSource.h"
#include "platform/media/AudioInputUnits.h"
#include "platform/media/InputAudioUnit.h"

namespace platform {

namespace {

// The synthetic microphone: the tone source, paced in real time, behind the I/O unit.
class ToneAudioUnit final : public InputAudioUnit {
public:
    explicit ToneAudioUnit(double frequency)
        : InputAudioUnit("MicrophoneBuiltIn", frequency > 0 ? "tone " + std::to_string(static_cast<int>(frequency)) + " Hz"
                                                            : "silence"),
          mFrequency(frequency) {}
    ~ToneAudioUnit() override { stop(); }

private:
    bool openSource(const AudioStreamDescription& format, std::size_t* periodFrames, std::string*) override {
        *periodFrames = kInputPeriodFrames;
        mTone = std::make_unique<ToneSource>(static_cast<std::uint32_t>(format.sampleRate), format.channelsPerFrame,
                                             kInputPeriodFrames * format.bytesPerFrame, mFrequency);
        mTone->setCallback([this](std::span<const std::uint8_t> block) {
            auto period = periodBuffer();
            std::memcpy(period.data(), block.data(), std::min(block.size(), period.size()));
            deliverPeriod();
        });
        return true;
    }
    bool startSource(std::string* error) override {
        if (mTone->start()) return true;
        *error = "the tone could not be started";
        return false;
    }
    void stopSource() override { mTone->stop(); }

    const double mFrequency;
    std::unique_ptr<ToneSource> mTone;
};

} // namespace

std::unique_ptr<AudioUnit> makeToneAudioUnit(double frequency) {
    return std::make_unique<ToneAudioUnit>(std::max(frequency, 0.0));
}

} // namespace platform
