#include "ZQPlatform/TrustSettings.h"

#include <cstdlib>
#include <mutex>

namespace platform {
namespace {
std::mutex gMutex;
std::optional<std::string> gCaFile;
} // namespace

std::optional<std::string> TrustSettings::caFile() {
    std::lock_guard lock(gMutex);
    if (gCaFile) return gCaFile->empty() ? std::nullopt : gCaFile;
    if (const char* env = std::getenv("ZQLIVEKIT_CA_FILE"); env && *env) return std::string(env);
    return std::nullopt;
}

void TrustSettings::setCaFile(std::optional<std::string> path) {
    std::lock_guard lock(gMutex);
    gCaFile = std::move(path);
}

} // namespace platform
