#include "probe/ReachabilityNetwork.h"

#include "probe/BackendSlot.h"
#include "probe/LinuxReachabilityNetwork.h"

namespace zqprobe {

using Slot = BackendSlot<ReachabilityNetwork, LinuxReachabilityNetwork>;

std::shared_ptr<ReachabilityNetwork> ReachabilityNetwork::shared() { return Slot::get(); }

void ReachabilityNetwork::setShared(std::shared_ptr<ReachabilityNetwork> network) { Slot::set(std::move(network)); }

} // namespace zqprobe
