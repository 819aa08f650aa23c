#include "ZQLiveKit/Application.h"

#include <atomic>
#include <mutex>

namespace platform {
namespace {
std::mutex gMutex;
std::optional<Size> gMainScreenSize;
std::atomic<bool> gIdleTimerDisabled{false};
std::atomic<std::int64_t> gStatusBarOrientation{InterfaceOrientationPortrait};
} // namespace

std::optional<Size> Application::mainScreenSize() {
    std::lock_guard lock(gMutex);
    return gMainScreenSize;
}

void Application::setMainScreenSize(std::optional<Size> size) {
    std::lock_guard lock(gMutex);
    gMainScreenSize = size;
}

bool Application::idleTimerDisabled() { return gIdleTimerDisabled.load(); }
void Application::setIdleTimerDisabled(bool disabled) { gIdleTimerDisabled = disabled; }
std::int64_t Application::statusBarOrientation() { return gStatusBarOrientation.load(); }
void Application::setStatusBarOrientation(std::int64_t orientation) { gStatusBarOrientation = orientation; }

} // namespace platform
