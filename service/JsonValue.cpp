#include "service/JsonValue.h"

#include <cctype>
#include <cmath>
#include <limits>

namespace zqservice {

const nlohmann::json* member(const nlohmann::json& object, const char* key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> stringMember(const nlohmann::json& object, const char* key) {
    auto* value = member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
    constexpr auto kMax = std::numeric_limits<std::int64_t>::max();
    constexpr auto kMin = std::numeric_limits<std::int64_t>::min();
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_unsigned()) {
        auto v = value.get<std::uint64_t>();
        return v > static_cast<std::uint64_t>(kMax) ? kMax : static_cast<std::int64_t>(v);
    }
    if (value.is_number_integer()) return value.get<std::int64_t>();
    if (value.is_number_float()) {
        double v = value.get<double>();
        if (std::isnan(v)) return 0;
        if (v >= 9.2e18) return kMax;
        if (v <= -9.2e18) return kMin;
        return static_cast<std::int64_t>(v);
    }
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        std::size_t i = 0;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        bool negative = false;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
        std::int64_t result = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
            int digit = text[i] - '0';
            if (result > (kMax - digit) / 10) return negative ? kMin : kMax;
            result = result * 10 + digit;
        }
        return negative ? -result : result;
    }
    return std::nullopt;
}

std::optional<std::int64_t> integerMember(const nlohmann::json& object, const char* key) {
    auto* value = member(object, key);
    return value ? integerValue(*value) : std::nullopt;
}

std::optional<bool> boolValue(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number_float()) return value.get<double>() != 0.0;
    if (value.is_number()) return integerValue(value).value_or(0) != 0;
    if (value.is_string()) {
        const std::string& text = value.get_ref<const std::string&>();
        std::size_t i = 0;
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        while (i < text.size() && text[i] == '0') ++i;
        if (i >= text.size()) return false;
        char c = text[i];
        return c == 'Y' || c == 'y' || c == 'T' || c == 't' || (c >= '1' && c <= '9');
    }
    return std::nullopt;
}

std::optional<bool> boolMember(const nlohmann::json& object, const char* key) {
    auto* value = member(object, key);
    return value ? boolValue(*value) : std::nullopt;
}

std::optional<nlohmann::json> arrayMember(const nlohmann::json& object, const char* key) {
    auto* value = member(object, key);
    if (!value || !value->is_array()) return std::nullopt;
    return *value;
}

std::size_t utf8SequenceLength(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    unsigned char lead = byte(at);
    std::size_t length = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xE ? 3 : (lead >> 3) == 0x1E ? 4 : 0;
    if (length == 0 || at + length > text.size()) return 0;
    for (std::size_t i = 1; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    if (length == 2 && lead < 0xC2) return 0;                          // overlong
    if (length == 3 && lead == 0xE0 && byte(at + 1) < 0xA0) return 0;  // overlong
    if (length == 3 && lead == 0xED && byte(at + 1) >= 0xA0) return 0; // surrogates
    if (length == 4 && (lead > 0xF4 || (lead == 0xF0 && byte(at + 1) < 0x90) || (lead == 0xF4 && byte(at + 1) >= 0x90)))
        return 0;
    return length;
}

bool isValidUTF8(std::string_view text) {
    for (std::size_t at = 0; at < text.size();) {
        std::size_t length = utf8SequenceLength(text, at);
        if (length == 0) return false;
        at += length;
    }
    return true;
}

} // namespace zqservice
