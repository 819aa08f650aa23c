#include "capture/ZVAudioCapture.h"

#include <cstring>
#include "ZQLiveKit/AudioInput.h"
#include "ZQLiveKit/AudioSession.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQPlatform/Console.h"
#include "session/ZQLiveSessionParts.h"

using namespace platform;

namespace {

constexpr const char* kTaskQueueLabel = "com.zqlivekit.audioCapture";
// Mix with others, default to speaker, interrupt spoken audio and mix with others.
constexpr std::uint64_t kSetUpCategoryOptions = 0x19;
// The same, plus allow Bluetooth.
constexpr std::uint64_t kRunningCategoryOptions = 0x1D;

// The capture whose delegate is being called on this thread (its unit's input thread).
thread_local const ZVAudioCapture* tCallingDelegate = nullptr;

void saveLog(const char* text, const char* action) { SaveLogUtil::sharedInstance().saveLog(text, action); }

std::int64_t integerValue(const nlohmann::json& info, const char* key) {
    if (!info.is_object()) return -1;
    auto it = info.find(key);
    return it != info.end() && it->is_number_integer() ? it->get<std::int64_t>() : -1;
}

// The live session makes its microphone through this maker when its capture type has bit 1.
const bool gRegistered = [] {
    ZQLiveSessionParts::registerAudioCapture([](std::shared_ptr<ZQLiveAudioConfiguration> configuration) {
        return std::static_pointer_cast<ZVAudioCaptureSource>(ZVAudioCapture::create(std::move(configuration)));
    });
    return true;
}();

} // namespace

ZVAudioCapture::ZVAudioCapture(std::shared_ptr<ZQLiveAudioConfiguration> configuration)
    : mConfiguration(std::move(configuration)) {}

std::shared_ptr<ZVAudioCapture> ZVAudioCapture::create(std::shared_ptr<ZQLiveAudioConfiguration> configuration) {
    (void)gRegistered;
    std::shared_ptr<ZVAudioCapture> capture(new ZVAudioCapture(std::move(configuration)));
    capture->setUp();
    return capture;
}

void ZVAudioCapture::setUp() {
    mIsRunning = false;
    mTaskQueue = DispatchQueue::createSerial(kTaskQueueLabel);
    mCallbackTarget->capture = this;

    auto& session = AudioSession::sharedInstance();
    auto& center = NotificationCenter::defaultCenter();
    std::weak_ptr<ZVAudioCapture> weak = weak_from_this();
    mRouteChangeObserver = center.addObserver(kAudioSessionRouteChangeNotification, &session, nullptr,
                                              [weak](const Notification& notification) {
                                                  if (auto self = weak.lock()) self->handleRouteChange(notification);
                                              });
    mInterruptionObserver = center.addObserver(kAudioSessionInterruptionNotification, &session, nullptr,
                                               [weak](const Notification& notification) {
                                                   if (auto self = weak.lock()) self->handleInterruption(notification);
                                               });

    const AudioComponentDescription description{kAudioUnitType_Output, kAudioUnitSubType_RemoteIO,
                                                kAudioUnitManufacturer_Apple, 0, 0};
    mComponent = AudioComponent::findNext(description);
    OSStatus status = mComponent ? mComponent->instanceNew(&mComponetInstance) : kAudio_ParamError;
    const auto sampleRate = static_cast<double>(mConfiguration->audioSampleRate());
    if (status != noErr || !mComponetInstance) {
        mComponetInstance.reset();
        // Posted once for this failure: with no unit there is nothing to set up or initialise.
        handleAudioComponentCreationFailure(mComponent ? "the audio input " + mComponent->name() + " cannot be made"
                                                       : "no audio input is available");
    } else {
        AudioUnit& unit = *mComponetInstance;
        unit.setEnableIO(AudioUnitScope::Input, kInputBus, 1);
        unit.setStreamFormat(AudioUnitScope::Output, kInputBus,
                             interleavedS16(sampleRate, static_cast<std::uint32_t>(mConfiguration->numberOfChannels())));
        unit.setInputCallback(AudioUnitScope::Global, kInputBus,
                              [target = mCallbackTarget](AudioUnitRenderActionFlags& flags, const AudioTimeStamp& timeStamp,
                                                         std::uint32_t bus, std::uint32_t frames) {
                                  return handleInputBuffer(target->capture.load(), flags, timeStamp, bus, frames);
                              });
        if (unit.initialize() != noErr) handleAudioComponentCreationFailure(unit.errorDescription());
    }

    // Errors of the audio session are of no consequence to recording.
    session.setPreferredSampleRate(sampleRate);
    session.setCategory(kAudioSessionCategoryPlayAndRecord, kSetUpCategoryOptions);
    session.setActive(true, AudioSessionSetActiveOptionNotifyOthersOnDeactivation); // a no-op, process-wide
    session.setActive(true);
}

ZVAudioCapture::~ZVAudioCapture() {
    mCallbackTarget->capture = nullptr;
    mRouteChangeObserver.reset();
    mInterruptionObserver.reset();
    if (!mComponetInstance) return;
    if (tCallingDelegate == this) {
        // The delegate let go of the last reference from inside the input callback: the unit's
        // thread cannot wait for itself, so another thread stops and disposes of the unit once this
        // callback has returned (later callbacks find no capture and do nothing).
        mIsRunning = false;
        DispatchQueue::global()->async(
            [unit = std::shared_ptr<AudioUnit>(std::move(mComponetInstance))] { unit->stop(); });
        return;
    }
    mTaskQueue->sync([this] {
        mIsRunning = false;
        mComponetInstance->stop();
        mComponetInstance.reset();
        mComponent.reset();
    });
}

void ZVAudioCapture::setDelegate(std::weak_ptr<ZVAudioCaptureDelegate> delegate) {
    std::lock_guard lock(mDelegateMutex);
    mDelegate = std::move(delegate);
}

std::shared_ptr<ZVAudioCaptureDelegate> ZVAudioCapture::delegate() const {
    std::lock_guard lock(mDelegateMutex);
    return mDelegate.lock();
}

void ZVAudioCapture::setRunning(bool running) {
    if (mRunning.exchange(running) == running) return;
    if (running) {
        mTaskQueue->async([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            self->mIsRunning = true;
            saveLog("MicrophoneSource: startRunning", "setRunning");
            AudioSession::sharedInstance().setCategory(kAudioSessionCategoryPlayAndRecord, kRunningCategoryOptions);
            if (self->mComponetInstance) self->mComponetInstance->start();
        });
    } else {
        mTaskQueue->sync([this] {
            mIsRunning = false;
            saveLog("MicrophoneSource: stopRunning", "setRunning");
            if (mComponetInstance) mComponetInstance->stop();
        });
    }
}

OSStatus ZVAudioCapture::handleInputBuffer(ZVAudioCapture* capture, AudioUnitRenderActionFlags& flags,
                                           const AudioTimeStamp& timeStamp, std::uint32_t busNumber,
                                           std::uint32_t numberFrames) {
    if (!capture) return -1;
    // One buffer without memory: the unit renders into its own.
    AudioBufferList list;
    list.numberBuffers = 1;
    list.buffers[0] = AudioBuffer{1, 0, nullptr};
    AudioUnit* unit = capture->mComponetInstance.get();
    OSStatus status = unit ? unit->render(flags, timeStamp, busNumber, numberFrames, list) : kAudioUnitErr_Uninitialized;
    if (capture->mMuted.load()) {
        for (std::uint32_t i = 0; i < list.numberBuffers; ++i)
            if (list.buffers[i].data) std::memset(list.buffers[i].data, 0, list.buffers[i].dataByteSize);
    }
    if (status != noErr) return status;
    auto delegate = capture->delegate();
    if (!delegate) return status;
    ZQBytes pcm(static_cast<const std::uint8_t*>(list.buffers[0].data), list.buffers[0].dataByteSize);
    tCallingDelegate = capture;
    delegate->captureOutputAudioData(*capture, pcm);
    delegate.reset(); // may be the last reference to what owns the capture: nothing of it is touched below
    tCallingDelegate = nullptr;
    return status;
}

void ZVAudioCapture::handleInterruption(const Notification& notification) {
    if (notification.name != kAudioSessionInterruptionNotification) return;
    const std::int64_t type = integerValue(notification.userInfo, kAudioSessionInterruptionTypeKey);
    if (type == AudioSessionInterruptionTypeBegan) {
        if (!mIsRunning.load()) return;
        // isRunning stays true: an interruption that ends with the resume option starts again.
        mTaskQueue->sync([this] {
            saveLog("MicrophoneSource: stopRunning", "handleInterruption");
            if (mComponetInstance) mComponetInstance->stop();
        });
    } else if (type == AudioSessionInterruptionTypeEnded) {
        const std::int64_t option = integerValue(notification.userInfo, kAudioSessionInterruptionOptionKey);
        if (option != AudioSessionInterruptionOptionShouldResume || !mIsRunning.load()) return;
        mTaskQueue->async([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            saveLog("MicrophoneSource: startRunning", "handleInterruption");
            if (self->mComponetInstance) self->mComponetInstance->start();
        });
    }
}

void ZVAudioCapture::handleRouteChange(const Notification& notification) {
    // Recording goes on with whatever input the platform routes now; the change is only noted.
    const std::int64_t reason = integerValue(notification.userInfo, kAudioSessionRouteChangeReasonKey);
    const auto inputs = AudioSession::sharedInstance().currentRoute().inputs;
    Console::log("MicrophoneSource: audio route changed (reason " + std::to_string(reason) + "), input " +
                 (inputs.empty() ? std::string("none") : inputs.front().portName));
}

void ZVAudioCapture::handleAudioComponentCreationFailure(const std::string& reason) {
    Console::log("MicrophoneSource: cannot create the audio input: " + reason);
    DispatchQueue::main()->async([reason] {
        NotificationCenter::defaultCenter().post(kZVAudioComponentFailedToCreateNotification, nullptr,
                                                 {{kZVAudioComponentFailureReasonKey, reason}});
    });
}
