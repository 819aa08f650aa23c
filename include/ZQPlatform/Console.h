#pragma once
#include <functional>
#include <string>
#include "ZQPlatform/Export.h"

namespace platform {

// The console log every part writes to (stderr by default). An application may silence it or
// route it elsewhere. Any thread; lines are written whole.
class ZQ_PLATFORM_EXPORT Console {
public:
    using Sink = std::function<void(const std::string& line)>;
    static void log(const std::string& line);
    // printf-style convenience.
    static void logf(const char* format, ...) __attribute__((format(printf, 1, 2)));
    static void setEnabled(bool enabled);
    static bool enabled();
    // Replaces the sink (nullptr restores stderr).
    static void setSink(Sink sink);
};

} // namespace platform
