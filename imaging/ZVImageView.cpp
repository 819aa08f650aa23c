#include "imaging/ZVImageView.h"

#include <cmath>
#include <cstring>
#include "imaging/ZVImageContext.h"
#include "imaging/ZVImageFilter.h"

using namespace zvgl;

namespace {

// The largest rectangle of the aspect ratio that fits inside `bounds`, centred.
platform::Size aspectFit(platform::Size aspect, platform::Size bounds) {
    if (aspect.width <= 0 || aspect.height <= 0) return {};
    double scale = std::min(bounds.width / aspect.width, bounds.height / aspect.height);
    return {aspect.width * scale, aspect.height * scale};
}

} // namespace

std::shared_ptr<ZVImageView> ZVImageView::create(platform::Rect frame) {
    return std::shared_ptr<ZVImageView>(new ZVImageView(frame));
}

ZVImageView::ZVImageView(platform::Rect frame) : platform::View(frame), mCurrentViewSize(frame.size) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        mDisplayProgram = ZVImageContext::sharedImageProcessingContext().linkedProgram(
            kZVImageVertexShaderString, kZVImagePassthroughFragmentShaderString, {"position", "inputTextureCoordinate"});
        mDisplayPositionAttribute = static_cast<GLint>(mDisplayProgram->attributeIndex("position"));
        mDisplayTextureCoordinateAttribute =
            static_cast<GLint>(mDisplayProgram->attributeIndex("inputTextureCoordinate"));
        mDisplayInputTextureUniform = mDisplayProgram->uniformIndex("inputImageTexture");
    });
}

ZVImageView::~ZVImageView() {
    if (auto input = std::move(mInputFramebufferForDisplay))
        runAsynchronouslyOnVideoProcessingQueue([input] { input->unlock(); });
}

void ZVImageView::setBackgroundColorRed(float red, float green, float blue, float alpha) {
    std::lock_guard lock(mGeometryMutex);
    mBackgroundColor = {red, green, blue, alpha};
}

void ZVImageView::boundsDidChange(platform::Size size) {
    std::lock_guard lock(mGeometryMutex);
    mCurrentViewSize = size;
}

void ZVImageView::superviewDidChange(bool hasSuperview) { mInHierarchy = hasSuperview; }

platform::Size ZVImageView::maximumOutputSize() {
    std::lock_guard lock(mGeometryMutex);
    return mCurrentViewSize;
}

void ZVImageView::setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> newInputFramebuffer, int textureIndex) {
    (void)textureIndex;
    ZVImageFramebuffer::hold(mInputFramebufferForDisplay, std::move(newInputFramebuffer));
}

void ZVImageView::resetInput(int textureIndex) {
    (void)textureIndex;
    ZVImageFramebuffer::release(mInputFramebufferForDisplay);
}

void ZVImageView::setInputSize(platform::Size newSize, int textureIndex) {
    (void)textureIndex;
    mInputImageSize = ZVImageRotatedSize(newSize, mInputRotation);
}

void ZVImageView::setInputRotation(int newInputRotation, int textureIndex) {
    (void)textureIndex;
    mInputRotation = newInputRotation;
}

platform::Size ZVImageView::fillModeScale(int fillMode, platform::Size inputSize, platform::Size viewSize) {
    if (fillMode == kZVImageFillModeStretch || viewSize.width <= 0 || viewSize.height <= 0) return {1, 1};
    platform::Size fitted = aspectFit(inputSize, viewSize);
    if (fitted.width <= 0 || fitted.height <= 0) return {1, 1};
    if (fillMode == kZVImageFillModePreserveAspectRatio)
        return {fitted.width / viewSize.width, fitted.height / viewSize.height};
    if (fillMode == kZVImageFillModePreserveAspectRatioAndFilling)
        return {viewSize.height / fitted.height, viewSize.width / fitted.width};
    return {1, 1};
}

void ZVImageView::newFrameReadyAtTime(double frameTime, int textureIndex) {
    (void)frameTime;
    (void)textureIndex;
    auto input = std::move(mInputFramebufferForDisplay);
    if (!input) return;
    platform::Size viewSize;
    std::array<float, 4> background;
    {
        std::lock_guard lock(mGeometryMutex);
        viewSize = mCurrentViewSize;
        background = mBackgroundColor;
    }
    int width = static_cast<int>(std::lround(viewSize.width)), height = static_cast<int>(std::lround(viewSize.height));
    // Off screen there is nothing to draw for; the frame is only released.
    if (!mInHierarchy.load() || !enabled() || !platform::PixelBuffer::isValidSize(width, height)) {
        input->unlock();
        return;
    }
    platform::Size pixels{static_cast<double>(width), static_cast<double>(height)};
    if (!mDisplayFramebuffer || !(mDisplayFramebuffer->size() == pixels)) {
        mDisplayFramebuffer = std::make_shared<ZVImageFramebuffer>(pixels);
        mDisplayFramebuffer->disableReferenceCounting();
    }
    ZVImageContext::setActiveShaderProgram(mDisplayProgram);
    mDisplayFramebuffer->activateFramebuffer();
    glClearColor(background[0], background[1], background[2], background[3]);
    glClear(GL_COLOR_BUFFER_BIT);

    platform::Size scale = fillModeScale(mFillMode.load(), mInputImageSize, viewSize);
    float w = static_cast<float>(scale.width), h = static_cast<float>(scale.height);
    const float vertices[8] = {-w, -h, w, -h, -w, h, w, h};
    bool fullQuad = w == 1.0f && h == 1.0f;
    glActiveTexture(GL_TEXTURE4);
    glBindTexture(GL_TEXTURE_2D, input->texture());
    bool exact = fullQuad && ZVImageRotatedSize(input->size(), mInputRotation) == pixels;
    GLint filter = exact ? GL_NEAREST : GL_LINEAR;
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, filter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, filter);
    glUniform1i(mDisplayInputTextureUniform, 4);
    glEnableVertexAttribArray(static_cast<GLuint>(mDisplayPositionAttribute));
    glEnableVertexAttribArray(static_cast<GLuint>(mDisplayTextureCoordinateAttribute));
    glVertexAttribPointer(static_cast<GLuint>(mDisplayPositionAttribute), 2, GL_FLOAT, GL_FALSE, 0, vertices);
    glVertexAttribPointer(static_cast<GLuint>(mDisplayTextureCoordinateAttribute), 2, GL_FLOAT, GL_FALSE, 0,
                          ZVImageViewTextureCoordinatesForRotation(mInputRotation));
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
    input->unlock();
    ZVImageContext::sharedImageProcessingContext().presentBufferForDisplay();
    ++mPresentedFrames;
}

std::shared_ptr<platform::Image> ZVImageView::presentedImage() const {
    if (mPresentedFrames.load() == 0) return nullptr;
    std::shared_ptr<platform::PixelBuffer> flipped;
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (!mDisplayFramebuffer) return;
        auto read = mDisplayFramebuffer->pixelBuffer();
        if (!read) return;
        // GL's first row is the bottom of the view.
        flipped = platform::PixelBuffer::create(read->width(), read->height(), platform::PixelFormat::BGRA);
        if (!flipped) return;
        std::size_t rowBytes = static_cast<std::size_t>(read->width()) * 4;
        for (int y = 0; y < read->height(); ++y)
            std::memcpy(flipped->planeData(0) + static_cast<std::size_t>(y) * flipped->bytesPerRow(0),
                        read->planeData(0) + static_cast<std::size_t>(read->height() - 1 - y) * read->bytesPerRow(0),
                        rowBytes);
    });
    return platform::Image::create(std::move(flipped));
}
