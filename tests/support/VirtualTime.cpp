#include "tests/support/VirtualTime.h"

namespace zqtest {

VirtualTime::VirtualTime() : mClock(std::make_shared<platform::ManualClock>()) {
    platform::resetRuntimeForTesting();
    platform::Clock::setShared(mClock);
    platform::RunLoop::main().runUntilIdle();
}

VirtualTime::~VirtualTime() {
    platform::RunLoop::main().runUntilIdle();
    platform::resetRuntimeForTesting();
    platform::Clock::setShared(nullptr);
}

} // namespace zqtest
