#pragma once
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <vector>
#include "ZQLiveKit/Export.h"

// An immutable, shared byte buffer: the payload type of every encoded frame. Copying a ZQBytes
// shares the bytes (nothing is copied), so a frame's payload can travel from the encoder through
// the session and the send buffer to the publisher without a copy. A default-constructed ZQBytes
// is nil (no buffer at all), which is distinct from an empty buffer. Any thread: the bytes never
// change once made.
class ZQLIVEKIT_EXPORT ZQBytes {
public:
    ZQBytes() = default;
    // Takes the vector's storage (no copy when moved in).
    explicit ZQBytes(std::vector<std::uint8_t> bytes)
        : mBytes(std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes))) {}
    ZQBytes(const std::uint8_t* data, std::size_t size) : ZQBytes(std::vector<std::uint8_t>(data, data + size)) {}
    ZQBytes(std::initializer_list<std::uint8_t> bytes) : ZQBytes(std::vector<std::uint8_t>(bytes)) {}

    // False for nil.
    explicit operator bool() const { return mBytes != nullptr; }
    bool isNil() const { return mBytes == nullptr; }

    // Pointer to the bytes; nullptr for nil. size() is 0 for nil.
    const std::uint8_t* data() const { return mBytes ? mBytes->data() : nullptr; }
    std::size_t size() const { return mBytes ? mBytes->size() : 0; }
    bool empty() const { return size() == 0; }
    std::uint8_t operator[](std::size_t index) const { return (*mBytes)[index]; }
    const std::uint8_t* begin() const { return data(); }
    const std::uint8_t* end() const { return data() + size(); }

    // The shared storage itself (nullptr for nil), for callers that keep it alive on their own.
    const std::shared_ptr<const std::vector<std::uint8_t>>& storage() const { return mBytes; }

    // Byte-wise comparison; two nil buffers are equal, nil differs from empty.
    friend bool operator==(const ZQBytes& a, const ZQBytes& b) {
        if (a.mBytes == b.mBytes) return true;
        if (!a.mBytes || !b.mBytes) return false;
        return *a.mBytes == *b.mBytes;
    }

private:
    std::shared_ptr<const std::vector<std::uint8_t>> mBytes;
};
