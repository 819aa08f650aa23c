#pragma once
#include <cmath>
#include <functional>
#include <limits>
#include <memory>
#include <vector>
#include "ZQLiveKit/Image.h"
#include "ZQPlatform/Geometry.h"
#include "imaging/ZVImageFramebuffer.h"
#include "imaging/ZVImageShaders.h"

// Frame times are media-clock seconds; a still source (a rendered view) has the indefinite time,
// and a time never set is invalid (neither definite nor indefinite).
inline constexpr double kZVTimeIndefinite = std::numeric_limits<double>::infinity();
inline constexpr double kZVTimeInvalid = std::numeric_limits<double>::quiet_NaN();
inline bool ZVTimeIsIndefinite(double time) { return std::isinf(time); }
inline bool ZVTimeIsDefinite(double time) { return std::isfinite(time); }

// What every target of a node answers to. All operations run on the video-processing queue.
class ZVImageInput {
public:
    virtual ~ZVImageInput() = default;
    virtual void newFrameReadyAtTime(double frameTime, int textureIndex) = 0;
    // The target locks the framebuffer it is given (a null one clears the input).
    virtual void setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> framebuffer, int textureIndex) = 0;
    virtual int nextAvailableTextureIndex() = 0;
    virtual void setInputSize(platform::Size newSize, int textureIndex) = 0;
    virtual void setInputRotation(int newInputRotation, int textureIndex) = 0;
    virtual platform::Size maximumOutputSize() = 0;
    virtual void endProcessing() = 0;
    virtual bool shouldIgnoreUpdatesToThisTarget() const = 0;
    virtual bool enabled() const = 0;
    virtual bool wantsMonochromeInput() = 0;
    virtual void setCurrentlyReceivingMonochromeInput(bool newValue) = 0;
    // Told when the target leaves a source, after its size and rotation were reset: forgets what it
    // knew about that input (which input indices are taken, the framebuffer it held).
    virtual void resetInput(int textureIndex) { (void)textureIndex; }
};

class ZVImageMovieWriter;

// The base of every source and filter: its targets, each with the input index it feeds, and the
// framebuffer of the frame being delivered. Graph edits run synchronously on the video-processing
// queue, so they can be called from any thread; everything else runs on that queue.
class ZVImageOutput : public std::enable_shared_from_this<ZVImageOutput> {
public:
    using FrameProcessingCompletionBlock = std::function<void(ZVImageOutput& output, double frameTime)>;

    ZVImageOutput();
    virtual ~ZVImageOutput();
    ZVImageOutput(const ZVImageOutput&) = delete;
    ZVImageOutput& operator=(const ZVImageOutput&) = delete;

    // Gives the target this node's current output framebuffer at the index.
    void setInputFramebufferForTarget(const std::shared_ptr<ZVImageInput>& target, int inputTextureIndex);
    std::shared_ptr<ZVImageFramebuffer> framebufferForOutput() const { return mOutputFramebuffer; }
    void removeOutputFramebuffer() { mOutputFramebuffer.reset(); }
    void notifyTargetsAboutNewOutputTexture();

    std::vector<std::shared_ptr<ZVImageInput>> targets() const;
    // Adds with the target's next available index; a target already present is left alone. Any thread.
    void addTarget(const std::shared_ptr<ZVImageInput>& newTarget);
    void addTarget(const std::shared_ptr<ZVImageInput>& newTarget, int textureLocation);
    // Detaches, resetting the target's input size, rotation and index state. Any thread.
    void removeTarget(const std::shared_ptr<ZVImageInput>& targetToRemove);
    void removeAllTargets();

    // Filters override: see ZVImageFilter. Nothing on the base output.
    virtual void forceProcessingAtSize(platform::Size frameSize) { (void)frameSize; }
    virtual void forceProcessingAtSizeRespectingAspectRatio(platform::Size frameSize) { (void)frameSize; }

    // Image capture: the next frame's framebuffer is kept for imageFromCurrentFramebuffer(), whose
    // extraction is inert, so the result is always null.
    virtual void useNextFrameForImageCapture() {}
    std::shared_ptr<platform::Image> newCGImageFromCurrentlyProcessedOutput();
    std::shared_ptr<platform::Image> imageFromCurrentFramebuffer();
    std::shared_ptr<platform::Image> imageFromCurrentFramebufferWithOrientation(int imageOrientation);

    // Called first for every finished frame, before any target sees it. Any thread.
    void setFrameProcessingCompletionBlock(FrameProcessingCompletionBlock block);
    FrameProcessingCompletionBlock frameProcessingCompletionBlock() const;

    bool enabled() const { return mEnabled; }
    void setEnabled(bool enabled) { mEnabled = enabled; }
    const ZVGPUTextureOptions& outputTextureOptions() const { return mOutputTextureOptions; }
    void setOutputTextureOptions(const ZVGPUTextureOptions& options) { mOutputTextureOptions = options; }
    std::shared_ptr<ZVImageInput> targetToIgnoreForUpdates() const { return mTargetToIgnoreForUpdates.lock(); }
    void setTargetToIgnoreForUpdates(const std::shared_ptr<ZVImageInput>& target) { mTargetToIgnoreForUpdates = target; }
    bool shouldSmoothlyScaleOutput() const { return mShouldSmoothlyScaleOutput; }
    void setShouldSmoothlyScaleOutput(bool value) { mShouldSmoothlyScaleOutput = value; }
    void setAudioEncodingTarget(const std::shared_ptr<ZVImageMovieWriter>& target) { mAudioEncodingTarget = target; }
    std::shared_ptr<ZVImageMovieWriter> audioEncodingTarget() const { return mAudioEncodingTarget.lock(); }

protected:
    // Targets in order with their indices, copied so a target may edit the graph while it is told.
    struct TargetEntry {
        std::shared_ptr<ZVImageInput> target;
        int index;
    };
    std::vector<TargetEntry> targetEntries() const;
    bool isIgnored(const ZVImageInput& target) const;
    // The completion block, read on the video-processing queue.
    const FrameProcessingCompletionBlock& completionBlock() const { return mFrameProcessingCompletionBlock; }

    std::shared_ptr<ZVImageFramebuffer> mOutputFramebuffer;
    platform::Size mInputTextureSize;
    platform::Size mCachedMaximumOutputSize;
    platform::Size mForcedMaximumSize;
    bool mOverrideInputSize = false;
    bool mAllTargetsWantMonochromeData = true;
    bool mUsingNextFrameForImageCapture = false;
    // The frame kept, with a lock of its own, for the image capture that asked for it.
    std::shared_ptr<ZVImageFramebuffer> mCaptureFramebuffer;

private:
    std::vector<std::shared_ptr<ZVImageInput>> mTargets;
    std::vector<int> mTargetTextureIndices;
    FrameProcessingCompletionBlock mFrameProcessingCompletionBlock;
    bool mEnabled = true;
    ZVGPUTextureOptions mOutputTextureOptions;
    std::weak_ptr<ZVImageInput> mTargetToIgnoreForUpdates;
    bool mShouldSmoothlyScaleOutput = false;
    std::weak_ptr<ZVImageMovieWriter> mAudioEncodingTarget;
};
