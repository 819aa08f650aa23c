#pragma once
// Reading the keyed JSON archives of the configurations (docs/configuration-archive.md). A key that
// is absent reads as zero or false, as a keyed decoder gives; a key of the wrong JSON type makes the
// whole archive unreadable (the read returns false).
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

namespace zqsession {

// True when `archive` is an object whose "type" is `type`.
bool archiveHasType(const nlohmann::json& archive, const char* type);
bool readUnsigned(const nlohmann::json& archive, const char* key, std::uint64_t& out);
bool readSigned(const nlohmann::json& archive, const char* key, std::int64_t& out);
bool readBool(const nlohmann::json& archive, const char* key, bool& out);
// A pair of finite numbers [first, second].
bool readPair(const nlohmann::json& archive, const char* key, double& first, double& second);

} // namespace zqsession
