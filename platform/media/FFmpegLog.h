#pragma once
#include <string>

namespace platform::ffmpeg {

// libav*'s text for an error code ("Invalid data found when processing input").
std::string errorText(int code);

// Routes libav* log lines to the kit's console: warnings and errors only, each prefixed with the
// component that wrote it. Installed once, on first use of a codec. Any thread.
void routeLogToConsole();

// Silences libav* log lines written on this thread while it lives (for probing encoders that are
// expected to fail on machines without the hardware).
class QuietLogScope {
public:
    QuietLogScope();
    ~QuietLogScope();
    QuietLogScope(const QuietLogScope&) = delete;
    QuietLogScope& operator=(const QuietLogScope&) = delete;
};

} // namespace platform::ffmpeg
