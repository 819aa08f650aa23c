#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/NotificationCenter.h"
#include "platform/media/AudioUnit.h"
#include "session/ZVCaptureSource.h"

// The microphone: records through the voice I/O unit (whose input is the process's
// platform::AudioInputSource) and hands every rendered block of 16-bit interleaved PCM to its
// delegate on the unit's real-time thread. Sets up the shared audio session, stops and restarts
// around audio interruptions, silences the audio when muted, and posts
// "ZVAudioComponentFailedToCreateNotification" on the main queue when the input cannot be made.
class ZVAudioCapture final : public ZVAudioCaptureSource, public std::enable_shared_from_this<ZVAudioCapture> {
public:
    // initWithAudioConfiguration: the capture comes back set up but not running. Any thread.
    static std::shared_ptr<ZVAudioCapture> create(std::shared_ptr<ZQLiveAudioConfiguration> configuration);
    // Stops and disposes of the unit, synchronously on the task queue. Any thread.
    ~ZVAudioCapture() override;
    ZVAudioCapture(const ZVAudioCapture&) = delete;
    ZVAudioCapture& operator=(const ZVAudioCapture&) = delete;

    // Any thread.
    void setDelegate(std::weak_ptr<ZVAudioCaptureDelegate> delegate) override;
    std::shared_ptr<ZVAudioCaptureDelegate> delegate() const;

    // The requested state. Setting true starts the unit asynchronously on the task queue, false
    // stops it synchronously there; the same value again does nothing. Any thread but the
    // delegate's callback (a stop waits for that callback to end).
    bool running() const override { return mRunning.load(); }
    void setRunning(bool running) override;
    // The state the task queue's start and stop steps set.
    bool isRunning() const { return mIsRunning.load(); }

    // Muted blocks are still delivered, all zero. Any thread.
    bool muted() const override { return mMuted.load(); }
    void setMuted(bool muted) override { mMuted = muted; }

    const std::shared_ptr<ZQLiveAudioConfiguration>& configuration() const { return mConfiguration; }
    const std::shared_ptr<platform::DispatchQueue>& taskQueue() const { return mTaskQueue; }
    // The I/O unit and the component it was made from; null when they could not be made.
    platform::AudioUnit* componetInstance() const { return mComponetInstance.get(); }
    const std::shared_ptr<platform::AudioComponent>& component() const { return mComponent; }

private:
    explicit ZVAudioCapture(std::shared_ptr<ZQLiveAudioConfiguration> configuration);
    void setUp();

    // The unit's input callback: renders the period and hands it to the delegate.
    static platform::OSStatus handleInputBuffer(ZVAudioCapture* capture, platform::AudioUnitRenderActionFlags& flags,
                                                const platform::AudioTimeStamp& timeStamp, std::uint32_t busNumber,
                                                std::uint32_t numberFrames);
    void handleInterruption(const platform::Notification& notification);
    void handleRouteChange(const platform::Notification& notification);
    void handleAudioComponentCreationFailure(const std::string& reason);

    // Where the unit's callback finds its capture; cleared when the capture goes, after which the
    // callback answers -1 and touches nothing.
    struct CallbackTarget {
        std::atomic<ZVAudioCapture*> capture{nullptr};
    };

    const std::shared_ptr<ZQLiveAudioConfiguration> mConfiguration;
    std::shared_ptr<platform::DispatchQueue> mTaskQueue;
    std::shared_ptr<CallbackTarget> mCallbackTarget = std::make_shared<CallbackTarget>();
    std::shared_ptr<platform::AudioComponent> mComponent;
    // Made in setUp(); used and disposed of on the task queue, rendered from on the unit's thread.
    std::unique_ptr<platform::AudioUnit> mComponetInstance;
    platform::NotificationCenter::Registration mRouteChangeObserver;
    platform::NotificationCenter::Registration mInterruptionObserver;
    mutable std::mutex mDelegateMutex;
    std::weak_ptr<ZVAudioCaptureDelegate> mDelegate; // guarded by mDelegateMutex
    std::atomic<bool> mMuted{false};
    std::atomic<bool> mRunning{false};
    std::atomic<bool> mIsRunning{false};
};
