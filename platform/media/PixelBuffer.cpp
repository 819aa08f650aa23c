#include "ZQLiveKit/PixelBuffer.h"

#include <cstdlib>
#include <cstring>
#include <new>

namespace platform {

namespace {

constexpr int kMaxDimension = 16384;
constexpr std::size_t kAlignment = 64;

std::size_t alignUp(std::size_t value) { return (value + kAlignment - 1) / kAlignment * kAlignment; }

} // namespace

bool PixelBuffer::isValidSize(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxDimension && height <= kMaxDimension;
}

std::shared_ptr<PixelBuffer> PixelBuffer::create(int width, int height, PixelFormat format) {
    if (!isValidSize(width, height)) return nullptr;
    return std::shared_ptr<PixelBuffer>(new PixelBuffer(width, height, format));
}

PixelBuffer::PixelBuffer(int width, int height, PixelFormat format)
    : mWidth(width), mHeight(height), mFormat(format) {
    if (format == PixelFormat::BGRA) {
        mStride[0] = alignUp(static_cast<std::size_t>(width) * 4);
        mSize = mStride[0] * static_cast<std::size_t>(height);
    } else {
        mStride[0] = alignUp(static_cast<std::size_t>(width));
        mStride[1] = alignUp(static_cast<std::size_t>((width + 1) / 2) * 2);
        mOffset[1] = mStride[0] * static_cast<std::size_t>(height);
        mSize = mOffset[1] + mStride[1] * static_cast<std::size_t>((height + 1) / 2);
    }
    mData = static_cast<std::uint8_t*>(std::aligned_alloc(kAlignment, mSize));
    if (!mData) throw std::bad_alloc();
    std::memset(mData, 0, mSize);
}

PixelBuffer::~PixelBuffer() { std::free(mData); }

std::uint8_t* PixelBuffer::planeData(int plane) {
    return plane >= 0 && plane < planeCount() ? mData + mOffset[plane] : nullptr;
}

const std::uint8_t* PixelBuffer::planeData(int plane) const {
    return plane >= 0 && plane < planeCount() ? mData + mOffset[plane] : nullptr;
}

std::size_t PixelBuffer::bytesPerRow(int plane) const {
    return plane >= 0 && plane < planeCount() ? mStride[plane] : 0;
}

int PixelBuffer::planeHeight(int plane) const {
    if (plane == 0) return mHeight;
    if (plane == 1 && mFormat == PixelFormat::NV12) return (mHeight + 1) / 2;
    return 0;
}

} // namespace platform
