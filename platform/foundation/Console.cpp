#include "ZQPlatform/Console.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>
#include "ZQPlatform/Format.h"

namespace platform {
namespace {
std::atomic<bool> gEnabled{true};
std::mutex gMutex;
Console::Sink& sink() {
    static auto* s = new Console::Sink();
    return *s;
}
} // namespace

void Console::log(const std::string& line) {
    if (!gEnabled.load()) return;
    std::lock_guard lock(gMutex);
    if (sink()) {
        sink()(line);
        return;
    }
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fputc('\n', stderr);
}

void Console::logf(const char* format, ...) {
    if (!gEnabled.load()) return;
    va_list args;
    va_start(args, format);
    std::string line = stringWithFormatV(format, args);
    va_end(args);
    log(line);
}

void Console::setEnabled(bool enabled) { gEnabled = enabled; }
bool Console::enabled() { return gEnabled.load(); }

void Console::setSink(Sink s) {
    std::lock_guard lock(gMutex);
    sink() = std::move(s);
}

} // namespace platform
