#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include "platform/media/InputAudioUnit.h"

namespace platform {

// The PCM calls the ALSA capture thread makes: the ALSA device, or a fake in tests.
class CapturePcm {
public:
    virtual ~CapturePcm() = default;
    // Reads up to `frames` frames (snd_pcm_readi): the number read, -EAGAIN when none is ready,
    // -EPIPE after an overrun, -ESTRPIPE when suspended, another negative errno when the device failed.
    virtual long read(std::uint8_t* into, std::size_t frames) = 0;
    // Waits until frames may be ready, `wakeFd` is readable or `timeoutMs` passed.
    virtual void wait(int wakeFd, int timeoutMs) = 0;
    // Restarts capture after -EPIPE or -ESTRPIPE: 0, or a negative errno when the device cannot go on.
    virtual int recover(int error) = 0;
    // Starts capturing (from the set-up or stopped state): 0 or a negative errno.
    virtual int start() = 0;
    // Stops capturing and drops what was captured.
    virtual void drop() = 0;
};

// Opens a PCM for interleaved S16 at the format's rate and channels and tells its period size.
// Null, with the reason, when it cannot.
using CapturePcmOpener = std::function<std::unique_ptr<CapturePcm>(
    const std::string& device, const AudioStreamDescription& format, std::size_t* periodFrames, std::string* error)>;

// An ALSA capture device as the microphone. The PCM is opened non-blocking when the unit is
// initialised, as 16-bit interleaved at the format's rate and channel count, through ALSA's plug
// layer when the device itself offers another format. A capture thread (real-time priority where
// the system grants it) reads period by period and calls the input callback with each. Overruns
// are recovered and counted; a device that fails (unplugged, server gone) is reported lost once
// and the thread ends; stop() wakes the thread, so it never waits behind a read.
class AlsaAudioUnit final : public InputAudioUnit {
public:
    explicit AlsaAudioUnit(std::string device, CapturePcmOpener opener = {});
    ~AlsaAudioUnit() override;

    // Overruns recovered since the unit was made. Any thread.
    std::uint64_t overrunCount() const { return mOverruns.load(); }

    // The real ALSA opener.
    static std::unique_ptr<CapturePcm> openAlsa(const std::string& device, const AudioStreamDescription& format,
                                                std::size_t* periodFrames, std::string* error);

private:
    bool openSource(const AudioStreamDescription& format, std::size_t* periodFrames, std::string* error) override;
    bool startSource(std::string* error) override;
    void stopSource() override;
    void run();

    const std::string mDevice;
    const CapturePcmOpener mOpener;
    std::unique_ptr<CapturePcm> mPcm;
    int mWakeFd = -1;
    int mWaitMs = 100;
    std::atomic<bool> mStopping{false};
    std::atomic<std::uint64_t> mOverruns{0};
    std::thread mThread;
};

} // namespace platform
