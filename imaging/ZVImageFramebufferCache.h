#pragma once
#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "ZQPlatform/NotificationCenter.h"
#include "imaging/ZVImageFramebuffer.h"

namespace platform {
class PixelBufferPool;
}

// The pool of framebuffers that nodes borrow for each frame. Idle framebuffers wait under
// "<size-and-options key>-<slot>"; a fetch walks the slots of its key downwards and takes the first
// one found. All state is owned by the video-processing queue: fetching waits for the queue,
// returning and purging are queued. A memory warning purges the idle ones.
class ZVImageFramebufferCache {
public:
    ZVImageFramebufferCache();
    ~ZVImageFramebufferCache();
    ZVImageFramebufferCache(const ZVImageFramebufferCache&) = delete;
    ZVImageFramebufferCache& operator=(const ZVImageFramebufferCache&) = delete;

    // A framebuffer of the size and options, reused or new, locked once for the caller. Any thread.
    std::shared_ptr<ZVImageFramebuffer> fetchFramebufferForSize(platform::Size size, const ZVGPUTextureOptions& options,
                                                                bool onlyTexture);
    std::shared_ptr<ZVImageFramebuffer> fetchFramebufferForSize(platform::Size size, bool onlyTexture);
    // Clears the framebuffer's locks at once and files it under its key's next slot (queued). Any thread.
    void returnFramebufferToCache(const std::shared_ptr<ZVImageFramebuffer>& framebuffer);
    // Drops every idle framebuffer and read-back buffer (queued). Any thread.
    void purgeAllUnassignedFramebuffers();
    void addFramebufferToActiveImageCaptureList(const std::shared_ptr<ZVImageFramebuffer>& framebuffer);
    void removeFramebufferFromActiveImageCaptureList(const std::shared_ptr<ZVImageFramebuffer>& framebuffer);

    // "%.1fx%.1f-%d:%d:%d:%d:%d:%d:%d", with "-NOFB" for texture-only objects.
    static std::string hashForSize(platform::Size size, const ZVGPUTextureOptions& options, bool onlyTexture);

    // A BGRA buffer of the size for a read-back, from a pool that reuses a buffer only once its last
    // holder has let it go. nullptr for a size that cannot hold a picture. Video-processing queue.
    std::shared_ptr<platform::PixelBuffer> takeReadbackBuffer(int width, int height);

    // What the cache holds and has done (tests and benchmarks). Any thread.
    std::int64_t slotCount(const std::string& key);  // framebufferTypeCounts[key]
    std::size_t idleFramebufferCount();
    std::uint64_t framebuffersMade() const { return mFramebuffersMade.load(); }
    std::uint64_t framebuffersReused() const { return mFramebuffersReused.load(); }
    std::uint64_t readbackBuffersMade() const { return mReadbackBuffersMade.load(); }

private:
    // Owned by the video-processing queue.
    std::map<std::string, std::shared_ptr<ZVImageFramebuffer>> mFramebufferCache;
    std::map<std::string, std::int64_t> mFramebufferTypeCounts;
    std::vector<std::shared_ptr<ZVImageFramebuffer>> mActiveImageCaptureList;
    std::map<std::pair<int, int>, std::unique_ptr<platform::PixelBufferPool>> mReadbackPools;

    platform::NotificationCenter::Registration mMemoryWarningObserver;
    std::atomic<std::uint64_t> mFramebuffersMade{0};
    std::atomic<std::uint64_t> mFramebuffersReused{0};
    std::atomic<std::uint64_t> mReadbackBuffersMade{0};
};
