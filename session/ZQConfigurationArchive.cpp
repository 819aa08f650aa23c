#include "session/ZQConfigurationArchive.h"

#include <cmath>

namespace zqsession {

bool archiveHasType(const nlohmann::json& archive, const char* type) {
    if (!archive.is_object()) return false;
    auto found = archive.find("type");
    return found != archive.end() && found->is_string() && found->get_ref<const std::string&>() == type;
}

bool readUnsigned(const nlohmann::json& archive, const char* key, std::uint64_t& out) {
    auto found = archive.find(key);
    if (found == archive.end()) {
        out = 0;
        return true;
    }
    // nlohmann keeps every non-negative integer it parses as unsigned.
    if (!found->is_number_unsigned()) return false;
    out = found->get<std::uint64_t>();
    return true;
}

bool readSigned(const nlohmann::json& archive, const char* key, std::int64_t& out) {
    auto found = archive.find(key);
    if (found == archive.end()) {
        out = 0;
        return true;
    }
    if (found->is_number_unsigned()) {
        auto value = found->get<std::uint64_t>();
        if (value > static_cast<std::uint64_t>(INT64_MAX)) return false;
        out = static_cast<std::int64_t>(value);
        return true;
    }
    if (!found->is_number_integer()) return false;
    out = found->get<std::int64_t>();
    return true;
}

bool readBool(const nlohmann::json& archive, const char* key, bool& out) {
    auto found = archive.find(key);
    if (found == archive.end()) {
        out = false;
        return true;
    }
    if (!found->is_boolean()) return false;
    out = found->get<bool>();
    return true;
}

bool readPair(const nlohmann::json& archive, const char* key, double& first, double& second) {
    auto found = archive.find(key);
    if (found == archive.end()) {
        first = second = 0;
        return true;
    }
    if (!found->is_array() || found->size() != 2 || !(*found)[0].is_number() || !(*found)[1].is_number()) {
        return false;
    }
    first = (*found)[0].get<double>();
    second = (*found)[1].get<double>();
    return std::isfinite(first) && std::isfinite(second);
}

} // namespace zqsession
