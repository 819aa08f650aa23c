#include "ZQPlatform/JSONSerialization.h"

#include "platform/foundation/Utf8.h"

namespace platform {
namespace {

struct TooDeep {};

Error readingError(const std::string& text) {
    return Error{kCocoaErrorDomain, kJSONReadingErrorCode,
                 "The data couldn’t be read because it isn’t in the correct format.",
                 {{"NSDebugDescription", detail::validUTF8(text)}}};
}

} // namespace

std::optional<nlohmann::json> JSONSerialization::parse(std::string_view data, Error* error) {
    auto fail = [&](const std::string& reason) -> std::optional<nlohmann::json> {
        if (error) *error = readingError(reason);
        return std::nullopt;
    };
    try {
        auto limitDepth = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
            if (depth > kMaximumDepth) throw TooDeep{};
            return true;
        };
        nlohmann::json value = nlohmann::json::parse(data.begin(), data.end(), limitDepth, true, false);
        if (!value.is_object() && !value.is_array())
            return fail("JSON text did not start with array or object.");
        return value;
    } catch (const TooDeep&) {
        return fail("JSON text is nested more than " + std::to_string(kMaximumDepth) + " levels deep.");
    } catch (const nlohmann::json::exception& e) {
        return fail(e.what());
    }
}

std::optional<std::string> JSONSerialization::serialize(const nlohmann::json& value, Error* error) {
    try {
        return value.dump();
    } catch (const nlohmann::json::exception& e) {
        if (error)
            *error = Error{kCocoaErrorDomain, kJSONWritingErrorCode,
                           "The data couldn’t be written because it isn’t in the correct format.",
                           {{"NSDebugDescription", detail::validUTF8(e.what())}}};
        return std::nullopt;
    }
}

} // namespace platform
