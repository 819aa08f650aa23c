#pragma once
#include <atomic>
#include <cstddef>
#include <mutex>
#include <span>
#include <string>
#include <vector>
#include "platform/media/AudioUnit.h"

namespace platform {

// What the microphone back ends (tone, file, ALSA) share: the I/O unit's properties and their
// checks, initialisation, start and stop, and rendering of the period just captured from inside
// the input callback. A back end opens its source for the stream format, starts and stops its
// delivery thread, and on that thread fills periodBuffer() and calls deliverPeriod().
class InputAudioUnit : public AudioUnit {
public:
    ~InputAudioUnit() override;

    OSStatus setEnableIO(AudioUnitScope scope, std::uint32_t element, std::uint32_t enable) override;
    OSStatus setStreamFormat(AudioUnitScope scope, std::uint32_t element, const AudioStreamDescription& format) override;
    OSStatus setInputCallback(AudioUnitScope scope, std::uint32_t element, InputCallback callback) override;
    OSStatus initialize() override;
    OSStatus start() override;
    OSStatus stop() override;
    OSStatus render(AudioUnitRenderActionFlags& flags, const AudioTimeStamp& timeStamp, std::uint32_t busNumber,
                    std::uint32_t numberFrames, AudioBufferList& data) override;
    std::string errorDescription() const override;

    bool isInitialized() const { return mInitialized.load(); }
    bool isRunning() const { return mRunning.load(); }
    // Frames a period holds once initialised.
    std::size_t periodFrames() const { return mPeriodFrames; }

protected:
    // `portType` and `portName` describe the input in the audio session's route.
    InputAudioUnit(std::string portType, std::string portName);

    // Opens the source for `format` (interleaved signed 16-bit) and sets *periodFrames. False,
    // with the reason, when it cannot.
    virtual bool openSource(const AudioStreamDescription& format, std::size_t* periodFrames, std::string* error) = 0;
    // Starts the delivery thread; false with the reason when it cannot.
    virtual bool startSource(std::string* error) = 0;
    // Stops delivery: no deliverPeriod() runs once it returns. Never called from the delivery thread.
    virtual void stopSource() = 0;

    // On the delivery thread: the memory of the next period, then its delivery to the input callback.
    std::span<std::uint8_t> periodBuffer() { return mPeriod; }
    void deliverPeriod();
    // On the delivery thread: the input went away mid-run. Reported once a run, to the console and
    // as a route change of the audio session.
    void reportLost(const std::string& reason);

    const AudioStreamDescription& format() const { return mFormat; }
    const std::string& portName() const { return mPortName; }
    void setError(std::string text);

private:
    const std::string mPortType;
    const std::string mPortName;
    std::mutex mControlMutex; // serialises initialize, start and stop
    bool mInputEnabled = false;   // guarded by mControlMutex
    bool mFormatSet = false;      // guarded by mControlMutex
    AudioStreamDescription mFormat; // fixed once initialised
    InputCallback mCallback;      // fixed once initialised
    std::atomic<bool> mInitialized{false};
    std::atomic<bool> mRunning{false};
    std::atomic<bool> mLostReported{false};
    // Owned by the delivery thread while running.
    std::size_t mPeriodFrames = 0;
    std::vector<std::uint8_t> mPeriod;
    double mSampleTime = 0;
    mutable std::mutex mErrorMutex;
    std::string mError; // guarded by mErrorMutex
};

} // namespace platform
