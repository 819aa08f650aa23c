#pragma once
#include <string>
#include <nlohmann/json.hpp>

namespace platform {

// A reported failure: domain, numeric code and a text that reads well to a person.
struct Error {
    std::string domain;
    long code = 0;
    std::string localizedDescription;
    nlohmann::json userInfo = nlohmann::json::object();

    bool operator==(const Error& other) const { return domain == other.domain && code == other.code; }

    // The full text for logs: Error Domain=<domain> Code=<code> "<description>" UserInfo={...}.
    std::string description() const {
        std::string text = "Error Domain=" + domain + " Code=" + std::to_string(code) + " \"" +
                           localizedDescription + "\"";
        if (userInfo.is_object() && !userInfo.empty())
            text += " UserInfo=" + userInfo.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
        return text;
    }
};

} // namespace platform
