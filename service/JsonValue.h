#pragma once
#include <cstdint>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

// Reading values from answers of outside services. A value of the wrong type reads as absent; nothing
// here throws. Any thread.
namespace zqservice {

// The member `key` of an object, or null when `object` is not an object or has no such key.
const nlohmann::json* member(const nlohmann::json& object, const char* key);
// A string member; absent for any other type.
std::optional<std::string> stringMember(const nlohmann::json& object, const char* key);
// An integer as the platform's integerValue reads one: numbers (truncated, clamped), booleans, and
// text holding a number (leading blanks, sign and digits; text without digits reads 0). Absent for
// other types.
std::optional<std::int64_t> integerValue(const nlohmann::json& value);
std::optional<std::int64_t> integerMember(const nlohmann::json& object, const char* key);
// A truth value as boolValue reads one: booleans, non-zero numbers, text starting with Y, y, T, t or a
// non-zero digit. Absent for other types.
std::optional<bool> boolValue(const nlohmann::json& value);
std::optional<bool> boolMember(const nlohmann::json& object, const char* key);
// An array member; absent for any other type.
std::optional<nlohmann::json> arrayMember(const nlohmann::json& object, const char* key);

} // namespace zqservice

namespace zqservice {
// Length of the well-formed UTF-8 sequence that starts at `at`, or 0 for a byte that starts none.
std::size_t utf8SequenceLength(std::string_view text, std::size_t at);
bool isValidUTF8(std::string_view text);
} // namespace zqservice
