#include "ZQLiveKit/ZQCaptureSessionSupport.h"

#include <mutex>

namespace {
std::mutex gMutex;
std::shared_ptr<ZQCaptureSessionSupport> gShared;
} // namespace

ZQCaptureSessionSupport::~ZQCaptureSessionSupport() = default;

std::shared_ptr<ZQCaptureSessionSupport> ZQCaptureSessionSupport::shared() {
    std::lock_guard lock(gMutex);
    return gShared;
}

void ZQCaptureSessionSupport::setShared(std::shared_ptr<ZQCaptureSessionSupport> support) {
    std::lock_guard lock(gMutex);
    gShared = std::move(support);
}

bool ZQCaptureSessionSupport::canUseSessionPreset(const std::string& avSessionPreset) {
    auto support = shared();
    return !support || support->canSetSessionPreset(avSessionPreset);
}
