#pragma once
#include <cstdarg>
#include <string>
#include "ZQPlatform/Export.h"

namespace platform {

// printf into a std::string of any length ([NSString stringWithFormat:] without %@). Any thread.
ZQ_PLATFORM_EXPORT std::string stringWithFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));
ZQ_PLATFORM_EXPORT std::string stringWithFormatV(const char* format, va_list args)
    __attribute__((format(printf, 1, 0)));

} // namespace platform
