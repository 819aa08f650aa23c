#include "platform/media/FFmpegLog.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>
#include "ZQPlatform/Console.h"

extern "C" {
#include <libavutil/error.h>
#include <libavutil/log.h>
}

namespace platform::ffmpeg {

namespace {

thread_local int tQuietDepth = 0;

void logCallback(void* object, int level, const char* format, va_list args) {
    if (tQuietDepth > 0 || level > AV_LOG_WARNING) return;
    char line[1024];
    int printPrefix = 1;
    va_list copy;
    va_copy(copy, args);
    av_log_format_line2(object, level, format, copy, line, sizeof(line), &printPrefix);
    va_end(copy);
    std::string text(line);
    // libx264 notes when its own GOP decision met a forced key frame on the way; the frame still
    // comes out as an IDR picture.
    if (text.find("forced frame type") != std::string::npos) return;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    if (!text.empty()) Console::log("[ffmpeg] " + text);
}

} // namespace

std::string errorText(int code) {
    char text[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, text, sizeof(text));
    return text;
}

void routeLogToConsole() {
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_callback(logCallback); });
}

QuietLogScope::QuietLogScope() { ++tQuietDepth; }
QuietLogScope::~QuietLogScope() { --tQuietDepth; }

} // namespace platform::ffmpeg
