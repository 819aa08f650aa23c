#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <nlohmann/json.hpp>
#include "ZQPlatform/Error.h"
#include "ZQPlatform/Export.h"

namespace platform {

// JSON reading and writing for answers from outside. Failures are reported as errors in
// kCocoaErrorDomain whose localized description reads well to a person; the parser's own text is in
// userInfo["NSDebugDescription"].
inline constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
inline constexpr long kJSONReadingErrorCode = 3840;
inline constexpr long kJSONWritingErrorCode = 3851;

class ZQ_PLATFORM_EXPORT JSONSerialization {
public:
    // Deeper nesting is refused, so hostile input cannot exhaust the stack of later recursive walks.
    static constexpr int kMaximumDepth = 512;

    // Parses a UTF-8 JSON text whose top level is an object or an array (a bare number, string or
    // literal is refused). nullopt on failure, with *error filled when given. Any thread.
    static std::optional<nlohmann::json> parse(std::string_view data, Error* error = nullptr);
    // Compact text without whitespace. Fails for strings that are not valid UTF-8. Any thread.
    static std::optional<std::string> serialize(const nlohmann::json& value, Error* error = nullptr);
};

} // namespace platform
