#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include <nlohmann/json.hpp>

// How the store client reads the values of an answer into model fields. Every function gives
// nullopt for a value it cannot read (null, or an array or object where a number is wanted), and
// the field then keeps its initial value.
namespace zqs {

// The value as text, the way the platform formats an object for "%@": a string unchanged, an
// integer in decimal (1024 -> "1024"), a floating-point number in its shortest exact form (2.5 ->
// "2.5", 3.0 -> "3"), a truth value as "1" or "0"; arrays and objects as compact JSON.
std::optional<std::string> textForm(const nlohmann::json& value);

// The value's number: numbers as they are, true/false as 1/0, and a numeric string by its leading
// number ("12.5 yuan" -> 12.5); a string without one reads as 0.
std::optional<double> numericValue(const nlohmann::json& value);

// The value's whole number: fractions are cut toward zero, out-of-range values saturate, and a
// string is read by its leading decimal integer ("42abc" -> 42, "12.9" -> 12).
std::optional<std::int64_t> integerValue(const nlohmann::json& value);

// Whether the value is a non-zero number; a string is true when it reads as a non-zero number or
// starts with "Y", "y", "T" or "t".
std::optional<bool> truthValue(const nlohmann::json& value);

// The text split at every ",", without trimming ("a,,b" gives three entries); an empty text gives
// no entries.
std::vector<std::string> splitTags(std::string_view text);

} // namespace zqs
