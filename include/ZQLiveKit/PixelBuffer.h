#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include "ZQLiveKit/Export.h"

namespace platform {

enum class PixelFormat {
    BGRA, // one plane, 4 bytes a pixel: blue, green, red, alpha
    NV12, // plane 0: 8-bit luma; plane 1: interleaved Cb/Cr at half width and half height
};

// A picture in memory, shared by reference (the stand-in for a CoreVideo pixel buffer). The
// geometry never changes; the pixels may be written by whoever made the buffer until it is handed
// on, after which every holder treats them as read-only. Rows are 64-byte aligned.
class ZQLIVEKIT_EXPORT PixelBuffer {
public:
    // A new buffer with zeroed planes, or nullptr for a size of zero, a negative size or one above
    // 16384 in either direction. Any thread.
    static std::shared_ptr<PixelBuffer> create(int width, int height, PixelFormat format);
    static bool isValidSize(int width, int height);

    ~PixelBuffer();
    PixelBuffer(const PixelBuffer&) = delete;
    PixelBuffer& operator=(const PixelBuffer&) = delete;

    int width() const { return mWidth; }
    int height() const { return mHeight; }
    PixelFormat format() const { return mFormat; }

    // 1 for BGRA, 2 for NV12.
    int planeCount() const { return mFormat == PixelFormat::NV12 ? 2 : 1; }
    // Plane geometry: NV12's chroma plane has (width + 1) / 2 sample pairs a row and
    // (height + 1) / 2 rows. An index out of range gives nullptr / 0.
    std::uint8_t* planeData(int plane);
    const std::uint8_t* planeData(int plane) const;
    std::size_t bytesPerRow(int plane) const;
    int planeHeight(int plane) const;

private:
    PixelBuffer(int width, int height, PixelFormat format);

    int mWidth;
    int mHeight;
    PixelFormat mFormat;
    std::size_t mStride[2] = {0, 0};
    std::size_t mOffset[2] = {0, 0};
    std::size_t mSize = 0;
    std::uint8_t* mData = nullptr;

    friend class PixelBufferPool;
};

} // namespace platform
