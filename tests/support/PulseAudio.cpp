#include "tests/support/PulseAudio.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <glob.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace zqtest {
namespace {

constexpr const char* kPulseAudio = "/usr/bin/pulseaudio";

bool alsaPulsePluginInstalled() {
    glob_t found{};
    bool any = ::glob("/usr/lib/*/alsa-lib/libasound_module_pcm_pulse.so", 0, nullptr, &found) == 0 &&
               found.gl_pathc > 0;
    ::globfree(&found);
    return any;
}

bool socketAccepts(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        ::close(fd);
        return false;
    }
    path.copy(addr.sun_path, path.size());
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

} // namespace

PulseAudioServer::PulseAudioServer() = default;

PulseAudioServer::~PulseAudioServer() { stop(); }

bool PulseAudioServer::available() { return ::access(kPulseAudio, X_OK) == 0 && alsaPulsePluginInstalled(); }

bool PulseAudioServer::start(double timeoutSeconds) {
    if (!available()) {
        mLastError = "pulseaudio or ALSA's pulse plugin is not installed (run scripts/setup)";
        return false;
    }
    stop();
    const std::string& dir = mDir.path();
    {
        std::ofstream conf(mDir.file("server.pa"), std::ios::trunc);
        conf << "load-module module-null-sink sink_name=zq_null rate=48000 channels=2\n"
             << "load-module module-sine sink=zq_null frequency=440\n"
             << "load-module module-native-protocol-unix auth-anonymous=1 socket=" << mDir.file("native") << "\n";
    }
    ::mkdir(mDir.file("home").c_str(), 0700);
    ::mkdir(mDir.file("run").c_str(), 0700);
    // No system or user configuration (-n, -F), no exit when idle, logs in the folder. As root the
    // server warns but runs; it never spawns or finds another one through the private folders.
    mProcess = ChildProcess({"env", "HOME=" + mDir.file("home"), "XDG_RUNTIME_DIR=" + mDir.file("run"),
                             "XDG_CONFIG_HOME=" + mDir.file("home"), kPulseAudio, "-n", "-F", mDir.file("server.pa"),
                             "--daemonize=no", "--exit-idle-time=-1", "--disallow-exit", "--use-pid-file=no",
                             "--disable-shm=yes", "--log-target=file:" + dir + "/pulse.log"});
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!mProcess.running()) {
            mLastError = "pulseaudio exited at start: " + readFile(dir + "/pulse.log");
            return false;
        }
        if (socketAccepts(mDir.file("native"))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    mLastError = "pulseaudio did not accept clients in time: " + readFile(dir + "/pulse.log");
    stop();
    return false;
}

void PulseAudioServer::kill() {
    if (mProcess.pid() > 0) mProcess.stop(SIGKILL);
}

void PulseAudioServer::stop() {
    if (mProcess.pid() > 0) mProcess.stop(SIGTERM);
}

bool PulseAudioServer::running() { return mProcess.running(); }

std::string PulseAudioServer::alsaPcm(const std::string& name) const {
    return "pcm." + name + " { type pulse; server \"" + serverAddress() + "\"; device \"" + kMonitorSource + "\" }\n";
}

AlsaTestConfig::AlsaTestConfig(const std::string& definitions) : mPath(mDir.file("asound.conf")) {
    std::ofstream conf(mPath, std::ios::trunc);
    conf << "</usr/share/alsa/alsa.conf>\n" << definitions << "\n";
    conf.close();
    if (const char* previous = std::getenv("ALSA_CONFIG_PATH")) {
        mHadPrevious = true;
        mPrevious = previous;
    }
    ::setenv("ALSA_CONFIG_PATH", mPath.c_str(), 1);
}

AlsaTestConfig::~AlsaTestConfig() {
    if (mHadPrevious)
        ::setenv("ALSA_CONFIG_PATH", mPrevious.c_str(), 1);
    else
        ::unsetenv("ALSA_CONFIG_PATH");
}

} // namespace zqtest
