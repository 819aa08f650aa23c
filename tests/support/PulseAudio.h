#pragma once
#include <string>
#include "tests/support/TestUtil.h"

namespace zqtest {

// A private PulseAudio server run by the test itself: its own runtime folder, home and socket,
// nothing shared with a desktop session, usable as root. A 440 Hz sine at half scale plays into a
// null sink ("zq_null", 48 kHz stereo); the sink's monitor ("zq_null.monitor") is then a paced
// capture source that carries the tone, as a sound card's input would. Meant for "integration"
// tests and benchmarks.
class PulseAudioServer {
public:
    PulseAudioServer();
    ~PulseAudioServer();
    PulseAudioServer(const PulseAudioServer&) = delete;
    PulseAudioServer& operator=(const PulseAudioServer&) = delete;

    // True when the server and ALSA's pulse plugin are installed (scripts/setup installs both).
    static bool available();

    // Starts the server and waits until its socket accepts clients. False, with the reason in
    // lastError(), when it did not come up.
    bool start(double timeoutSeconds = 10);
    // Ends the server (SIGKILL: the clients see it vanish, as with a crashed sound server).
    void kill();
    void stop();
    bool running();

    // "unix:/…/native", for a client's server setting.
    std::string serverAddress() const { return "unix:" + mDir.file("native"); }
    static constexpr const char* kMonitorSource = "zq_null.monitor";
    // An ALSA PCM definition named `name` that records from the null sink's monitor.
    std::string alsaPcm(const std::string& name) const;
    const std::string& lastError() const { return mLastError; }

private:
    TempDir mDir;
    ChildProcess mProcess;
    std::string mLastError;
};

// An ALSA configuration of the test's own: the system's, then `definitions` (PCMs in ALSA's
// configuration syntax). ALSA_CONFIG_PATH points at it while the object lives, so no sound card
// or system setting is needed. Make it before any ALSA device is opened, on the test's thread.
class AlsaTestConfig {
public:
    explicit AlsaTestConfig(const std::string& definitions);
    ~AlsaTestConfig();
    AlsaTestConfig(const AlsaTestConfig&) = delete;
    AlsaTestConfig& operator=(const AlsaTestConfig&) = delete;
    const std::string& path() const { return mPath; }

private:
    TempDir mDir;
    std::string mPath;
    std::string mPrevious;
    bool mHadPrevious = false;
};

} // namespace zqtest
