// zqlive cameras: which source stands in for the front and the back camera, and whether it opens
// now (the device is there and free and offers a usable format, the file decodes).
#include <string>
#include <vector>
#include "ZQLiveKit/CameraRegistry.h"
#include "apps/zqlive/CameraOptions.h"
#include "apps/zqlive/Cli.h"

namespace {

const std::string kUsage = std::string("cameras [--position front|back] ") + zqlive::kCameraSourceUsage;

int runCameras(const std::vector<std::string>& argv) {
    using platform::CameraPosition;
    zqlive::Args args(argv, {});
    auto known = zqlive::kCameraSourceOptions;
    known.push_back("position");
    args.allowOnly(known);
    if (!args.positionals().empty()) throw zqlive::UsageError("unexpected argument '" + args.positionals()[0] + "'");
    zqlive::applyCameraSourceOptions(args);

    std::vector<CameraPosition> positions = {CameraPosition::Front, CameraPosition::Back};
    if (auto position = args.value("position")) {
        if (*position != "front" && *position != "back")
            throw zqlive::UsageError("--position must be front or back, got '" + *position + "'");
        positions = {*position == "front" ? CameraPosition::Front : CameraPosition::Back};
    }

    auto& registry = platform::CameraRegistry::shared();
    std::string firstFailure;
    for (auto position : positions) {
        nlohmann::ordered_json event = {{"event", "camera"},
                                        {"position", platform::cameraPositionName(position)},
                                        {"source", registry.source(position).description()}};
        std::string reason;
        const bool opens = registry.probe(position, &reason);
        event["opens"] = opens;
        if (!opens) {
            event["reason"] = reason;
            if (firstFailure.empty()) firstFailure = reason;
        }
        zqlive::emit(event);
    }
    if (!firstFailure.empty()) throw std::runtime_error(firstFailure);
    return 0;
}

} // namespace

ZQLIVE_COMMAND(cameras, "cameras", "show the source of each camera position and whether it opens", kUsage.c_str(),
               runCameras);
