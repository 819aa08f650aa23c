#include "imaging/ZVImageUIElement.h"

#include <algorithm>
#include <cmath>
#include "imaging/ZVImageContext.h"
#include "imaging/ZVImageFramebufferCache.h"
#include "platform/media/ViewRenderer.h"

ZVImageUIElement::ZVImageUIElement(std::shared_ptr<platform::View> view) : mView(std::move(view)) {}

platform::Size ZVImageUIElement::layerSizeInPixels() const {
    if (!mView) return {};
    platform::Size points = mView->bounds().size;
    return {std::round(points.width), std::round(points.height)};
}

void ZVImageUIElement::update() { updateWithTimestamp(kZVTimeIndefinite); }

double ZVImageUIElement::timeOfLastUpdate() const {
    double time = kZVTimeInvalid;
    runSynchronouslyOnVideoProcessingQueue([&] { time = mTimeOfLastUpdate; });
    return time;
}

void ZVImageUIElement::updateWithTimestamp(double frameTime) {
    platform::Size size = layerSizeInPixels();
    int width = static_cast<int>(size.width), height = static_cast<int>(size.height);
    if (!mView || !platform::PixelBuffer::isValidSize(width, height)) return;
    // Premultiplied RGBA, row 0 at the top: the same rows a camera picture has.
    platform::RGBABitmap bitmap = platform::renderViewHierarchy(*mView, width, height);
    runSynchronouslyOnVideoProcessingQueue([&] {
        auto framebuffer = ZVImageContext::sharedFramebufferCache().fetchFramebufferForSize(size, true);
        framebuffer->disableReferenceCounting();
        framebuffer->uploadRGBA(bitmap.pixels.data(), static_cast<std::size_t>(width) * 4);
        mOutputFramebuffer = framebuffer;
        mTimeOfLastUpdate = frameTime;
        auto entries = targetEntries();
        for (const auto& entry : entries) {
            if (isIgnored(*entry.target)) continue;
            entry.target->setInputSize(size, entry.index);
            entry.target->setInputFramebuffer(framebuffer, entry.index);
        }
        for (const auto& entry : entries) {
            if (isIgnored(*entry.target)) continue;
            entry.target->newFrameReadyAtTime(frameTime, entry.index);
        }
    });
}
