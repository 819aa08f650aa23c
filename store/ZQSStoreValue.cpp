#include "store/ZQSStoreValue.h"

#include <array>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

namespace zqs {
namespace {

std::string_view skipSpace(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                             text.front() == '\r' || text.front() == '\f' || text.front() == '\v'))
        text.remove_prefix(1);
    return text;
}

// The leading decimal number of a string, if it starts with one.
std::optional<double> leadingNumber(std::string_view text) {
    text = skipSpace(text);
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty() || !(std::isdigit(static_cast<unsigned char>(text.front())) || text.front() == '-' ||
                          text.front() == '.'))
        return std::nullopt; // also keeps from_chars away from "inf" and "nan"
    double number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error == std::errc::result_out_of_range) {
        // Too large or too small for a double: saturate, or read as zero.
        std::string_view span(text.data(), static_cast<size_t>(end - text.data()));
        auto exponent = span.find_first_of("eE");
        bool tiny = exponent != std::string_view::npos
                        ? exponent + 1 < span.size() && span[exponent + 1] == '-'
                        : span.find_first_of("123456789") > span.find('.');
        if (tiny) return 0.0;
        return text.front() == '-' ? -std::numeric_limits<double>::max() : std::numeric_limits<double>::max();
    }
    if (error != std::errc() || !std::isfinite(number)) return std::nullopt;
    return number;
}

std::int64_t saturate(double number) {
    constexpr double kLimit = 9223372036854775808.0; // 2^63
    if (number >= kLimit) return std::numeric_limits<std::int64_t>::max();
    if (number <= -kLimit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(number); // cuts toward zero
}

// The leading decimal integer of a string; saturates on overflow.
std::int64_t leadingInteger(std::string_view text) {
    text = skipSpace(text);
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    std::uint64_t magnitude = 0;
    const std::uint64_t limit = negative ? std::uint64_t{1} << 63 : (std::uint64_t{1} << 63) - 1;
    for (char c : text) {
        if (c < '0' || c > '9') break;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (magnitude > (limit - digit) / 10) {
            magnitude = limit;
            break;
        }
        magnitude = magnitude * 10 + digit;
    }
    if (!negative) return static_cast<std::int64_t>(magnitude);
    return magnitude == (std::uint64_t{1} << 63) ? std::numeric_limits<std::int64_t>::min()
                                                 : -static_cast<std::int64_t>(magnitude);
}

} // namespace

std::optional<std::string> textForm(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::string: return value.get<std::string>();
    case nlohmann::json::value_t::number_integer: return std::to_string(value.get<std::int64_t>());
    case nlohmann::json::value_t::number_unsigned: return std::to_string(value.get<std::uint64_t>());
    case nlohmann::json::value_t::number_float: {
        std::array<char, 64> buffer{};
        auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value.get<double>());
        if (error != std::errc()) return std::nullopt;
        return std::string(buffer.data(), end);
    }
    case nlohmann::json::value_t::boolean: return value.get<bool>() ? "1" : "0";
    case nlohmann::json::value_t::array:
    case nlohmann::json::value_t::object:
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    default: return std::nullopt;
    }
}

std::optional<double> numericValue(const nlohmann::json& value) {
    if (value.is_number()) return value.get<double>();
    if (value.is_boolean()) return value.get<bool>() ? 1.0 : 0.0;
    if (value.is_string()) return leadingNumber(value.get_ref<const std::string&>()).value_or(0.0);
    return std::nullopt;
}

std::optional<std::int64_t> integerValue(const nlohmann::json& value) {
    if (value.is_number_integer() && !value.is_number_unsigned()) return value.get<std::int64_t>();
    if (value.is_number_unsigned()) {
        auto number = value.get<std::uint64_t>();
        return number > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())
                   ? std::numeric_limits<std::int64_t>::max()
                   : static_cast<std::int64_t>(number);
    }
    if (value.is_number_float()) return saturate(value.get<double>());
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_string()) return leadingInteger(value.get_ref<const std::string&>());
    return std::nullopt;
}

std::optional<bool> truthValue(const nlohmann::json& value) {
    if (value.is_boolean()) return value.get<bool>();
    if (value.is_number()) return value.get<double>() != 0.0;
    if (value.is_string()) {
        std::string_view text = value.get_ref<const std::string&>();
        if (auto number = leadingNumber(text)) return *number != 0.0;
        text = skipSpace(text);
        return !text.empty() && (text.front() == 'Y' || text.front() == 'y' || text.front() == 'T' || text.front() == 't');
    }
    return std::nullopt;
}

std::vector<std::string> splitTags(std::string_view text) {
    std::vector<std::string> tags;
    if (text.empty()) return tags;
    for (;;) {
        auto comma = text.find(',');
        tags.emplace_back(text.substr(0, comma));
        if (comma == std::string_view::npos) return tags;
        text.remove_prefix(comma + 1);
    }
}

} // namespace zqs
