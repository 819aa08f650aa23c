#pragma once
#include <optional>
#include <string>
#include "ZQPlatform/Export.h"

namespace platform {

// Extra trust for every TLS connection the kit makes (HTTPS, WSS, RTMPS): a PEM file of CA
// certificates that is added to the system's trust store. It only ever adds trust; nothing in the
// kit switches certificate or host-name verification off.
class ZQ_PLATFORM_EXPORT TrustSettings {
public:
    // The setter's value, else ZQLIVEKIT_CA_FILE from the environment, else none. Any thread.
    static std::optional<std::string> caFile();
    // Overrides the environment; std::nullopt returns to it. Any thread.
    static void setCaFile(std::optional<std::string> path);
};

} // namespace platform
