#pragma once
#include <string>
#include <string_view>
#include <nlohmann/json.hpp>

namespace platform::detail {

// The text with every ill-formed UTF-8 sequence replaced by U+FFFD, so it can go into an error's
// userInfo and be dumped without throwing.
inline std::string validUTF8(std::string_view text) {
    std::string quoted =
        nlohmann::json(std::string(text)).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return nlohmann::json::parse(quoted).get<std::string>();
}

} // namespace platform::detail
