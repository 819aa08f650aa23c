#include "tests/support/NetworkNamespace.h"

#include <atomic>
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#include "tests/support/TestUtil.h"

namespace zqtest {

NetworkNamespace::NetworkNamespace() {
    static std::atomic<int> counter{0};
    mName = "zqtest-" + std::to_string(::getpid()) + "-" + std::to_string(++counter);
    std::string output;
    if (runCommand("ip netns add " + mName + " 2>&1", &output) != 0) {
        mError = "cannot create a network namespace (needs root): " + output;
        return;
    }
    mAdded = true;
    if (run("ip link set lo up") != 0) {
        mError = "cannot bring up the namespace's loopback";
        return;
    }
    mCreated = true;
}

NetworkNamespace::~NetworkNamespace() {
    leave();
    if (mAdded) runCommand("ip netns delete " + mName + " 2>/dev/null");
}

int NetworkNamespace::run(const std::string& command, std::string* output) const {
    // The command goes inside single quotes: no single quote of its own.
    if (command.find('\'') != std::string::npos) return -1;
    return runCommand("ip netns exec " + mName + " sh -c '" + command + "' 2>&1", output);
}

bool NetworkNamespace::enter() {
    if (!mCreated) return false;
    if (mOriginal >= 0) return true;
    int original = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int target = ::open(("/run/netns/" + mName).c_str(), O_RDONLY | O_CLOEXEC);
    bool entered = original >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
    if (target >= 0) ::close(target);
    if (!entered) {
        if (original >= 0) ::close(original);
        mError = "cannot enter the network namespace";
        return false;
    }
    mOriginal = original;
    return true;
}

void NetworkNamespace::leave() {
    if (mOriginal < 0) return;
    ::setns(mOriginal, CLONE_NEWNET);
    ::close(mOriginal);
    mOriginal = -1;
}

} // namespace zqtest
