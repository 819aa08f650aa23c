#include "ZQLiveKit/ZQLocalization.h"

#include <cstdlib>
#include <fstream>
#include <mutex>

namespace {
std::mutex gMutex;
nlohmann::json gTable;   // an object, or null when there is no table
bool gEnvironmentRead = false;

std::optional<nlohmann::json> readTable(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    auto table = nlohmann::json::parse(in, nullptr, /*allow_exceptions=*/false);
    if (!table.is_object()) return std::nullopt;
    return table;
}
} // namespace

std::string ZQLocalization::localizedString(const std::string& key) {
    std::lock_guard lock(gMutex);
    if (!gEnvironmentRead) {
        gEnvironmentRead = true;
        if (const char* path = std::getenv("ZQLIVEKIT_LOCALIZATION"); path && *path && gTable.is_null())
            if (auto table = readTable(path)) gTable = std::move(*table);
    }
    if (!gTable.is_object()) return key;
    auto it = gTable.find(key);
    if (it == gTable.end() || !it->is_string() || it->get_ref<const std::string&>().empty()) return key;
    return it->get<std::string>();
}

void ZQLocalization::setTable(const nlohmann::json& table) {
    std::lock_guard lock(gMutex);
    gEnvironmentRead = true;
    gTable = table.is_object() ? table : nlohmann::json();
}

bool ZQLocalization::loadTable(const std::string& path) {
    auto table = readTable(path);
    if (!table) return false;
    std::lock_guard lock(gMutex);
    gEnvironmentRead = true;
    gTable = std::move(*table);
    return true;
}

void ZQLocalization::reset() {
    std::lock_guard lock(gMutex);
    gTable = nlohmann::json();
    gEnvironmentRead = false;
}
