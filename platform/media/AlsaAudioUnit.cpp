#include "platform/media/AlsaAudioUnit.h"

#include <alsa/asoundlib.h>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <vector>
#include "ZQPlatform/Console.h"
#include "platform/media/AudioInputUnits.h"

namespace platform {

namespace {

// alsa-lib prints its own diagnostics on stderr; the kit reports failures itself, with the reason,
// so they are dropped.
void dropAlsaDiagnostic(const char*, int, const char*, int, const char*, ...) {}

void silenceAlsaDiagnostics() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&dropAlsaDiagnostic); });
}

std::string alsaError(long code) { return snd_strerror(static_cast<int>(code)); }

// A device name as one quoted argument of ALSA's plug layer.
std::string plugName(const std::string& device) {
    std::string quoted;
    for (char c : device) {
        if (c == '"' || c == '\\') quoted += '\\';
        quoted += c;
    }
    return "plug:\"" + quoted + "\"";
}

bool configure(snd_pcm_t* pcm, const AudioStreamDescription& format, std::size_t* periodFrames, std::string* why) {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    int rc = 0;
    auto step = [&](int result, const char* what) {
        if (result < 0 && rc >= 0) {
            rc = result;
            *why = std::string(what) + ": " + alsaError(result);
        }
    };
    step(snd_pcm_hw_params_any(pcm, hw), "no configuration");
    // The rate exactly as asked: a device that cannot goes through the plug layer, which converts.
    step(snd_pcm_hw_params_set_rate_resample(pcm, hw, 0), "resampling");
    step(snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED), "interleaved access");
    step(snd_pcm_hw_params_set_format(pcm, hw, SND_PCM_FORMAT_S16), "16-bit samples");
    step(snd_pcm_hw_params_set_channels(pcm, hw, format.channelsPerFrame), "channel count");
    step(snd_pcm_hw_params_set_rate(pcm, hw, static_cast<unsigned>(format.sampleRate), 0), "sample rate");
    if (rc < 0) return false;
    snd_pcm_uframes_t period = kInputPeriodFrames;
    snd_pcm_uframes_t buffer = 4 * kInputPeriodFrames;
    int dir = 0;
    step(snd_pcm_hw_params_set_period_size_near(pcm, hw, &period, &dir), "period size");
    step(snd_pcm_hw_params_set_buffer_size_near(pcm, hw, &buffer), "buffer size");
    step(snd_pcm_hw_params(pcm, hw), "hardware parameters");
    if (rc < 0) return false;
    snd_pcm_hw_params_get_period_size(hw, &period, &dir);
    *periodFrames = period;

    snd_pcm_sw_params_t* sw = nullptr;
    snd_pcm_sw_params_alloca(&sw);
    step(snd_pcm_sw_params_current(pcm, sw), "software parameters");
    step(snd_pcm_sw_params_set_avail_min(pcm, sw, period), "wake-up threshold");
    step(snd_pcm_sw_params(pcm, sw), "software parameters");
    return rc >= 0;
}

class AlsaCapturePcm final : public CapturePcm {
public:
    explicit AlsaCapturePcm(snd_pcm_t* pcm) : mPcm(pcm) {
        int count = snd_pcm_poll_descriptors_count(pcm);
        mFds.resize(static_cast<std::size_t>(std::max(count, 0)) + 1);
    }
    ~AlsaCapturePcm() override { snd_pcm_close(mPcm); }

    long read(std::uint8_t* into, std::size_t frames) override { return snd_pcm_readi(mPcm, into, frames); }

    void wait(int wakeFd, int timeoutMs) override {
        int count = snd_pcm_poll_descriptors(mPcm, mFds.data() + 1, static_cast<unsigned>(mFds.size() - 1));
        mFds[0] = {wakeFd, POLLIN, 0};
        auto began = std::chrono::steady_clock::now();
        int ready = ::poll(mFds.data(), static_cast<nfds_t>(std::max(count, 0) + 1), timeoutMs);
        if (ready <= 0 || (mFds[0].revents & POLLIN)) return;
        unsigned short events = 0;
        snd_pcm_poll_descriptors_revents(mPcm, mFds.data() + 1, static_cast<unsigned>(std::max(count, 0)), &events);
        // Some plugins wake their descriptors without frames to read; pause briefly then, so the
        // thread does not spin.
        if (events == 0 && std::chrono::steady_clock::now() - began < std::chrono::milliseconds(1)) {
            pollfd wake{wakeFd, POLLIN, 0};
            ::poll(&wake, 1, 2);
        }
    }

    int recover(int error) override {
        int rc = snd_pcm_recover(mPcm, error, 1);
        return rc < 0 ? rc : snd_pcm_start(mPcm);
    }

    int start() override {
        if (snd_pcm_state(mPcm) != SND_PCM_STATE_PREPARED) {
            int rc = snd_pcm_prepare(mPcm);
            if (rc < 0) return rc;
        }
        return snd_pcm_start(mPcm);
    }

    void drop() override { snd_pcm_drop(mPcm); }

private:
    snd_pcm_t* mPcm;
    std::vector<pollfd> mFds; // the wake-up descriptor, then the PCM's
};

// Real-time priority for the capture thread where the system grants it; normal priority otherwise.
void raiseToRealTime() {
    sched_param param{};
    param.sched_priority = std::min(10, sched_get_priority_max(SCHED_FIFO));
    (void)pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

} // namespace

std::unique_ptr<CapturePcm> AlsaAudioUnit::openAlsa(const std::string& device, const AudioStreamDescription& format,
                                                    std::size_t* periodFrames, std::string* error) {
    silenceAlsaDiagnostics();
    snd_pcm_t* pcm = nullptr;
    int rc = snd_pcm_open(&pcm, device.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (rc < 0) {
        *error = "cannot open ALSA capture device '" + device + "': " + alsaError(rc);
        return nullptr;
    }
    std::string why;
    if (configure(pcm, format, periodFrames, &why)) return std::make_unique<AlsaCapturePcm>(pcm);
    snd_pcm_close(pcm);
    // The device offers another sample format, rate or channel count: ALSA's plug layer converts.
    std::string plugWhy;
    rc = snd_pcm_open(&pcm, plugName(device).c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (rc >= 0 && configure(pcm, format, periodFrames, &plugWhy)) return std::make_unique<AlsaCapturePcm>(pcm);
    if (rc >= 0) snd_pcm_close(pcm);
    *error = "ALSA capture device '" + device + "' cannot record 16-bit PCM at " +
             std::to_string(static_cast<unsigned>(format.sampleRate)) + " Hz, " +
             std::to_string(format.channelsPerFrame) + " channel(s): " + why;
    return nullptr;
}

AlsaAudioUnit::AlsaAudioUnit(std::string device, CapturePcmOpener opener)
    : InputAudioUnit("MicrophoneBuiltIn", device), mDevice(std::move(device)),
      mOpener(opener ? std::move(opener) : CapturePcmOpener(&AlsaAudioUnit::openAlsa)) {}

AlsaAudioUnit::~AlsaAudioUnit() {
    stop();
    mPcm.reset();
    if (mWakeFd >= 0) ::close(mWakeFd);
}

bool AlsaAudioUnit::openSource(const AudioStreamDescription& format, std::size_t* periodFrames, std::string* error) {
    if (mWakeFd < 0) mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mWakeFd < 0) {
        *error = "cannot make the capture thread's wake-up descriptor";
        return false;
    }
    mPcm = mOpener(mDevice, format, periodFrames, error);
    if (!mPcm) return false;
    // Wait at most two periods for data, so a stalled device still lets the thread look around.
    mWaitMs = std::max(10, static_cast<int>(2000.0 * static_cast<double>(*periodFrames) / format.sampleRate));
    return true;
}

bool AlsaAudioUnit::startSource(std::string* error) {
    int rc = mPcm->start();
    if (rc < 0) {
        *error = "cannot start ALSA capture on '" + mDevice + "': " + alsaError(rc);
        return false;
    }
    mStopping = false;
    mThread = std::thread(&AlsaAudioUnit::run, this);
    return true;
}

void AlsaAudioUnit::stopSource() {
    mStopping = true;
    std::uint64_t one = 1;
    (void)!::write(mWakeFd, &one, sizeof one);
    if (mThread.joinable()) mThread.join();
    std::uint64_t drained = 0;
    (void)!::read(mWakeFd, &drained, sizeof drained);
    mPcm->drop();
}

void AlsaAudioUnit::run() {
    pthread_setname_np(pthread_self(), "zq.mic.alsa");
    raiseToRealTime();
    const std::size_t frameBytes = format().bytesPerFrame;
    const std::size_t period = periodFrames();
    std::size_t filled = 0;
    while (!mStopping.load()) {
        long n = mPcm->read(periodBuffer().data() + filled * frameBytes, period - filled);
        if (n > 0) {
            filled += static_cast<std::size_t>(n);
            if (filled >= period) {
                deliverPeriod();
                filled = 0;
            }
            continue;
        }
        if (n == 0 || n == -EAGAIN) {
            mPcm->wait(mWakeFd, mWaitMs);
            continue;
        }
        if (n == -EPIPE || n == -ESTRPIPE) {
            int rc = mPcm->recover(static_cast<int>(n));
            if (rc >= 0) {
                if (n == -EPIPE && mOverruns.fetch_add(1) == 0)
                    Console::log("ALSA capture on '" + mDevice + "' overran: the capture thread fell behind");
                continue;
            }
            n = rc;
        }
        reportLost("ALSA capture device '" + mDevice + "' failed: " + alsaError(n));
        return;
    }
}

std::unique_ptr<AudioUnit> makeAlsaAudioUnit(const std::string& device) {
    return std::make_unique<AlsaAudioUnit>(device);
}

} // namespace platform
