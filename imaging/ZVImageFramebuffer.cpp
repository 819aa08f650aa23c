#include "imaging/ZVImageFramebuffer.h"

#include <cstring>
#include <vector>
#include "ZQPlatform/Console.h"
#include "imaging/ZVImageContext.h"
#include "imaging/ZVImageFramebufferCache.h"

using namespace zvgl;

namespace {

// Textures are stored as RGBA whatever format the options name: BGRA storage is an extension.
GLenum storageFormat(GLenum format) { return format == GL_BGRA_EXT ? GL_RGBA : format; }

} // namespace

ZVImageFramebuffer::ZVImageFramebuffer(platform::Size size, const ZVGPUTextureOptions& options, bool onlyTexture)
    : mSize(size), mTextureOptions(options), mMissingFramebuffer(onlyTexture) {
    mWidth = static_cast<int>(size.width);
    mHeight = static_cast<int>(size.height);
    runSynchronouslyOnVideoProcessingQueue([&] {
        ZVImageContext::useImageProcessingContext();
        if (mMissingFramebuffer)
            generateTexture();
        else
            generateFramebuffer();
    });
}

ZVImageFramebuffer::ZVImageFramebuffer(platform::Size size) : ZVImageFramebuffer(size, ZVGPUTextureOptions{}, false) {}

ZVImageFramebuffer::~ZVImageFramebuffer() {
    GLuint framebuffer = mFramebuffer, texture = mTexture;
    if (!framebuffer && !texture) return;
    // The GL names outlive this object by one queued task: GL objects die on the GL thread.
    runAsynchronouslyOnVideoProcessingQueue([framebuffer, texture] {
        ZVImageContext::useImageProcessingContext();
        if (framebuffer) glDeleteFramebuffers(1, &framebuffer);
        if (texture) glDeleteTextures(1, &texture);
    });
}

void ZVImageFramebuffer::generateTexture() {
    glActiveTexture(GL_TEXTURE1);
    glGenTextures(1, &mTexture);
    glBindTexture(GL_TEXTURE_2D, mTexture);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, static_cast<GLint>(mTextureOptions.minFilter));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, static_cast<GLint>(mTextureOptions.magFilter));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, static_cast<GLint>(mTextureOptions.wrapS));
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, static_cast<GLint>(mTextureOptions.wrapT));
}

void ZVImageFramebuffer::generateFramebuffer() {
    if (!platform::PixelBuffer::isValidSize(mWidth, mHeight)) {
        platform::Console::logf("FBO size: %f, %f", mSize.width, mSize.height);
        return;
    }
    glGenFramebuffers(1, &mFramebuffer);
    glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
    generateTexture();
    GLenum format = storageFormat(mTextureOptions.format);
    GLenum internalFormat = storageFormat(mTextureOptions.internalFormat);
    glTexImage2D(GL_TEXTURE_2D, 0, static_cast<GLint>(internalFormat), mWidth, mHeight, 0, format,
                 mTextureOptions.type, nullptr);
    glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, mTexture, 0);
    GLenum status = glCheckFramebufferStatus(GL_FRAMEBUFFER);
    if (status != GL_FRAMEBUFFER_COMPLETE && ZVImageContext::sharedImageProcessingContext().isAvailable())
        platform::Console::logf("Incomplete framebuffer %dx%d: status 0x%x", mWidth, mHeight, status);
    glBindTexture(GL_TEXTURE_2D, 0);
}

void ZVImageFramebuffer::activateFramebuffer() {
    glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
    glViewport(0, 0, mWidth, mHeight);
    ++mContentVersion;
}

void ZVImageFramebuffer::lock() {
    if (mReferenceCountingDisabled) return;
    ++mFramebufferReferenceCount;
}

void ZVImageFramebuffer::unlock() {
    if (mReferenceCountingDisabled) return;
    if (mFramebufferReferenceCount < 1) {
        // An unlock without a lock would hand out a framebuffer that someone still draws from.
        platform::Console::log("ZVImageFramebuffer: unlocked more often than locked; ignored");
        return;
    }
    if (--mFramebufferReferenceCount < 1)
        ZVImageContext::sharedFramebufferCache().returnFramebufferToCache(shared_from_this());
}

void ZVImageFramebuffer::hold(std::shared_ptr<ZVImageFramebuffer>& slot, std::shared_ptr<ZVImageFramebuffer> next) {
    if (next) next->lock();
    if (slot) slot->unlock();
    slot = std::move(next);
}

void ZVImageFramebuffer::release(std::shared_ptr<ZVImageFramebuffer>& slot) {
    if (slot) slot->unlock();
    slot.reset();
}

void ZVImageFramebuffer::clearAllLocks() { mFramebufferReferenceCount = 0; }
void ZVImageFramebuffer::disableReferenceCounting() { mReferenceCountingDisabled = true; }
void ZVImageFramebuffer::enableReferenceCounting() { mReferenceCountingDisabled = false; }

void ZVImageFramebuffer::lockForReading() {
    if (mReadLockCount++ == 0) (void)pixelBuffer();
}

void ZVImageFramebuffer::unlockAfterReading() {
    if (mReadLockCount < 1) return;
    --mReadLockCount;
}

std::size_t ZVImageFramebuffer::bytesPerRow() {
    auto buffer = pixelBuffer();
    return buffer ? buffer->bytesPerRow(0) : 0;
}

std::uint8_t* ZVImageFramebuffer::byteBuffer() {
    auto buffer = pixelBuffer();
    return buffer ? buffer->planeData(0) : nullptr;
}

std::shared_ptr<platform::PixelBuffer> ZVImageFramebuffer::pixelBuffer() {
    if (mMissingFramebuffer || !mFramebuffer) return nullptr;
    std::shared_ptr<platform::PixelBuffer> result;
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (mRenderTarget && mRenderTargetVersion == mContentVersion) {
            result = mRenderTarget;
            return;
        }
        auto buffer = ZVImageContext::sharedFramebufferCache().takeReadbackBuffer(mWidth, mHeight);
        if (!buffer) {
            platform::Console::logf("FBO size: %f, %f", mSize.width, mSize.height);
            return;
        }
        ZVImageContext::useImageProcessingContext();
        if (!readBack(*buffer)) return;
        mRenderTarget = buffer;
        mRenderTargetVersion = mContentVersion;
        result = std::move(buffer);
    });
    return result;
}

bool ZVImageFramebuffer::readBack(platform::PixelBuffer& target) {
    const auto& caps = ZVImageContext::readbackCapabilities();
    std::uint8_t* base = target.planeData(0);
    std::size_t stride = target.bytesPerRow(0);
    std::size_t tight = static_cast<std::size_t>(mWidth) * 4;
    GLenum format = caps.readsBGRA ? GL_BGRA_EXT : GL_RGBA;
    glBindFramebuffer(GL_FRAMEBUFFER, mFramebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    if (stride == tight || caps.packRowLength) {
        if (stride != tight) glPixelStorei(GL_PACK_ROW_LENGTH, static_cast<GLint>(stride / 4));
        glReadPixels(0, 0, mWidth, mHeight, format, GL_UNSIGNED_BYTE, base);
        if (stride != tight) glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    } else {
        thread_local std::vector<std::uint8_t> scratch;
        scratch.resize(tight * static_cast<std::size_t>(mHeight));
        glReadPixels(0, 0, mWidth, mHeight, format, GL_UNSIGNED_BYTE, scratch.data());
        for (int y = 0; y < mHeight; ++y)
            std::memcpy(base + static_cast<std::size_t>(y) * stride, scratch.data() + static_cast<std::size_t>(y) * tight,
                        tight);
    }
    if (!caps.readsBGRA) {
        for (int y = 0; y < mHeight; ++y) {
            std::uint8_t* p = base + static_cast<std::size_t>(y) * stride;
            for (int x = 0; x < mWidth; ++x, p += 4) std::swap(p[0], p[2]);
        }
    }
    return glGetError() == GL_NO_ERROR;
}

void ZVImageFramebuffer::restoreRenderTarget() {
    runSynchronouslyOnVideoProcessingQueue([&] {
        mReadLockCount = 0;
        mRenderTarget.reset();
    });
}

std::shared_ptr<platform::Image> ZVImageFramebuffer::newCGImageFromFramebufferContents() {
    platform::Console::log("无用方法newCGImageFromFramebufferContents");
    return nullptr;
}

void ZVImageFramebuffer::uploadRGBA(const std::uint8_t* pixels, std::size_t bytesPerRow) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        ZVImageContext::useImageProcessingContext();
        glActiveTexture(GL_TEXTURE1);
        glBindTexture(GL_TEXTURE_2D, mTexture);
        ZVImageContext::uploadRows(GL_RGBA, 4, mWidth, mHeight, pixels, bytesPerRow, /*allocate=*/true);
        glBindTexture(GL_TEXTURE_2D, 0);
        ++mContentVersion;
    });
}
