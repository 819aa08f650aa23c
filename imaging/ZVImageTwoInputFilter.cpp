#include "imaging/ZVImageTwoInputFilter.h"

#include "imaging/ZVImageContext.h"

using namespace zvgl;

ZVImageTwoInputFilter::ZVImageTwoInputFilter(const std::string& fragmentShaderString)
    : ZVImageTwoInputFilter(kZVImageTwoInputTextureVertexShaderString, fragmentShaderString) {}

ZVImageTwoInputFilter::ZVImageTwoInputFilter(const std::string& vertexShaderString,
                                             const std::string& fragmentShaderString)
    : ZVImageFilter(vertexShaderString, fragmentShaderString, {"inputTextureCoordinate2"}) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        ZVImageContext::useImageProcessingContext();
        mFilterSecondTextureCoordinateAttribute =
            static_cast<GLint>(mFilterProgram->attributeIndex("inputTextureCoordinate2"));
        mFilterInputTextureUniform2 = mFilterProgram->uniformIndex("inputImageTexture2");
        glEnableVertexAttribArray(static_cast<GLuint>(mFilterSecondTextureCoordinateAttribute));
    });
}

ZVImageTwoInputFilter::~ZVImageTwoInputFilter() {
    if (auto second = std::move(mSecondInputFramebuffer))
        runAsynchronouslyOnVideoProcessingQueue([second] { second->unlock(); });
}

void ZVImageTwoInputFilter::disableFirstFrameCheck() {
    runSynchronouslyOnVideoProcessingQueue([&] { mFirstFrameCheckDisabled = true; });
}

void ZVImageTwoInputFilter::disableSecondFrameCheck() {
    runSynchronouslyOnVideoProcessingQueue([&] { mSecondFrameCheckDisabled = true; });
}

void ZVImageTwoInputFilter::setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> newInputFramebuffer,
                                                int textureIndex) {
    if (textureIndex == 0) {
        ZVImageFilter::setInputFramebuffer(std::move(newInputFramebuffer), 0);
        mHasSetFirstTexture = true;
        return;
    }
    ZVImageFramebuffer::hold(mSecondInputFramebuffer, std::move(newInputFramebuffer));
}

void ZVImageTwoInputFilter::setInputSize(platform::Size newSize, int textureIndex) {
    if (textureIndex == 0) {
        ZVImageFilter::setInputSize(newSize, 0);
        if (newSize.width <= 0 || newSize.height <= 0) mHasSetFirstTexture = false;
    }
}

void ZVImageTwoInputFilter::setInputRotation(int newInputRotation, int textureIndex) {
    if (textureIndex == 0)
        mInputRotation = newInputRotation;
    else
        mInputRotation2 = newInputRotation;
}

void ZVImageTwoInputFilter::resetInput(int textureIndex) {
    if (textureIndex == 0) {
        ZVImageFilter::resetInput(0);
        mHasSetFirstTexture = false;
        mHasReceivedFirstFrame = false;
        return;
    }
    ZVImageFramebuffer::release(mSecondInputFramebuffer);
    mHasReceivedSecondFrame = false;
    mSecondFrameTime = kZVTimeInvalid;
}

void ZVImageTwoInputFilter::bindExtraInputs(platform::Size outputSize) {
    static const float kNoTexture[8] = {0, 0, 0, 0, 0, 0, 0, 0};
    if (mSecondInputFramebuffer)
        bindInputTexture(GL_TEXTURE3, *mSecondInputFramebuffer, Sampling::AlignedWhenSameSize, mInputRotation2,
                         outputSize);
    else {
        glActiveTexture(GL_TEXTURE3);
        glBindTexture(GL_TEXTURE_2D, 0);
    }
    glUniform1i(mFilterInputTextureUniform2, 3);
    glVertexAttribPointer(static_cast<GLuint>(mFilterSecondTextureCoordinateAttribute), 2, GL_FLOAT, GL_FALSE, 0,
                          mSecondInputFramebuffer ? ZVImageTextureCoordinatesForRotation(mInputRotation2) : kNoTexture);
}

void ZVImageTwoInputFilter::newFrameReadyAtTime(double frameTime, int textureIndex) {
    if (mHasReceivedFirstFrame && mHasReceivedSecondFrame) return;
    bool oppositeIsStill = false;
    if (textureIndex == 0) {
        mHasReceivedFirstFrame = true;
        mFirstFrameTime = frameTime;
        if (mSecondFrameCheckDisabled) mHasReceivedSecondFrame = true;
        oppositeIsStill = ZVTimeIsDefinite(frameTime) && ZVTimeIsIndefinite(mSecondFrameTime);
    } else {
        mHasReceivedSecondFrame = true;
        mSecondFrameTime = frameTime;
        if (mFirstFrameCheckDisabled) mHasReceivedFirstFrame = true;
        oppositeIsStill = ZVTimeIsDefinite(frameTime) && ZVTimeIsIndefinite(mFirstFrameTime);
    }
    if ((mHasReceivedFirstFrame && mHasReceivedSecondFrame) || oppositeIsStill) {
        double passOnTime = ZVTimeIsIndefinite(mFirstFrameTime) ? mSecondFrameTime : mFirstFrameTime;
        ZVImageFilter::newFrameReadyAtTime(passOnTime, 0);
        mHasReceivedFirstFrame = false;
        mHasReceivedSecondFrame = false;
    }
}

// --- ZVImageAlphaBlendFilter ---

ZVImageAlphaBlendFilter::ZVImageAlphaBlendFilter() : ZVImageTwoInputFilter(kZVImageAlphaBlendFragmentShaderString) {
    runSynchronouslyOnVideoProcessingQueue([&] { setMix(0.5); });
}

void ZVImageAlphaBlendFilter::setMix(double newValue) {
    mMix = newValue;
    setFloat(static_cast<float>(newValue), "mixturePercent");
}
