#pragma once
#include <cstdint>
#include <memory>
#include "ZQLiveKit/Image.h"
#include "ZQLiveKit/PixelBuffer.h"
#include "ZQPlatform/Geometry.h"
#include "imaging/GLES.h"

// The seven texture settings of a framebuffer, in the order its cache key lists them. The format
// names what the pipeline hands on (BGRA pixel buffers); textures themselves are always allocated
// as RGBA, which every GLES2 driver accepts, and read back as BGRA.
struct ZVGPUTextureOptions {
    GLenum minFilter = GL_LINEAR;
    GLenum magFilter = GL_LINEAR;
    GLenum wrapS = GL_CLAMP_TO_EDGE;
    GLenum wrapT = GL_CLAMP_TO_EDGE;
    GLenum internalFormat = GL_RGBA;
    GLenum format = GL_BGRA_EXT;
    GLenum type = GL_UNSIGNED_BYTE;

    friend bool operator==(const ZVGPUTextureOptions&, const ZVGPUTextureOptions&) = default;
};

// A texture, with a framebuffer to render into unless it is texture-only, lent out by the
// framebuffer cache and given back by reference counting. Everything but the plain getters runs on
// the video-processing queue.
class ZVImageFramebuffer : public std::enable_shared_from_this<ZVImageFramebuffer> {
public:
    // initWithSize:textureOptions:onlyTexture:. Writes "FBO size: %f, %f" when the size cannot
    // hold a picture. Any thread (the GL work runs on the video-processing queue).
    ZVImageFramebuffer(platform::Size size, const ZVGPUTextureOptions& options, bool onlyTexture);
    explicit ZVImageFramebuffer(platform::Size size);
    // Deletes the GL objects on the video-processing queue. Any thread.
    ~ZVImageFramebuffer();
    ZVImageFramebuffer(const ZVImageFramebuffer&) = delete;
    ZVImageFramebuffer& operator=(const ZVImageFramebuffer&) = delete;

    // Binds the framebuffer with a viewport of its size; what is drawn next lands in it.
    void activateFramebuffer();

    // Reference counting: lock adds a holder; the unlock that takes the count from 1 to 0 gives the
    // framebuffer back to the shared cache. Both do nothing while counting is disabled.
    void lock();
    void unlock();
    void clearAllLocks();
    void disableReferenceCounting();
    void enableReferenceCounting();
    int framebufferReferenceCount() const { return mFramebufferReferenceCount; }
    // A holder's slot: `hold` locks the new framebuffer before letting the old one go (so giving
    // the same one again never sends it back to the cache); `release` lets it go and empties it.
    static void hold(std::shared_ptr<ZVImageFramebuffer>& slot, std::shared_ptr<ZVImageFramebuffer> next);
    static void release(std::shared_ptr<ZVImageFramebuffer>& slot);
    bool referenceCountingDisabled() const { return mReferenceCountingDisabled; }

    // CPU access to the picture: lockForReading reads the framebuffer back (when the read count goes
    // from 0 to 1); byteBuffer/bytesPerRow are valid until the matching unlockAfterReading.
    void lockForReading();
    void unlockAfterReading();
    std::size_t bytesPerRow();
    std::uint8_t* byteBuffer();
    // The picture as a BGRA pixel buffer, read back when asked (never per draw) into a pooled buffer
    // that is reused only once nobody holds it: a holder (the encoder) may keep it as long as it
    // likes. The same buffer while nothing new was drawn. nullptr for texture-only objects.
    std::shared_ptr<platform::PixelBuffer> pixelBuffer();
    // Drops the read-back picture.
    void restoreRenderTarget();
    // Inert: writes "无用方法newCGImageFromFramebufferContents" and gives no image.
    std::shared_ptr<platform::Image> newCGImageFromFramebufferContents();

    // Replaces the texture's pixels with an RGBA picture of the framebuffer's size (row 0 is the
    // top of the picture).
    void uploadRGBA(const std::uint8_t* pixels, std::size_t bytesPerRow);

    GLuint texture() const { return mTexture; }
    GLuint framebuffer() const { return mFramebuffer; }
    platform::Size size() const { return mSize; }
    const ZVGPUTextureOptions& textureOptions() const { return mTextureOptions; }
    bool missingFramebuffer() const { return mMissingFramebuffer; }

private:
    void generateTexture();
    void generateFramebuffer();
    bool readBack(platform::PixelBuffer& target);

    platform::Size mSize;
    ZVGPUTextureOptions mTextureOptions;
    bool mMissingFramebuffer;
    int mWidth = 0;
    int mHeight = 0;
    GLuint mFramebuffer = 0;
    GLuint mTexture = 0;

    // Owned by the video-processing queue.
    int mFramebufferReferenceCount = 0;
    bool mReferenceCountingDisabled = false;
    int mReadLockCount = 0;
    std::uint64_t mContentVersion = 0;   // bumped each time the framebuffer is drawn into
    std::uint64_t mRenderTargetVersion = 0;
    std::shared_ptr<platform::PixelBuffer> mRenderTarget;
};
