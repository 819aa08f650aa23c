#include "imaging/ZVImageFramebufferCache.h"

#include <algorithm>
#include "ZQLiveKit/Application.h"
#include "ZQPlatform/Format.h"
#include "imaging/ZVImageContext.h"
#include "platform/media/PixelBufferPool.h"

ZVImageFramebufferCache::ZVImageFramebufferCache() {
    mMemoryWarningObserver = platform::NotificationCenter::defaultCenter().addObserver(
        platform::kApplicationDidReceiveMemoryWarningNotification, nullptr, nullptr,
        [this](const platform::Notification&) { purgeAllUnassignedFramebuffers(); });
}

ZVImageFramebufferCache::~ZVImageFramebufferCache() = default;

std::string ZVImageFramebufferCache::hashForSize(platform::Size size, const ZVGPUTextureOptions& o, bool onlyTexture) {
    return platform::stringWithFormat(onlyTexture ? "%.1fx%.1f-%d:%d:%d:%d:%d:%d:%d-NOFB" : "%.1fx%.1f-%d:%d:%d:%d:%d:%d:%d",
                                      size.width, size.height, o.minFilter, o.magFilter, o.wrapS, o.wrapT,
                                      o.internalFormat, o.format, o.type);
}

std::shared_ptr<ZVImageFramebuffer> ZVImageFramebufferCache::fetchFramebufferForSize(platform::Size size,
                                                                                    const ZVGPUTextureOptions& options,
                                                                                    bool onlyTexture) {
    std::shared_ptr<ZVImageFramebuffer> framebuffer;
    runSynchronouslyOnVideoProcessingQueue([&] {
        std::string key = hashForSize(size, options, onlyTexture);
        auto count = mFramebufferTypeCounts.find(key);
        std::int64_t slots = count == mFramebufferTypeCounts.end() ? 0 : count->second;
        if (slots >= 1) {
            std::int64_t slot = slots - 1;
            for (; slot >= 0; --slot) {
                auto found = mFramebufferCache.find(platform::stringWithFormat("%s-%ld", key.c_str(), static_cast<long>(slot)));
                if (found != mFramebufferCache.end()) {
                    framebuffer = std::move(found->second);
                    mFramebufferCache.erase(found);
                    break;
                }
            }
            // Slots above the one found (or all, when none was) count as free again.
            mFramebufferTypeCounts[key] = std::max<std::int64_t>(slot, 0);
        }
        if (framebuffer) {
            ++mFramebuffersReused;
        } else {
            framebuffer = std::make_shared<ZVImageFramebuffer>(size, options, onlyTexture);
            ++mFramebuffersMade;
        }
    });
    framebuffer->lock();
    return framebuffer;
}

std::shared_ptr<ZVImageFramebuffer> ZVImageFramebufferCache::fetchFramebufferForSize(platform::Size size,
                                                                                    bool onlyTexture) {
    return fetchFramebufferForSize(size, ZVGPUTextureOptions{}, onlyTexture);
}

void ZVImageFramebufferCache::returnFramebufferToCache(const std::shared_ptr<ZVImageFramebuffer>& framebuffer) {
    if (!framebuffer) return;
    framebuffer->clearAllLocks();
    runAsynchronouslyOnVideoProcessingQueue([this, framebuffer] {
        std::string key = hashForSize(framebuffer->size(), framebuffer->textureOptions(), framebuffer->missingFramebuffer());
        std::int64_t& slots = mFramebufferTypeCounts[key];
        mFramebufferCache[platform::stringWithFormat("%s-%ld", key.c_str(), static_cast<long>(slots))] = framebuffer;
        ++slots;
    });
}

void ZVImageFramebufferCache::purgeAllUnassignedFramebuffers() {
    runAsynchronouslyOnVideoProcessingQueue([this] {
        mFramebufferCache.clear();
        mFramebufferTypeCounts.clear();
        mReadbackPools.clear();
    });
}

void ZVImageFramebufferCache::addFramebufferToActiveImageCaptureList(const std::shared_ptr<ZVImageFramebuffer>& fb) {
    runAsynchronouslyOnVideoProcessingQueue([this, fb] { mActiveImageCaptureList.push_back(fb); });
}

void ZVImageFramebufferCache::removeFramebufferFromActiveImageCaptureList(const std::shared_ptr<ZVImageFramebuffer>& fb) {
    runAsynchronouslyOnVideoProcessingQueue([this, fb] {
        auto& list = mActiveImageCaptureList;
        list.erase(std::remove(list.begin(), list.end(), fb), list.end());
    });
}

std::shared_ptr<platform::PixelBuffer> ZVImageFramebufferCache::takeReadbackBuffer(int width, int height) {
    if (!platform::PixelBuffer::isValidSize(width, height)) return nullptr;
    auto& pool = mReadbackPools[{width, height}];
    if (!pool) pool = std::make_unique<platform::PixelBufferPool>(width, height, platform::PixelFormat::BGRA, 6);
    bool fresh = pool->idleCount() == 0;
    auto buffer = pool->take();
    if (buffer && fresh) ++mReadbackBuffersMade;
    return buffer;
}

std::int64_t ZVImageFramebufferCache::slotCount(const std::string& key) {
    std::int64_t count = 0;
    runSynchronouslyOnVideoProcessingQueue([&] {
        auto found = mFramebufferTypeCounts.find(key);
        count = found == mFramebufferTypeCounts.end() ? 0 : found->second;
    });
    return count;
}

std::size_t ZVImageFramebufferCache::idleFramebufferCount() {
    std::size_t count = 0;
    runSynchronouslyOnVideoProcessingQueue([&] { count = mFramebufferCache.size(); });
    return count;
}
