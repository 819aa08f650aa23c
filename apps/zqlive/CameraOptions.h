#pragma once
#include <string>
#include <vector>
#include "apps/zqlive/Cli.h"

namespace zqlive {

// The options that say which source stands in for each camera, for every command that captures.
inline const std::vector<std::string> kCameraSourceOptions = {"front-source", "back-source"};
inline constexpr const char* kCameraSourceUsage =
    "[--front-source SOURCE] [--back-source SOURCE]\n"
    "  SOURCE: pattern (default), camera, camera:/dev/videoN, file:PATH (looped), none";

// Puts --front-source / --back-source into the kit's camera registry; a malformed source is a
// UsageError with the reason.
void applyCameraSourceOptions(const Args& args);

} // namespace zqlive
