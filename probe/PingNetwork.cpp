#include "probe/PingNetwork.h"

#include <random>

#include "probe/BackendSlot.h"
#include "probe/LinuxPingNetwork.h"

namespace zqprobe {

using Slot = BackendSlot<PingNetwork, LinuxPingNetwork>;

std::uint16_t PingNetwork::randomIdentifier() {
    std::random_device random;
    return static_cast<std::uint16_t>(random() & 0xFFFF);
}

std::shared_ptr<PingNetwork> PingNetwork::shared() { return Slot::get(); }

void PingNetwork::setShared(std::shared_ptr<PingNetwork> network) { Slot::set(std::move(network)); }

} // namespace zqprobe
