#pragma once
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include "ZQLiveKit/Export.h"

// The application's string table: a flat JSON object mapping the kit's texts (its Chinese messages)
// to translations. Without a table every text stays as given. The table is either set by the
// application or read, on the first look-up, from the JSON file named by ZQLIVEKIT_LOCALIZATION.
class ZQLIVEKIT_EXPORT ZQLocalization {
public:
    // The translation of `key`, or `key` itself when the table has none (an empty or non-string
    // entry counts as none). Any thread.
    static std::string localizedString(const std::string& key);
    // Replaces the table; a value that is not an object removes it. Any thread.
    static void setTable(const nlohmann::json& table);
    // Reads the table from a JSON file; false (and the table unchanged) when the file cannot be read
    // or is not a JSON object. Any thread.
    static bool loadTable(const std::string& path);
    // Forgets the table and lets the next look-up read ZQLIVEKIT_LOCALIZATION again. Any thread.
    static void reset();
};
