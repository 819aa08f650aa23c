#include "tests/support/TestUtil.h"

#include <arpa/inet.h>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Compiled in by the test build; a benchmark that borrows these helpers falls back to the
// working folder.
#ifndef ZQ_TEST_BUILD_DIR
#define ZQ_TEST_BUILD_DIR "."
#endif
#ifndef ZQ_TEST_SOURCE_DIR
#define ZQ_TEST_SOURCE_DIR "."
#endif

namespace zqtest {

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zqtest-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    mPath = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(mPath, ec);
}

int freeLoopbackPort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    ::close(fd);
    return ntohs(addr.sin_port);
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int runCommand(const std::string& command, std::string* output) {
    FILE* pipe = ::popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buffer{};
    std::string text;
    size_t n;
    while ((n = std::fread(buffer.data(), 1, buffer.size(), pipe)) > 0) text.append(buffer.data(), n);
    int status = ::pclose(pipe);
    if (output) *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

ChildProcess::ChildProcess(const std::vector<std::string>& argv) : ChildProcess(argv, -1, -1) {}

ChildProcess::ChildProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd) {
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    mPid = ::fork();
    if (mPid == 0) {
        if (stdinFd >= 0) ::dup2(stdinFd, STDIN_FILENO);
        if (stdoutFd >= 0) ::dup2(stdoutFd, STDOUT_FILENO);
        ::execvp(args[0], args.data());
        ::_exit(127);
    }
}

ChildProcess::~ChildProcess() {
    if (mPid > 0) stop();
}

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : mPid(other.mPid) { other.mPid = -1; }

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
    if (this != &other) {
        if (mPid > 0) stop();
        mPid = other.mPid;
        other.mPid = -1;
    }
    return *this;
}

bool ChildProcess::running() {
    if (mPid <= 0) return false;
    int status;
    return ::waitpid(mPid, &status, WNOHANG) == 0;
}

int ChildProcess::stop(int signal) {
    if (mPid <= 0) return -1;
    ::kill(mPid, signal);
    int status = 0;
    for (int i = 0; i < 100; ++i) {
        pid_t r = ::waitpid(mPid, &status, WNOHANG);
        if (r == mPid || (r < 0 && errno == ECHILD)) {
            mPid = -1;
            return status;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(mPid, SIGKILL);
    ::waitpid(mPid, &status, 0);
    mPid = -1;
    return status;
}

std::string buildDir() {
    const char* dir = std::getenv("ZQ_TEST_BINARY_DIR");
    return dir ? dir : ZQ_TEST_BUILD_DIR;
}

std::string sourceDir() {
    return ZQ_TEST_SOURCE_DIR;
}

} // namespace zqtest
