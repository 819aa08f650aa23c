#include "tests/probe/FakeReachabilityNetwork.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

namespace zqtest {

std::shared_ptr<FakeReachabilityNetwork> FakeReachabilityNetwork::install() {
    std::shared_ptr<FakeReachabilityNetwork> network(new FakeReachabilityNetwork());
    zqprobe::ReachabilityNetwork::setShared(network);
    return network;
}

FakeReachabilityNetwork::~FakeReachabilityNetwork() {
    if (mFd >= 0) ::close(mFd);
}

void FakeReachabilityNetwork::signalChange() {
    if (mFd < 0) return;
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(mFd, &one, sizeof one);
}

std::optional<QWPushReachabilityFlags> FakeReachabilityNetwork::flagsFor(const zqprobe::ReachabilityTarget& target) {
    asked.push_back(target);
    return flags;
}

int FakeReachabilityNetwork::openChangeWatch() {
    if (watchFails) return -1;
    ++watchesOpen;
    mFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    return mFd;
}

void FakeReachabilityNetwork::drainChangeWatch(int fd) {
    ++drains;
    std::uint64_t count;
    [[maybe_unused]] auto n = ::read(fd, &count, sizeof count);
}

void FakeReachabilityNetwork::closeChangeWatch(int fd) {
    --watchesOpen;
    ::close(fd);
    if (fd == mFd) mFd = -1;
}

} // namespace zqtest
