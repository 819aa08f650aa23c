// Pixel buffer geometry and the recycling pool.
#include <gtest/gtest.h>
#include "ZQLiveKit/PixelBuffer.h"
#include "platform/media/PixelBufferPool.h"

using namespace platform;

namespace {

TEST(PixelBufferTest, BgraHasOneAlignedPlane) {
    auto buffer = PixelBuffer::create(33, 10, PixelFormat::BGRA);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->planeCount(), 1);
    EXPECT_EQ(buffer->bytesPerRow(0) % 64, 0u);
    EXPECT_GE(buffer->bytesPerRow(0), 33u * 4);
    EXPECT_EQ(buffer->planeHeight(0), 10);
    EXPECT_EQ(buffer->planeData(1), nullptr);
    EXPECT_EQ(buffer->bytesPerRow(1), 0u);
    EXPECT_EQ(buffer->planeData(0)[0], 0); // zeroed
}

TEST(PixelBufferTest, Nv12ChromaCoversOddSizes) {
    auto buffer = PixelBuffer::create(161, 121, PixelFormat::NV12);
    ASSERT_TRUE(buffer);
    EXPECT_EQ(buffer->planeCount(), 2);
    EXPECT_GE(buffer->bytesPerRow(0), 161u);
    EXPECT_GE(buffer->bytesPerRow(1), 81u * 2);
    EXPECT_EQ(buffer->planeHeight(1), 61);
    // The chroma plane follows the luma plane without overlapping it.
    EXPECT_GE(buffer->planeData(1), buffer->planeData(0) + buffer->bytesPerRow(0) * 121);
    // Every byte of the last chroma row is writable (ASan would catch an overrun).
    buffer->planeData(1)[buffer->bytesPerRow(1) * 60 + 161] = 1;
}

TEST(PixelBufferTest, RejectsEmptyNegativeAndHugeSizes) {
    EXPECT_FALSE(PixelBuffer::create(0, 10, PixelFormat::BGRA));
    EXPECT_FALSE(PixelBuffer::create(10, -1, PixelFormat::NV12));
    EXPECT_FALSE(PixelBuffer::create(16385, 2, PixelFormat::BGRA));
    EXPECT_TRUE(PixelBuffer::create(16384, 1, PixelFormat::NV12));
}

TEST(PixelBufferTest, PoolHandsBackReleasedBuffersAndSurvivesBeingDroppedFirst) {
    PixelBufferPool pool(64, 48, PixelFormat::NV12, 2);
    auto first = pool.take();
    ASSERT_TRUE(first);
    const PixelBuffer* address = first.get();
    first.reset();
    EXPECT_EQ(pool.idleCount(), 1u);
    auto again = pool.take();
    EXPECT_EQ(again.get(), address);
    EXPECT_EQ(again->width(), 64);
    EXPECT_EQ(again->format(), PixelFormat::NV12);

    std::vector<std::shared_ptr<PixelBuffer>> many;
    for (int i = 0; i < 4; ++i) many.push_back(pool.take());
    many.clear();
    EXPECT_EQ(pool.idleCount(), 2u); // at most maxIdle kept

    std::shared_ptr<PixelBuffer> survivor;
    {
        PixelBufferPool shortLived(8, 8, PixelFormat::BGRA);
        survivor = shortLived.take();
    }
    survivor.reset(); // freed, not returned to a dead pool

    PixelBufferPool invalid(0, 8, PixelFormat::BGRA);
    EXPECT_FALSE(invalid.take());
}

} // namespace
