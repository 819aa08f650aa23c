#pragma once
#include <string>
#include "ZQPlatform/Export.h"

namespace platform {

// What the kit asks of the device. On Linux the operating-system version is a setting:
// 15.0 by default, ZQLIVEKIT_OS_VERSION in the environment, or setSystemVersion().
class ZQ_PLATFORM_EXPORT SystemInfo {
public:
    // The version text, e.g. "15.0". Any thread.
    static std::string systemVersion();
    // The version read as a number (major.minor). Any thread.
    static double systemVersionNumber();
    // The major version (the version text read as a number, truncated). Any thread.
    static int majorSystemVersion();
    // Overrides the version; an empty text returns to the environment/default. Any thread.
    static void setSystemVersion(const std::string& version);
    // The application's home directory: the override, else $HOME; without a home, the folder
    // "zqlivekit" in $XDG_STATE_HOME or in the user's runtime directory ($XDG_RUNTIME_DIR, or
    // /run/user/<uid> when it is the user's); "" when there is none of these. Environment paths that
    // are not absolute are not used. Any thread.
    static std::string homeDirectory();
    // Overrides the home directory; an empty text returns to the environment.
    static void setHomeDirectory(const std::string& path);
    // Host name, used where the system uses the device name.
    static std::string deviceName();
};

} // namespace platform
