#pragma once
#include <optional>
#include <string>
#include <vector>
#include "probe/ReachabilityNetwork.h"

namespace zqtest {

// A scriptable ReachabilityNetwork: the test sets the flags and radio technology and signals
// changes through an eventfd, as the kernel's routing socket would.
class FakeReachabilityNetwork : public zqprobe::ReachabilityNetwork {
public:
    // Installs a fresh fake as the shared back end (ReachabilityNetwork::setShared(nullptr) restores Linux).
    static std::shared_ptr<FakeReachabilityNetwork> install();
    ~FakeReachabilityNetwork() override;

    std::optional<QWPushReachabilityFlags> flags = kQWPushReachabilityFlagsReachable;
    std::optional<std::string> radioTechnology;
    bool watchFails = false;
    std::vector<zqprobe::ReachabilityTarget> asked;
    int watchesOpen = 0;
    int drains = 0;

    // Makes the watch descriptor readable.
    void signalChange();

    std::optional<QWPushReachabilityFlags> flagsFor(const zqprobe::ReachabilityTarget& target) override;
    std::optional<std::string> currentRadioAccessTechnology() override { return radioTechnology; }
    int openChangeWatch() override;
    void drainChangeWatch(int fd) override;
    void closeChangeWatch(int fd) override;

private:
    FakeReachabilityNetwork() = default;
    int mFd = -1;
};

} // namespace zqtest
