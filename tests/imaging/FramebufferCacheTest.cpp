// The framebuffer pool, programs and the context on the real EGL context.
#include <gtest/gtest.h>
#include "ZQLiveKit/Application.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/NotificationCenter.h"
#include "imaging/ZVGLProgram.h"
#include "imaging/ZVImageFramebufferCache.h"
#include "imaging/ZVImageShaders.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace {

// Each test uses sizes of its own, so the shared cache's other slots do not interfere.
class FramebufferCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        ZV_REQUIRE_GL();
        cache().purgeAllUnassignedFramebuffers();
        zvtest::drainVideoQueue();
    }
    static ZVImageFramebufferCache& cache() { return ZVImageContext::sharedFramebufferCache(); }
    // Unlocks on the video-processing queue, as every holder does.
    static void unlock(const std::shared_ptr<ZVImageFramebuffer>& framebuffer) {
        runSynchronouslyOnVideoProcessingQueue([&] { framebuffer->unlock(); });
    }
    static std::string key(platform::Size size, bool onlyTexture = false) {
        return ZVImageFramebufferCache::hashForSize(size, ZVGPUTextureOptions{}, onlyTexture);
    }
};

TEST_F(FramebufferCacheTest, KeysNameSizeAndTheSevenOptions) {
    EXPECT_EQ(key({360, 640}), "360.0x640.0-9729:9729:33071:33071:6408:32993:5121");
    EXPECT_EQ(key({360, 640}, true), "360.0x640.0-9729:9729:33071:33071:6408:32993:5121-NOFB");
}

TEST_F(FramebufferCacheTest, AnUnlockedFramebufferComesBackOnTheNextFetch) {
    platform::Size size{33, 17};
    auto first = cache().fetchFramebufferForSize(size, false);
    EXPECT_EQ(first->framebufferReferenceCount(), 1);
    unlock(first);
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 1);

    auto second = cache().fetchFramebufferForSize(size, false);
    EXPECT_EQ(second, first);
    EXPECT_EQ(cache().slotCount(key(size)), 0);
    unlock(second);
}

TEST_F(FramebufferCacheTest, ReturnedFramebuffersAreHandedOutLastInFirstOut) {
    platform::Size size{31, 19};
    std::vector<std::shared_ptr<ZVImageFramebuffer>> made;
    for (int i = 0; i < 3; ++i) made.push_back(cache().fetchFramebufferForSize(size, false));
    for (const auto& framebuffer : made) unlock(framebuffer); // slots 0, 1, 2
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 3);

    EXPECT_EQ(cache().fetchFramebufferForSize(size, false), made[2]);
    EXPECT_EQ(cache().fetchFramebufferForSize(size, false), made[1]);
    EXPECT_EQ(cache().fetchFramebufferForSize(size, false), made[0]);
    EXPECT_EQ(cache().slotCount(key(size)), 0);
    for (const auto& framebuffer : made) unlock(framebuffer);
}

TEST_F(FramebufferCacheTest, TextureOnlyAndFullFramebuffersNeverShareSlots) {
    platform::Size size{29, 23};
    auto full = cache().fetchFramebufferForSize(size, false);
    unlock(full);
    zvtest::drainVideoQueue();

    auto textureOnly = cache().fetchFramebufferForSize(size, true);
    EXPECT_NE(textureOnly, full);
    EXPECT_TRUE(textureOnly->missingFramebuffer());
    EXPECT_EQ(cache().slotCount(key(size)), 1) << "the full one is still idle in its own slot";
    unlock(textureOnly);
}

TEST_F(FramebufferCacheTest, AMemoryWarningEmptiesTheCache) {
    platform::Size size{27, 21};
    auto first = cache().fetchFramebufferForSize(size, false);
    unlock(first);
    zvtest::drainVideoQueue();
    ASSERT_EQ(cache().slotCount(key(size)), 1);

    platform::NotificationCenter::defaultCenter().post(platform::kApplicationDidReceiveMemoryWarningNotification);
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 0);
    EXPECT_EQ(cache().idleFramebufferCount(), 0u);
    auto second = cache().fetchFramebufferForSize(size, false);
    EXPECT_NE(second, first);
    unlock(second);
}

TEST_F(FramebufferCacheTest, LockingCountsHoldersAndTheLastUnlockReturns) {
    platform::Size size{25, 15};
    auto framebuffer = cache().fetchFramebufferForSize(size, false);
    runSynchronouslyOnVideoProcessingQueue([&] {
        framebuffer->lock();
        EXPECT_EQ(framebuffer->framebufferReferenceCount(), 2);
        framebuffer->unlock();
    });
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 0) << "one holder left";
    unlock(framebuffer);
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 1);
    auto again = cache().fetchFramebufferForSize(size, false);
    unlock(again);
}

TEST_F(FramebufferCacheTest, ATargetGivenTheSameFramebufferTwiceHoldsItOnce) {
    platform::Size size{17, 7};
    auto framebuffer = cache().fetchFramebufferForSize(size, false);
    auto filter = std::make_shared<ZVImageFilter>();
    runSynchronouslyOnVideoProcessingQueue([&] {
        filter->setInputFramebuffer(framebuffer, 0);
        filter->setInputFramebuffer(framebuffer, 0);
        EXPECT_EQ(framebuffer->framebufferReferenceCount(), 2);
        framebuffer->unlock(); // the fetcher lets go; the filter still holds it
    });
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 0);
    runSynchronouslyOnVideoProcessingQueue([&] { filter->resetInput(0); });
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 1);
}

TEST_F(FramebufferCacheTest, WithCountingDisabledAFramebufferNeverGoesBack) {
    platform::Size size{23, 13};
    auto framebuffer = cache().fetchFramebufferForSize(size, false);
    runSynchronouslyOnVideoProcessingQueue([&] {
        framebuffer->disableReferenceCounting();
        for (int i = 0; i < 3; ++i) framebuffer->unlock();
    });
    zvtest::drainVideoQueue();
    EXPECT_EQ(cache().slotCount(key(size)), 0);
    EXPECT_NE(cache().fetchFramebufferForSize(size, false), framebuffer);
}

TEST_F(FramebufferCacheTest, InertImageExtractionWritesItsLineAndGivesNothing) {
    std::vector<std::string> lines;
    platform::Console::setSink([&](const std::string& line) { lines.push_back(line); });
    auto framebuffer = cache().fetchFramebufferForSize({21, 11}, false);
    EXPECT_EQ(framebuffer->newCGImageFromFramebufferContents(), nullptr);
    platform::Console::setSink(nullptr);
    EXPECT_EQ(lines, std::vector<std::string>{"无用方法newCGImageFromFramebufferContents"});
    unlock(framebuffer);
}

TEST_F(FramebufferCacheTest, PixelBufferIsReadOnlyWhenAskedAndReusedOnlyOnceReleased) {
    auto first = cache().fetchFramebufferForSize({19, 9}, false);
    auto before = cache().readbackBuffersMade();
    runSynchronouslyOnVideoProcessingQueue([&] { first->activateFramebuffer(); });
    EXPECT_EQ(cache().readbackBuffersMade(), before) << "drawing reads nothing back";

    auto held = first->pixelBuffer();
    ASSERT_TRUE(held);
    EXPECT_EQ(first->pixelBuffer(), held) << "nothing drawn since: the same picture";
    runSynchronouslyOnVideoProcessingQueue([&] { first->activateFramebuffer(); });
    auto next = first->pixelBuffer();
    EXPECT_NE(next, held) << "a buffer someone holds is never written again";
    unlock(first);
}

TEST(ImageContextTest, TheSamePairOfSourcesGivesTheSameProgram) {
    ZV_REQUIRE_GL();
    auto& context = ZVImageContext::sharedImageProcessingContext();
    auto a = context.programForVertexShaderString(kZVImageVertexShaderString, kZVImagePassthroughFragmentShaderString);
    auto b = context.programForVertexShaderString(kZVImageVertexShaderString, kZVImagePassthroughFragmentShaderString);
    EXPECT_EQ(a, b);
    auto other = context.programForVertexShaderString(kZVImageVertexShaderString,
                                                      kZVImageAlphaBlendFragmentShaderString);
    EXPECT_NE(other, a);
}

TEST(ImageContextTest, ABrokenShaderKeepsItsLogsAndDoesNotLink) {
    ZV_REQUIRE_GL();
    std::vector<std::string> lines;
    platform::Console::setSink([&](const std::string& line) { lines.push_back(line); });
    std::shared_ptr<ZVGLProgram> program;
    bool linked = true;
    runSynchronouslyOnVideoProcessingQueue([&] {
        ZVImageContext::useImageProcessingContext();
        program = std::make_shared<ZVGLProgram>(kZVImageVertexShaderString, "void main() { gl_FragColor = nope; }");
        program->addAttribute("position");
        linked = program->link();
    });
    platform::Console::setSink(nullptr);
    EXPECT_FALSE(linked);
    EXPECT_FALSE(program->initialized());
    EXPECT_FALSE(program->fragmentShaderLog().empty());
    EXPECT_TRUE(program->vertexShaderLog().empty());
    EXPECT_EQ(lines, std::vector<std::string>{"Failed to compile fragment shader"});
}

TEST(ImageContextTest, LimitsAreReadOnceAndSizesFitThem) {
    ZV_REQUIRE_GL();
    int maximum = ZVImageContext::maximumTextureSizeForThisDevice();
    ASSERT_GE(maximum, 2048);
    EXPECT_GT(ZVImageContext::maximumTextureUnitsForThisDevice(), 4);
    EXPECT_EQ(ZVImageContext::sizeThatFitsWithinATextureForSize({720, 1280}), (platform::Size{720, 1280}));
    platform::Size tall = ZVImageContext::sizeThatFitsWithinATextureForSize({static_cast<double>(maximum), maximum * 2.0});
    EXPECT_EQ(tall, (platform::Size{maximum / 2.0, static_cast<double>(maximum)}));
    EXPECT_FALSE(ZVImageContext::sharedImageProcessingContext().rendererDescription().empty());
}

TEST(ImageContextTest, WorkQueuedFromTheQueueRunsInlineWithoutDeadlock) {
    int depth = 0;
    runSynchronouslyOnVideoProcessingQueue([&] {
        runSynchronouslyOnVideoProcessingQueue([&] { depth = 1; });
        runAsynchronouslyOnVideoProcessingQueue([&] { depth = 2; });
        EXPECT_EQ(depth, 2) << "asynchronous work from the queue itself runs at once";
    });
    EXPECT_TRUE(ZVImageContext::sharedContextQueue()->label().find("video-processing") != std::string::npos);
}

} // namespace
