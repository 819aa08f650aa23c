#pragma once
#include <condition_variable>
#include <functional>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>
#include "tests/support/TestUtil.h"

namespace zqtest {

// The socket.io 4 server of tests/support/socketio/server.js (npm socket.io, installed by
// scripts/setup), run by the test on a loopback port. It logs what it sees as JSON objects (events())
// and takes commands (command()); the file's head lists both. Real time; for "integration" tests.
class SocketIOServer {
public:
    struct Options {
        double pingInterval = 0.3; // seconds
        double pingTimeout = 0.3;
        // Both set: https with this certificate chain and key.
        std::string certFile;
        std::string keyFile;
    };

    explicit SocketIOServer(Options options);
    SocketIOServer() : SocketIOServer(Options{}) {}
    ~SocketIOServer();
    SocketIOServer(const SocketIOServer&) = delete;
    SocketIOServer& operator=(const SocketIOServer&) = delete;

    // True when node and the server's npm packages are installed; otherwise says what is missing.
    static bool available(std::string* missing = nullptr);

    // Starts the server and waits until it listens. A restart keeps the first start's port. False
    // (reason in lastError()) when it did not come up.
    bool start(double timeoutSeconds = 20);
    // SIGTERM, or SIGKILL as a crash would; the connections drop either way.
    void stop();
    void kill();
    // SIGSTOP / SIGCONT: a server that hangs, then recovers.
    void pause();
    void resume();

    int port() const { return mPort; }
    // "http://127.0.0.1:PORT" + path ("https" with a certificate).
    std::string url(const std::string& path = "") const;

    // Sends a command and waits for the server to confirm it.
    bool command(const nlohmann::json& command, double timeoutSeconds = 10);

    // Every event logged so far, across restarts.
    std::vector<nlohmann::json> events() const;
    std::size_t eventCount() const;
    // The first event at or after index `since` that matches, if any.
    std::optional<nlohmann::json> find(const std::function<bool(const nlohmann::json&)>& match,
                                       std::size_t since = 0) const;
    // The "message" events of one name (at or after `since`), their first argument each.
    std::vector<nlohmann::json> messageArgs(const std::string& name, std::size_t since = 0) const;
    const std::string& lastError() const { return mLastError; }

private:
    void readEvents(int fd);
    bool waitForEvent(const std::function<bool(const nlohmann::json&)>& match, std::size_t since, double seconds);
    void endProcess(int signal);

    Options mOptions;
    int mPort = 0;
    int mStdin = -1;
    ChildProcess mProcess;
    std::thread mReader;
    mutable std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<nlohmann::json> mEvents;
    bool mExited = false; // the running process closed its output
    std::string mLastError;
};

} // namespace zqtest
