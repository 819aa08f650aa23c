#pragma once
#include <atomic>
#include "imaging/ZVImageFilter.h"

// A filter of two inputs: the shader sees inputImageTexture / textureCoordinate and
// inputImageTexture2 / textureCoordinate2, each input with its own rotation. It draws once both
// inputs have delivered, or at once when the frame just received is timed while the other side is
// a still picture (indefinite time). Disabling a frame check draws without waiting for that side,
// reusing the last picture it gave: the second input's picture stays locked until a newer one
// replaces it.
class ZVImageTwoInputFilter : public ZVImageFilter {
public:
    explicit ZVImageTwoInputFilter(const std::string& fragmentShaderString);
    ZVImageTwoInputFilter(const std::string& vertexShaderString, const std::string& fragmentShaderString);
    ~ZVImageTwoInputFilter() override;

    // Any thread.
    void disableFirstFrameCheck();
    void disableSecondFrameCheck();

    void newFrameReadyAtTime(double frameTime, int textureIndex) override;
    void setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> newInputFramebuffer, int textureIndex) override;
    int nextAvailableTextureIndex() override { return mHasSetFirstTexture ? 1 : 0; }
    void setInputSize(platform::Size newSize, int textureIndex) override;
    void setInputRotation(int newInputRotation, int textureIndex) override;
    void resetInput(int textureIndex) override;

    bool hasReceivedFirstFrame() const { return mHasReceivedFirstFrame; }
    bool hasReceivedSecondFrame() const { return mHasReceivedSecondFrame; }

protected:
    void bindExtraInputs(platform::Size outputSize) override;

    std::shared_ptr<ZVImageFramebuffer> mSecondInputFramebuffer;
    GLint mFilterSecondTextureCoordinateAttribute = 0;
    GLint mFilterInputTextureUniform2 = -1;
    int mInputRotation2 = kZVImageNoRotation;
    bool mHasSetFirstTexture = false;
    bool mHasReceivedFirstFrame = false;
    bool mHasReceivedSecondFrame = false;
    double mFirstFrameTime = kZVTimeInvalid;
    double mSecondFrameTime = kZVTimeInvalid;
    bool mFirstFrameCheckDisabled = false;
    bool mSecondFrameCheckDisabled = false;
};

// Mixes the second input over the first: where the second's alpha is a, the result is
// mix(first, second, a * mix). `mix` defaults to 0.5.
class ZVImageAlphaBlendFilter : public ZVImageTwoInputFilter {
public:
    ZVImageAlphaBlendFilter();
    double mix() const { return mMix; }
    // Any thread.
    void setMix(double newValue);

private:
    std::atomic<double> mMix{0.5};
};
