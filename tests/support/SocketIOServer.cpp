#include "tests/support/SocketIOServer.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace zqtest {
namespace {

std::string serverFolder() { return sourceDir() + "/tests/support/socketio"; }

std::string milliseconds(double seconds) { return std::to_string(static_cast<long>(seconds * 1000)); }

} // namespace

SocketIOServer::SocketIOServer(Options options) : mOptions(std::move(options)) {}

SocketIOServer::~SocketIOServer() { endProcess(SIGKILL); }

bool SocketIOServer::available(std::string* missing) {
    std::string why;
    if (runCommand("command -v node >/dev/null 2>&1") != 0) {
        why = "node is not installed";
    } else if (::access((serverFolder() + "/node_modules/socket.io/package.json").c_str(), R_OK) != 0) {
        why = "npm packages of tests/support/socketio are not installed";
    }
    if (missing) *missing = why + " (run scripts/setup)";
    return why.empty();
}

bool SocketIOServer::start(double timeoutSeconds) {
    endProcess(SIGKILL);
    if (!available(&mLastError)) return false;
    int in[2];
    int out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) {
        ::close(in[0]);
        ::close(in[1]);
        return false;
    }
    std::vector<std::string> argv = {"node", serverFolder() + "/server.js",
                                     "--port", std::to_string(mPort),
                                     "--ping-interval", milliseconds(mOptions.pingInterval),
                                     "--ping-timeout", milliseconds(mOptions.pingTimeout)};
    if (!mOptions.certFile.empty()) {
        argv.insert(argv.end(), {"--tls-cert", mOptions.certFile, "--tls-key", mOptions.keyFile});
    }
    std::size_t since = eventCount();
    {
        std::lock_guard lock(mMutex);
        mExited = false;
    }
    mProcess = ChildProcess(argv, in[0], out[1]);
    ::close(in[0]);
    ::close(out[1]);
    mStdin = in[1];
    mReader = std::thread([this, fd = out[0]] { readEvents(fd); });

    auto listening = [](const nlohmann::json& e) { return e.value("event", "") == "listening"; };
    if (!waitForEvent(listening, since, timeoutSeconds)) {
        mLastError = "the socket.io server did not start";
        endProcess(SIGKILL);
        return false;
    }
    mPort = find(listening, since)->at("port").get<int>();
    return true;
}

void SocketIOServer::readEvents(int fd) {
    std::string pending;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0) break;
        pending.append(buffer, static_cast<std::size_t>(n));
        for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
            auto event = nlohmann::json::parse(pending.substr(0, end), nullptr, false);
            pending.erase(0, end + 1);
            if (event.is_discarded()) continue;
            std::lock_guard lock(mMutex);
            mEvents.push_back(std::move(event));
            mChanged.notify_all();
        }
    }
    ::close(fd);
    std::lock_guard lock(mMutex);
    mExited = true;
    mChanged.notify_all();
}

void SocketIOServer::endProcess(int signal) {
    if (mStdin >= 0) {
        ::close(mStdin);
        mStdin = -1;
    }
    mProcess.stop(signal);
    mProcess = ChildProcess();
    if (mReader.joinable()) mReader.join();
}

void SocketIOServer::stop() {
    resume(); // a paused process would not act on SIGTERM
    endProcess(SIGTERM);
}
void SocketIOServer::kill() { endProcess(SIGKILL); }
void SocketIOServer::pause() {
    if (mProcess.pid() > 0) ::kill(mProcess.pid(), SIGSTOP);
}
void SocketIOServer::resume() {
    if (mProcess.pid() > 0) ::kill(mProcess.pid(), SIGCONT);
}

std::string SocketIOServer::url(const std::string& path) const {
    return std::string(mOptions.certFile.empty() ? "http" : "https") + "://127.0.0.1:" + std::to_string(mPort) + path;
}

bool SocketIOServer::command(const nlohmann::json& command, double timeoutSeconds) {
    if (mStdin < 0) return false;
    std::size_t since = eventCount();
    std::string line = command.dump() + "\n";
    if (::write(mStdin, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return false;
    std::string name = command.at("cmd");
    return waitForEvent([&](const nlohmann::json& e) { return e.value("event", "") == "done" && e.value("cmd", "") == name; },
                        since, timeoutSeconds);
}

bool SocketIOServer::waitForEvent(const std::function<bool(const nlohmann::json&)>& match, std::size_t since,
                                  double seconds) {
    std::unique_lock lock(mMutex);
    auto found = [&] {
        for (std::size_t i = since; i < mEvents.size(); ++i) {
            if (match(mEvents[i])) return true;
        }
        return false;
    };
    mChanged.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return found() || mExited; });
    return found();
}

std::vector<nlohmann::json> SocketIOServer::events() const {
    std::lock_guard lock(mMutex);
    return mEvents;
}

std::size_t SocketIOServer::eventCount() const {
    std::lock_guard lock(mMutex);
    return mEvents.size();
}

std::optional<nlohmann::json> SocketIOServer::find(const std::function<bool(const nlohmann::json&)>& match,
                                                   std::size_t since) const {
    std::lock_guard lock(mMutex);
    for (std::size_t i = since; i < mEvents.size(); ++i) {
        if (match(mEvents[i])) return mEvents[i];
    }
    return std::nullopt;
}

std::vector<nlohmann::json> SocketIOServer::messageArgs(const std::string& name, std::size_t since) const {
    std::vector<nlohmann::json> result;
    std::lock_guard lock(mMutex);
    for (std::size_t i = since; i < mEvents.size(); ++i) {
        const auto& e = mEvents[i];
        if (e.value("event", "") == "message" && e.value("name", "") == name) {
            result.push_back(e["args"].empty() ? nlohmann::json() : e["args"][0]);
        }
    }
    return result;
}

} // namespace zqtest
