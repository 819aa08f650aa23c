#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace platform {

// A read handle on a file (NSFileHandle for reading): positioned reads that never move a shared
// offset, and the file's current size. The descriptor is closed with the handle. Reads are safe from
// several threads at once; the kit reads each handle from one queue.
class FileHandle {
public:
    // Opens `path` for reading; nullptr when it cannot be opened. A symbolic link is not followed.
    static std::shared_ptr<FileHandle> openForReading(const std::string& path);
    // Takes an open descriptor (closed with the handle).
    explicit FileHandle(int fd) : mFd(fd) {}
    ~FileHandle();
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;

    int fileDescriptor() const { return mFd; }
    // The size now; nullopt when it cannot be read.
    std::optional<std::uint64_t> size() const;
    // Reads up to out.size() bytes at `offset`; returns how many were read (fewer at the end of the
    // file, 0 on error).
    std::size_t readAt(std::uint64_t offset, std::span<std::uint8_t> out) const;

private:
    int mFd = -1;
};

// The size of the file at `path` without opening it; nullopt when it does not exist.
std::optional<std::uint64_t> fileSizeAtPath(const std::string& path);

} // namespace platform
