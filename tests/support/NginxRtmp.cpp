#include "tests/support/NginxRtmp.h"

#include <arpa/inet.h>
#include <chrono>
#include <csignal>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace zqtest {
namespace {

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kRtmpModule = "/usr/lib/nginx/modules/ngx_rtmp_module.so";
constexpr const char* kStreamModule = "/usr/lib/nginx/modules/ngx_stream_module.so";

bool portAccepts(int port) {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    ::close(fd);
    return ok;
}

} // namespace

NginxRtmp::NginxRtmp(bool record) : mPort(freeLoopbackPort()), mRecord(record) {}

NginxRtmp::~NginxRtmp() { stop(); }

bool NginxRtmp::available() { return ::access(kNginx, X_OK) == 0 && ::access(kRtmpModule, R_OK) == 0; }

bool NginxRtmp::tlsAvailable() { return available() && ::access(kStreamModule, R_OK) == 0; }

void NginxRtmp::setTlsFrontEnd(TlsFrontEnd tls) {
    mTls = std::move(tls);
    if (mTlsPort == 0) mTlsPort = freeLoopbackPort();
}

std::string NginxRtmp::tlsPublishUrl(const std::string& name, const std::string& host) const {
    return "rtmps://" + host + ":" + std::to_string(mTlsPort) + "/live/" + name;
}

void NginxRtmp::writeConfig() {
    const std::string& dir = mDir.path();
    std::ofstream conf(mDir.file("nginx.conf"), std::ios::trunc);
    // One process in the foreground, everything it writes kept inside the temporary folder.
    conf << "load_module " << kRtmpModule << ";\n";
    if (mTls) conf << "load_module " << kStreamModule << ";\n";
    conf
         << "daemon off;\n"
         << "master_process off;\n"
         << "error_log " << dir << "/error.log info;\n"
         << "pid " << dir << "/nginx.pid;\n"
         << "events { worker_connections 64; }\n"
         << "rtmp {\n"
         << "  server {\n"
         << "    listen 127.0.0.1:" << mPort << ";\n"
         << "    application live {\n"
         << "      live on;\n";
    if (mRecord) {
        conf << "      record all;\n"
             << "      record_path " << dir << ";\n"
             << "      record_unique off;\n";
    }
    conf << "    }\n"
         << "  }\n"
         << "}\n";
    if (mTls) {
        conf << "stream {\n"
             << "  server {\n"
             << "    listen 127.0.0.1:" << mTlsPort << " ssl;\n"
             << "    ssl_certificate " << mTls->certificate << ";\n"
             << "    ssl_certificate_key " << mTls->key << ";\n"
             << "    ssl_protocols " << mTls->protocols << ";\n"
             << "    proxy_pass 127.0.0.1:" << (mTls->upstreamPort ? mTls->upstreamPort : mPort) << ";\n"
             << "  }\n"
             << "}\n";
    }
}

bool NginxRtmp::waitUntilAccepting(double timeoutSeconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeoutSeconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (!mProcess.running()) return false;
        if (portAccepts(mPort) && (!mTls || portAccepts(mTlsPort))) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool NginxRtmp::start(double timeoutSeconds) {
    if (!available() || (mTls && !tlsAvailable())) {
        mLastError = "nginx or its RTMP or stream module is not installed (run scripts/setup)";
        return false;
    }
    stop();
    // A first start may lose its port to another process between picking and binding it; a restart
    // must keep the port (the publisher reconnects to the same URL), so it only waits and retries.
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (!mStartedOnce && attempt > 0) {
            mPort = freeLoopbackPort();
            if (mTls) mTlsPort = freeLoopbackPort();
        }
        writeConfig();
        mProcess = ChildProcess({kNginx, "-p", mDir.path() + "/", "-c", mDir.file("nginx.conf"), "-e",
                                 mDir.file("error.log")});
        if (waitUntilAccepting(timeoutSeconds)) {
            mStartedOnce = true;
            mLastError.clear();
            return true;
        }
        mProcess.stop(SIGKILL);
        if (mStartedOnce) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    mLastError = "nginx did not accept connections on port " + std::to_string(mPort) + ": " + errorLog();
    return false;
}

void NginxRtmp::stop() {
    if (mProcess.pid() > 0) mProcess.stop(SIGTERM);
}

void NginxRtmp::kill() {
    if (mProcess.pid() > 0) mProcess.stop(SIGKILL);
}

bool NginxRtmp::running() { return mProcess.running(); }

std::string NginxRtmp::publishUrl(const std::string& name) const {
    return "rtmp://127.0.0.1:" + std::to_string(mPort) + "/live/" + name;
}

std::string NginxRtmp::recordingPath(const std::string& name) const { return mDir.file(name + ".flv"); }

std::string NginxRtmp::errorLog() const { return readFile(mDir.file("error.log")); }

} // namespace zqtest
