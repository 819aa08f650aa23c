#pragma once
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <vector>
#include "ZQLiveKit/Export.h"

// An immutable, shared byte buffer: the payload type of every encoded frame. Copying a ZQBytes
// shares the bytes (nothing is copied), so a frame's payload can travel from the encoder through
// the session and the send buffer to the publisher without a copy. A ZQBytes may also be a view of
// part of a larger buffer it keeps alive (an encoder's output packet, of which each NAL unit is a
// slice). A default-constructed ZQBytes is nil (no buffer at all), which is distinct from an empty
// buffer. Any thread: the bytes never change once made.
class ZQLIVEKIT_EXPORT ZQBytes {
public:
    ZQBytes() = default;
    // Takes the vector's storage (no copy when moved in).
    explicit ZQBytes(std::vector<std::uint8_t> bytes) {
        auto storage = std::make_shared<const std::vector<std::uint8_t>>(std::move(bytes));
        mData = storage->data();
        mSize = storage->size();
        mOwner = std::move(storage);
    }
    ZQBytes(const std::uint8_t* data, std::size_t size) : ZQBytes(std::vector<std::uint8_t>(data, data + size)) {}
    ZQBytes(std::initializer_list<std::uint8_t> bytes) : ZQBytes(std::vector<std::uint8_t>(bytes)) {}
    // A view of `size` bytes at `data`, which `owner` keeps alive and unchanged (no copy). A null
    // owner makes nil.
    ZQBytes(std::shared_ptr<const void> owner, const std::uint8_t* data, std::size_t size)
        : mOwner(std::move(owner)), mData(mOwner ? data : nullptr), mSize(mOwner ? size : 0) {}

    // A view of `length` bytes from `offset` (clamped to what there is), sharing this buffer.
    ZQBytes slice(std::size_t offset, std::size_t length) const {
        if (!mOwner) return {};
        offset = std::min(offset, mSize);
        return ZQBytes(mOwner, mData + offset, std::min(length, mSize - offset));
    }

    // False for nil.
    explicit operator bool() const { return mOwner != nullptr; }
    bool isNil() const { return mOwner == nullptr; }

    // Pointer to the bytes; nullptr for nil. size() is 0 for nil.
    const std::uint8_t* data() const { return mData; }
    std::size_t size() const { return mSize; }
    bool empty() const { return mSize == 0; }
    std::uint8_t operator[](std::size_t index) const { return mData[index]; }
    const std::uint8_t* begin() const { return mData; }
    const std::uint8_t* end() const { return mData + mSize; }

    // What keeps the bytes alive (nullptr for nil), shared by every copy and slice of them.
    const std::shared_ptr<const void>& owner() const { return mOwner; }

    // Byte-wise comparison; two nil buffers are equal, nil differs from empty.
    friend bool operator==(const ZQBytes& a, const ZQBytes& b) {
        if (!a.mOwner || !b.mOwner) return !a.mOwner && !b.mOwner;
        if (a.mSize != b.mSize) return false;
        return a.mData == b.mData || a.mSize == 0 || std::memcmp(a.mData, b.mData, a.mSize) == 0;
    }

private:
    std::shared_ptr<const void> mOwner;
    const std::uint8_t* mData = nullptr;
    std::size_t mSize = 0;
};
