#pragma once
#include <cstdint>
#include <optional>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Geometry.h"

namespace platform {

// The application-wide facts the kit reads from the mobile OS, as settings the host provides. Any
// thread.
class ZQLIVEKIT_EXPORT Application {
public:
    // The main screen's size in points. Unset by default: the video capture then uses the
    // configured video size.
    static std::optional<Size> mainScreenSize();
    static void setMainScreenSize(std::optional<Size> size);

    // The screen-idle timer (the kit disables it while the camera runs).
    static bool idleTimerDisabled();
    static void setIdleTimerDisabled(bool disabled);

    // The status bar's interface orientation (1 portrait ... 4 landscape left); 1 by default.
    static std::int64_t statusBarOrientation();
    static void setStatusBarOrientation(std::int64_t orientation);
};

// Notifications the host posts, besides the lifecycle ones of ZQPlatform/NotificationCenter.h.
inline constexpr const char* kApplicationDidReceiveMemoryWarningNotification =
    "UIApplicationDidReceiveMemoryWarningNotification";
inline constexpr const char* kApplicationWillChangeStatusBarOrientationNotification =
    "UIApplicationWillChangeStatusBarOrientationNotification";

} // namespace platform
