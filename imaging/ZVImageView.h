#pragma once
#include <atomic>
#include <mutex>
#include "ZQLiveKit/View.h"
#include "imaging/ZVGLProgram.h"
#include "imaging/ZVImageOutput.h"

// How the preview fits a picture of another shape.
enum ZVImageFillModeType : int {
    kZVImageFillModeStretch = 0,                     // fills the view, distorting the picture
    kZVImageFillModePreserveAspectRatio = 1,         // the whole picture, with bars
    kZVImageFillModePreserveAspectRatioAndFilling = 2 // fills the view, cropping the picture
};

// The preview: a view that draws each frame it is given into a framebuffer of its own, the size of
// its bounds, while it is in a view hierarchy (has a superview). The last picture it presented is
// its content when the hierarchy is snapshotted. Frames arrive on the video-processing queue; the
// view's geometry is read there from a copy taken under the view's own lock whenever it changes,
// so the GL queue never waits for another thread.
class ZVImageView : public platform::View, public ZVImageInput {
public:
    static std::shared_ptr<ZVImageView> create(platform::Rect frame);
    ~ZVImageView() override;

    int fillMode() const { return mFillMode.load(); }
    void setFillMode(int fillMode) { mFillMode = fillMode; }
    // Colour of the bars and of the view before the first frame. Any thread.
    void setBackgroundColorRed(float red, float green, float blue, float alpha);
    void setEnabled(bool enabled) { mEnabled = enabled; }

    // ZVImageInput
    void newFrameReadyAtTime(double frameTime, int textureIndex) override;
    void setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> newInputFramebuffer, int textureIndex) override;
    int nextAvailableTextureIndex() override { return 0; }
    void setInputSize(platform::Size newSize, int textureIndex) override;
    void setInputRotation(int newInputRotation, int textureIndex) override;
    platform::Size maximumOutputSize() override;
    void endProcessing() override {}
    bool shouldIgnoreUpdatesToThisTarget() const override { return false; }
    bool enabled() const override { return mEnabled.load(); }
    bool wantsMonochromeInput() override { return false; }
    void setCurrentlyReceivingMonochromeInput(bool) override {}
    void resetInput(int textureIndex) override;

    // The last presented picture, row 0 at the top, without the view's transform (nullptr before
    // the first). Any thread but the video-processing queue's own callers may call it; it waits for
    // that queue.
    std::shared_ptr<platform::Image> presentedImage() const;
    std::uint64_t presentedFrameCount() const { return mPresentedFrames.load(); }
    // The input picture's size after its rotation. Video-processing queue.
    platform::Size inputImageSize() const { return mInputImageSize; }

    // The quad's half extents (w, h) for a picture of `inputSize` in a view of `viewSize`.
    static platform::Size fillModeScale(int fillMode, platform::Size inputSize, platform::Size viewSize);

protected:
    explicit ZVImageView(platform::Rect frame);
    std::shared_ptr<platform::Image> contentImage() const override { return presentedImage(); }
    void boundsDidChange(platform::Size size) override;
    void superviewDidChange(bool hasSuperview) override;

private:
    std::atomic<int> mFillMode{kZVImageFillModePreserveAspectRatio};
    std::atomic<bool> mEnabled{true};
    std::atomic<bool> mInHierarchy{false};
    std::atomic<std::uint64_t> mPresentedFrames{0};

    mutable std::mutex mGeometryMutex; // guards the copy of the view's geometry below
    platform::Size mCurrentViewSize;
    std::array<float, 4> mBackgroundColor{0, 0, 0, 1};

    // Owned by the video-processing queue.
    std::shared_ptr<ZVImageFramebuffer> mInputFramebufferForDisplay;
    std::shared_ptr<ZVImageFramebuffer> mDisplayFramebuffer;
    std::shared_ptr<ZVGLProgram> mDisplayProgram;
    GLint mDisplayPositionAttribute = 0;
    GLint mDisplayTextureCoordinateAttribute = 0;
    GLint mDisplayInputTextureUniform = -1;
    int mInputRotation = 0;
    platform::Size mInputImageSize;
};
