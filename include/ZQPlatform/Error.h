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
};

} // namespace platform
