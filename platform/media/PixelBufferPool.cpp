#include "platform/media/PixelBufferPool.h"

namespace platform {

PixelBufferPool::PixelBufferPool(int width, int height, PixelFormat format, std::size_t maxIdle)
    : mWidth(width), mHeight(height), mFormat(format), mState(std::make_shared<State>()) {
    mState->maxIdle = maxIdle;
}

std::shared_ptr<PixelBuffer> PixelBufferPool::take() {
    std::unique_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(mState->mutex);
        if (!mState->idle.empty()) {
            buffer = std::move(mState->idle.back());
            mState->idle.pop_back();
        }
    }
    if (!buffer) {
        if (!PixelBuffer::isValidSize(mWidth, mHeight)) return nullptr;
        buffer.reset(new PixelBuffer(mWidth, mHeight, mFormat));
    }
    return std::shared_ptr<PixelBuffer>(buffer.release(), [weak = std::weak_ptr<State>(mState)](PixelBuffer* p) {
        std::unique_ptr<PixelBuffer> owned(p);
        if (auto state = weak.lock()) {
            std::lock_guard lock(state->mutex);
            if (state->idle.size() < state->maxIdle) state->idle.push_back(std::move(owned));
        }
    });
}

std::size_t PixelBufferPool::idleCount() const {
    std::lock_guard lock(mState->mutex);
    return mState->idle.size();
}

} // namespace platform
