#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "platform/media/FileHandle.h"

// One atom (box) of an MP4/QuickTime file, read through a file handle: where its payload lies and
// how long it is, its four-character type, and a cursor over its children. A child is only ever
// returned when it lies wholly inside its parent, so a truncated or lying file yields fewer atoms,
// never reads outside the parent. Values; the handle may be shared by several atoms.
class ZVMP4Atom {
public:
    // The four-character code of a type name ("moov").
    static constexpr std::uint32_t fourcc(const char (&name)[5]) {
        return (std::uint32_t(std::uint8_t(name[0])) << 24) | (std::uint32_t(std::uint8_t(name[1])) << 16) |
               (std::uint32_t(std::uint8_t(name[2])) << 8) | std::uint32_t(std::uint8_t(name[3]));
    }
    static std::string typeName(std::uint32_t type);

    // atomAt:size:type:inFile: — the atom whose payload starts at `offset` and runs `size` bytes.
    // The root of a file is atomAt(0, file size, fourcc("file"), file).
    static ZVMP4Atom atomAt(std::uint64_t offset, std::uint64_t size, std::uint32_t type,
                            std::shared_ptr<platform::FileHandle> file);

    std::uint64_t offset() const { return mOffset; }
    std::uint64_t length() const { return mLength; }
    std::uint32_t type() const { return mType; }

    // readAt:size: — up to `size` payload bytes from `offset` within the payload; fewer when the
    // payload (or the file) ends first.
    std::vector<std::uint8_t> readAt(std::uint64_t offset, std::uint64_t size) const;

    // setChildOffset: — where (within the payload) nextChild reads the next header.
    void setChildOffset(std::uint64_t offset) { mNextChild = offset; }
    // nextChild — the child at the cursor, moving the cursor past it; nullopt when fewer than 8 bytes
    // remain or the child does not fit. Size 0: to the end of the parent; size 1: a 64-bit size
    // follows; type uuid: a 16-byte extended type follows.
    std::optional<ZVMP4Atom> nextChild();
    // childOfType:startAt: — the first child of `type` from payload offset `startAt` on.
    std::optional<ZVMP4Atom> childOfType(std::uint32_t type, std::uint64_t startAt);

private:
    ZVMP4Atom(std::uint64_t offset, std::uint64_t length, std::uint32_t type,
              std::shared_ptr<platform::FileHandle> file)
        : mFile(std::move(file)), mOffset(offset), mLength(length), mType(type) {}

    std::shared_ptr<platform::FileHandle> mFile;
    std::uint64_t mOffset = 0;
    std::uint64_t mLength = 0;
    std::uint32_t mType = 0;
    std::uint64_t mNextChild = 0;
};

// The avcC payload of the first enabled H.264 track: file → moov → trak (tkhd flag 1 set) → mdia →
// minf → stbl → stsd → avc1 (8 bytes into stsd) → avcC (78 bytes into avc1). Nullopt when the chain
// is not there whole or the record is not a usable avcC.
std::optional<std::vector<std::uint8_t>> ZVReadAvcCRecord(const std::shared_ptr<platform::FileHandle>& file);
