#include "apps/zqlive/CameraOptions.h"

#include "ZQLiveKit/CameraRegistry.h"

namespace zqlive {

void applyCameraSourceOptions(const Args& args) {
    using platform::CameraPosition;
    for (auto [option, position] : {std::pair{"front-source", CameraPosition::Front},
                                    std::pair{"back-source", CameraPosition::Back}}) {
        auto description = args.value(option);
        if (!description) continue;
        std::string error;
        if (!platform::CameraRegistry::shared().setSource(position, *description, &error))
            throw UsageError("--" + std::string(option) + ": " + error);
    }
}

} // namespace zqlive
