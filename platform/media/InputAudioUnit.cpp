#include "platform/media/InputAudioUnit.h"

#include <chrono>
#include <cstring>
#include "ZQLiveKit/AudioSession.h"
#include "ZQPlatform/Console.h"

namespace platform {

namespace {

constexpr OSStatus kAudioUnitErr_Initialized = -10849;

// The unit whose input callback runs on this thread: render() is only valid there.
thread_local const InputAudioUnit* tDelivering = nullptr;
thread_local std::uint32_t tDeliveringFrames = 0;

std::uint64_t monotonicNanoseconds() {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

} // namespace

InputAudioUnit::InputAudioUnit(std::string portType, std::string portName)
    : mPortType(std::move(portType)), mPortName(std::move(portName)) {}

InputAudioUnit::~InputAudioUnit() = default;

OSStatus InputAudioUnit::setEnableIO(AudioUnitScope scope, std::uint32_t element, std::uint32_t enable) {
    std::lock_guard lock(mControlMutex);
    if (mInitialized) return kAudioUnitErr_Initialized;
    if (element > kInputBus) return kAudioUnitErr_InvalidElement;
    if (scope == AudioUnitScope::Global) return kAudioUnitErr_InvalidScope;
    // Only the microphone side exists; enabling the output side is accepted and does nothing.
    if (scope == AudioUnitScope::Input && element == kInputBus) mInputEnabled = enable != 0;
    return noErr;
}

OSStatus InputAudioUnit::setStreamFormat(AudioUnitScope scope, std::uint32_t element,
                                         const AudioStreamDescription& format) {
    std::lock_guard lock(mControlMutex);
    if (mInitialized) return kAudioUnitErr_Initialized;
    if (element > kInputBus) return kAudioUnitErr_InvalidElement;
    // What the input bus hands to the application is its output side.
    if (scope != AudioUnitScope::Output || element != kInputBus) return noErr;
    if (!isInterleavedS16(format) || !(format.sampleRate >= 1000 && format.sampleRate <= 384000))
        return kAudioUnitErr_FormatNotSupported;
    mFormat = format;
    mFormatSet = true;
    return noErr;
}

OSStatus InputAudioUnit::setInputCallback(AudioUnitScope scope, std::uint32_t element, InputCallback callback) {
    std::lock_guard lock(mControlMutex);
    if (mInitialized) return kAudioUnitErr_Initialized;
    if (scope != AudioUnitScope::Global) return kAudioUnitErr_InvalidScope;
    if (element != kInputBus) return kAudioUnitErr_InvalidElement;
    mCallback = std::move(callback);
    return noErr;
}

OSStatus InputAudioUnit::initialize() {
    std::lock_guard lock(mControlMutex);
    if (mInitialized) return noErr;
    if (!mInputEnabled) {
        setError("the input bus is not enabled");
        return kAudioUnitErr_NoConnection;
    }
    if (!mFormatSet) {
        setError("no stream format was set for the input bus");
        return kAudioUnitErr_FormatNotSupported;
    }
    std::string error;
    std::size_t frames = 0;
    if (!openSource(mFormat, &frames, &error) || frames == 0) {
        setError(error.empty() ? "the input could not be opened" : error);
        return kAudioUnitErr_FailedInitialization;
    }
    mPeriodFrames = frames;
    mPeriod.assign(frames * mFormat.bytesPerFrame, 0);
    mInitialized = true;
    AudioSession::sharedInstance().setCurrentRouteInputs({{mPortType, mPortName}});
    return noErr;
}

OSStatus InputAudioUnit::start() {
    if (tDelivering == this) return kAudioUnitErr_CannotDoInCurrentContext;
    std::lock_guard lock(mControlMutex);
    if (!mInitialized) return kAudioUnitErr_Uninitialized;
    if (mRunning) return noErr;
    mSampleTime = 0;
    mLostReported = false;
    std::string error;
    if (!startSource(&error)) {
        // A start that fails loses the input as surely as a device that goes away mid-run.
        reportLost(error.empty() ? "the input could not be started" : error);
        return kAudioUnitErr_NoConnection;
    }
    mRunning = true;
    return noErr;
}

OSStatus InputAudioUnit::stop() {
    // Stopping waits for the delivery thread, which is the caller here: refuse rather than hang.
    if (tDelivering == this) return kAudioUnitErr_CannotDoInCurrentContext;
    std::lock_guard lock(mControlMutex);
    if (!mRunning) return noErr;
    stopSource();
    mRunning = false;
    return noErr;
}

OSStatus InputAudioUnit::render(AudioUnitRenderActionFlags&, const AudioTimeStamp&, std::uint32_t busNumber,
                                std::uint32_t numberFrames, AudioBufferList& data) {
    if (!mInitialized) return kAudioUnitErr_Uninitialized;
    if (tDelivering != this) return kAudioUnitErr_CannotDoInCurrentContext;
    if (busNumber != kInputBus) return kAudioUnitErr_InvalidElement;
    if (numberFrames != tDeliveringFrames || data.numberBuffers == 0 ||
        data.numberBuffers > AudioBufferList::kMaxBuffers)
        return kAudio_ParamError;
    AudioBuffer& buffer = data.buffers[0];
    const auto bytes = static_cast<std::uint32_t>(numberFrames * mFormat.bytesPerFrame);
    if (buffer.data == nullptr) {
        buffer.data = mPeriod.data();
    } else {
        if (buffer.dataByteSize < bytes) return kAudio_ParamError;
        std::memcpy(buffer.data, mPeriod.data(), bytes);
    }
    buffer.dataByteSize = bytes;
    buffer.numberChannels = mFormat.channelsPerFrame;
    return noErr;
}

void InputAudioUnit::deliverPeriod() {
    const auto frames = static_cast<std::uint32_t>(mPeriodFrames);
    AudioTimeStamp timeStamp{mSampleTime, monotonicNanoseconds()};
    mSampleTime += frames;
    if (!mCallback) return;
    AudioUnitRenderActionFlags flags = 0;
    tDelivering = this;
    tDeliveringFrames = frames;
    mCallback(flags, timeStamp, kInputBus, frames);
    tDelivering = nullptr;
}

void InputAudioUnit::reportLost(const std::string& reason) {
    if (mLostReported.exchange(true)) return;
    setError(reason);
    Console::log("Audio input lost (" + mPortName + "): " + reason);
    AudioSession::sharedInstance().inputLost(reason);
}

void InputAudioUnit::setError(std::string text) {
    std::lock_guard lock(mErrorMutex);
    mError = std::move(text);
}

std::string InputAudioUnit::errorDescription() const {
    std::lock_guard lock(mErrorMutex);
    return mError;
}

} // namespace platform
