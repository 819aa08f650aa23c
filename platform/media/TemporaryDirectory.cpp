#include "platform/media/TemporaryDirectory.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <vector>
#include "ZQPlatform/Console.h"

namespace platform {

std::shared_ptr<TemporaryDirectory> TemporaryDirectory::create(const std::string& prefix) {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    // mkdtemp makes a new directory with mode 0700 and a name nobody could have guessed.
    if (!::mkdtemp(name.data())) {
        Console::log("No temporary directory at " + pattern + ": " + std::strerror(errno));
        return nullptr;
    }
    return std::shared_ptr<TemporaryDirectory>(new TemporaryDirectory(name.data()));
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    // remove_all removes links themselves, never what they point to.
    std::filesystem::remove_all(mPath, ignored);
}

} // namespace platform
