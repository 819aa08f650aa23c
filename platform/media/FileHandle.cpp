#include "platform/media/FileHandle.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::shared_ptr<FileHandle> FileHandle::openForReading(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return nullptr;
    return std::make_shared<FileHandle>(fd);
}

FileHandle::~FileHandle() {
    if (mFd >= 0) ::close(mFd);
}

std::optional<std::uint64_t> FileHandle::size() const {
    struct stat st {};
    if (::fstat(mFd, &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

std::size_t FileHandle::readAt(std::uint64_t offset, std::span<std::uint8_t> out) const {
    std::size_t done = 0;
    while (done < out.size()) {
        ssize_t n = ::pread(mFd, out.data() + done, out.size() - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

std::optional<std::uint64_t> fileSizeAtPath(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return std::nullopt;
    return static_cast<std::uint64_t>(st.st_size);
}

} // namespace platform
