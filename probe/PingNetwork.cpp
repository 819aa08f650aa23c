#include "probe/PingNetwork.h"

#include <random>

#include "probe/BackendSlot.h"
#include "probe/LinuxPingNetwork.h"

namespace zqprobe {

using Slot = BackendSlot<PingNetwork, LinuxPingNetwork>;

std::uint16_t PingNetwork::randomIdentifier() {
    std::random_device random;
    // Never 0: bound to port 0, a ping socket would carry an identifier of the kernel's choosing.
    return static_cast<std::uint16_t>(std::uniform_int_distribution<unsigned>(1, 0xFFFF)(random));
}

std::shared_ptr<PingNetwork> PingNetwork::shared() { return Slot::get(); }

void PingNetwork::setShared(std::shared_ptr<PingNetwork> network) { Slot::set(std::move(network)); }

} // namespace zqprobe
