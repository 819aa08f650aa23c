#pragma once
#include <string>
#include <sys/types.h>
#include <vector>

namespace zqtest {

// A fresh folder under $TMPDIR, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return mPath; }
    std::string file(const std::string& name) const { return mPath + "/" + name; }

private:
    std::string mPath;
};

// A TCP port on 127.0.0.1 that was free a moment ago.
int freeLoopbackPort();

// Reads a whole file ("" when it cannot be read).
std::string readFile(const std::string& path);

// Runs a command through /bin/sh, returning its exit status and capturing stdout.
int runCommand(const std::string& command, std::string* output = nullptr);

// A child process started with fork/exec, killed (SIGTERM, then SIGKILL) when the object goes.
class ChildProcess {
public:
    ChildProcess() = default;
    explicit ChildProcess(const std::vector<std::string>& argv);
    // The same with the child's stdin and stdout on the given descriptors (-1 leaves one as it is).
    ChildProcess(const std::vector<std::string>& argv, int stdinFd, int stdoutFd);
    ~ChildProcess();
    ChildProcess(ChildProcess&& other) noexcept;
    ChildProcess& operator=(ChildProcess&& other) noexcept;

    pid_t pid() const { return mPid; }
    bool running();
    // Sends a signal and waits for the process to end; returns its wait status.
    int stop(int signal = 15);

private:
    pid_t mPid = -1;
};

// Directory of the build tree (ZQ_TEST_BINARY_DIR, set by ctest) and of the sources.
std::string buildDir();
std::string sourceDir();

} // namespace zqtest
