#include "imaging/ZVImageOutput.h"

#include <algorithm>
#include "imaging/ZVImageContext.h"

ZVImageOutput::ZVImageOutput() = default;

// Targets hold no reference back to their sources, so nothing to undo in them here.
ZVImageOutput::~ZVImageOutput() = default;

void ZVImageOutput::setInputFramebufferForTarget(const std::shared_ptr<ZVImageInput>& target, int inputTextureIndex) {
    target->setInputFramebuffer(framebufferForOutput(), inputTextureIndex);
}

void ZVImageOutput::notifyTargetsAboutNewOutputTexture() {
    for (const auto& entry : targetEntries()) setInputFramebufferForTarget(entry.target, entry.index);
}

std::vector<std::shared_ptr<ZVImageInput>> ZVImageOutput::targets() const {
    std::vector<std::shared_ptr<ZVImageInput>> copy;
    runSynchronouslyOnVideoProcessingQueue([&] { copy = mTargets; });
    return copy;
}

std::vector<ZVImageOutput::TargetEntry> ZVImageOutput::targetEntries() const {
    std::vector<TargetEntry> entries;
    entries.reserve(mTargets.size());
    for (std::size_t i = 0; i < mTargets.size(); ++i) entries.push_back({mTargets[i], mTargetTextureIndices[i]});
    return entries;
}

bool ZVImageOutput::isIgnored(const ZVImageInput& target) const {
    auto ignored = mTargetToIgnoreForUpdates.lock();
    return ignored && ignored.get() == &target;
}

void ZVImageOutput::addTarget(const std::shared_ptr<ZVImageInput>& newTarget) {
    if (!newTarget) return;
    runSynchronouslyOnVideoProcessingQueue([&] {
        int index = newTarget->nextAvailableTextureIndex();
        addTarget(newTarget, index);
        if (newTarget->shouldIgnoreUpdatesToThisTarget()) mTargetToIgnoreForUpdates = newTarget;
    });
}

void ZVImageOutput::addTarget(const std::shared_ptr<ZVImageInput>& newTarget, int textureLocation) {
    if (!newTarget) return;
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (std::find(mTargets.begin(), mTargets.end(), newTarget) != mTargets.end()) return;
        mCachedMaximumOutputSize = {};
        setInputFramebufferForTarget(newTarget, textureLocation);
        mTargets.push_back(newTarget);
        mTargetTextureIndices.push_back(textureLocation);
        mAllTargetsWantMonochromeData = mAllTargetsWantMonochromeData && newTarget->wantsMonochromeInput();
    });
}

void ZVImageOutput::removeTarget(const std::shared_ptr<ZVImageInput>& targetToRemove) {
    if (!targetToRemove) return;
    runSynchronouslyOnVideoProcessingQueue([&] {
        auto found = std::find(mTargets.begin(), mTargets.end(), targetToRemove);
        if (found == mTargets.end()) return;
        if (isIgnored(*targetToRemove)) mTargetToIgnoreForUpdates.reset();
        mCachedMaximumOutputSize = {};
        auto position = found - mTargets.begin();
        int index = mTargetTextureIndices[static_cast<std::size_t>(position)];
        targetToRemove->setInputSize({}, index);
        targetToRemove->setInputRotation(kZVImageNoRotation, index);
        targetToRemove->resetInput(index);
        mTargets.erase(found);
        mTargetTextureIndices.erase(mTargetTextureIndices.begin() + position);
        targetToRemove->endProcessing();
    });
}

void ZVImageOutput::removeAllTargets() {
    runSynchronouslyOnVideoProcessingQueue([&] {
        mCachedMaximumOutputSize = {};
        auto entries = targetEntries();
        mTargets.clear();
        mTargetTextureIndices.clear();
        mTargetToIgnoreForUpdates.reset();
        mAllTargetsWantMonochromeData = true;
        for (const auto& entry : entries) {
            entry.target->setInputSize({}, entry.index);
            entry.target->setInputRotation(kZVImageNoRotation, entry.index);
            entry.target->resetInput(entry.index);
        }
    });
}

std::shared_ptr<platform::Image> ZVImageOutput::newCGImageFromCurrentlyProcessedOutput() {
    std::shared_ptr<platform::Image> image;
    // No waiting for a frame: the extraction yields nothing, and a stopped camera must not hang the caller.
    runSynchronouslyOnVideoProcessingQueue([&] {
        mUsingNextFrameForImageCapture = false;
        auto framebuffer = std::move(mCaptureFramebuffer);
        if (!framebuffer) framebuffer = framebufferForOutput();
        if (!framebuffer) return;
        image = framebuffer->newCGImageFromFramebufferContents();
        if (framebuffer != framebufferForOutput()) framebuffer->unlock(); // the capture's own lock
    });
    return image;
}

std::shared_ptr<platform::Image> ZVImageOutput::imageFromCurrentFramebuffer() {
    // The device orientation would pick the image orientation; the extraction yields nothing anyway.
    return imageFromCurrentFramebufferWithOrientation(0);
}

std::shared_ptr<platform::Image> ZVImageOutput::imageFromCurrentFramebufferWithOrientation(int imageOrientation) {
    (void)imageOrientation;
    return newCGImageFromCurrentlyProcessedOutput();
}

void ZVImageOutput::setFrameProcessingCompletionBlock(FrameProcessingCompletionBlock block) {
    runSynchronouslyOnVideoProcessingQueue([&] { mFrameProcessingCompletionBlock = std::move(block); });
}

ZVImageOutput::FrameProcessingCompletionBlock ZVImageOutput::frameProcessingCompletionBlock() const {
    FrameProcessingCompletionBlock block;
    runSynchronouslyOnVideoProcessingQueue([&] { block = mFrameProcessingCompletionBlock; });
    return block;
}
