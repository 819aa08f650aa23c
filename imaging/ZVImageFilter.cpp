#include "imaging/ZVImageFilter.h"

#include <cmath>

#include "imaging/ZVImageContext.h"
#include "imaging/ZVImageFramebufferCache.h"

using namespace zvgl;

namespace {

// The same size, or, where the CPU draws, within half a percent: the padded 720p picture (722x1282
// from 720x1280) then takes one duplicated row or column in a few hundred instead of filtering
// every sample, which halves the cost of the beauty pass on llvmpipe. GPUs filter for free and
// keep it exact.
bool nearlyTheSameSize(platform::Size input, platform::Size output) {
    if (input == output) return true;
    if (!ZVImageContext::sharedImageProcessingContext().rendersOnCPU()) return false;
    auto close = [](double a, double b) { return a > 0 && b > 0 && std::abs(a - b) <= 0.005 * b; };
    return close(input.width, output.width) && close(input.height, output.height);
}

} // namespace

ZVImageFilter::ZVImageFilter(const std::string& vertexShaderString, const std::string& fragmentShaderString,
                             const std::vector<std::string>& extraAttributes) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        ZVImageContext::useImageProcessingContext();
        std::vector<std::string> attributes{"position", "inputTextureCoordinate"};
        attributes.insert(attributes.end(), extraAttributes.begin(), extraAttributes.end());
        mFilterProgram = ZVImageContext::sharedImageProcessingContext().linkedProgram(vertexShaderString,
                                                                                      fragmentShaderString, attributes);
        mFilterPositionAttribute = static_cast<GLint>(mFilterProgram->attributeIndex("position"));
        mFilterTextureCoordinateAttribute = static_cast<GLint>(mFilterProgram->attributeIndex("inputTextureCoordinate"));
        mFilterInputTextureUniform = mFilterProgram->uniformIndex("inputImageTexture");
        ZVImageContext::setActiveShaderProgram(mFilterProgram);
        glEnableVertexAttribArray(static_cast<GLuint>(mFilterPositionAttribute));
        glEnableVertexAttribArray(static_cast<GLuint>(mFilterTextureCoordinateAttribute));
    });
}

ZVImageFilter::ZVImageFilter(const std::string& fragmentShaderString)
    : ZVImageFilter(kZVImageVertexShaderString, fragmentShaderString) {}

ZVImageFilter::ZVImageFilter() : ZVImageFilter(kZVImagePassthroughFragmentShaderString) {}

ZVImageFilter::~ZVImageFilter() {
    // A held input goes back to the cache with its lock; the GL queue owns the counters.
    if (auto input = std::move(mFirstInputFramebuffer))
        runAsynchronouslyOnVideoProcessingQueue([input] { input->unlock(); });
}

void ZVImageFilter::runGuarded(std::function<void(ZVImageFilter&)> work) {
    if (ZVImageContext::sharedContextQueue()->isCurrent()) {
        work(*this);
        return;
    }
    auto self = std::static_pointer_cast<ZVImageFilter>(shared_from_this());
    runAsynchronouslyOnVideoProcessingQueue([self, work = std::move(work)] { work(*self); });
}

platform::Size ZVImageFilter::rotatedSize(platform::Size sizeToRotate, int textureIndex) const {
    (void)textureIndex;
    return ZVImageRotatedSize(sizeToRotate, mInputRotation);
}

platform::Size ZVImageFilter::sizeOfFBO() const {
    platform::Size maximum = mForcedMaximumSize;
    if (maximum.width > 0 && maximum.height > 0 && mInputTextureSize.width >= maximum.width) return maximum;
    return mInputTextureSize;
}

void ZVImageFilter::setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> newInputFramebuffer, int textureIndex) {
    (void)textureIndex;
    // A framebuffer given but never drawn (replaced before its frame came) is released here.
    ZVImageFramebuffer::hold(mFirstInputFramebuffer, std::move(newInputFramebuffer));
}

void ZVImageFilter::resetInput(int textureIndex) {
    (void)textureIndex;
    ZVImageFramebuffer::release(mFirstInputFramebuffer);
}

void ZVImageFilter::setInputSize(platform::Size newSize, int textureIndex) {
    if (mPreventRendering) return;
    if (!mOverrideInputSize) mInputTextureSize = rotatedSize(newSize, textureIndex);
    setupFilterForSize(sizeOfFBO());
}

void ZVImageFilter::setInputRotation(int newInputRotation, int textureIndex) {
    (void)textureIndex;
    mInputRotation = newInputRotation;
}

void ZVImageFilter::forceProcessingAtSize(platform::Size frameSize) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (frameSize.width <= 0 || frameSize.height <= 0) {
            mOverrideInputSize = false;
            return;
        }
        mOverrideInputSize = true;
        mInputTextureSize = frameSize;
        mForcedMaximumSize = {};
    });
}

void ZVImageFilter::forceProcessingAtSizeRespectingAspectRatio(platform::Size frameSize) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (frameSize.width <= 0 || frameSize.height <= 0) {
            mOverrideInputSize = false;
            mInputTextureSize = {};
            mForcedMaximumSize = {};
            return;
        }
        mOverrideInputSize = false;
        mForcedMaximumSize = frameSize;
    });
}

void ZVImageFilter::useNextFrameForImageCapture() {
    runSynchronouslyOnVideoProcessingQueue([&] { mUsingNextFrameForImageCapture = true; });
}

void ZVImageFilter::bindInputTexture(GLenum unit, const ZVImageFramebuffer& framebuffer, Sampling sampling,
                                     int rotation, platform::Size outputSize) {
    bool exact = sampling == Sampling::Exact ||
                 (sampling == Sampling::AlignedWhenSameSize &&
                  nearlyTheSameSize(ZVImageRotatedSize(framebuffer.size(), rotation), outputSize));
    glActiveTexture(unit);
    glBindTexture(GL_TEXTURE_2D, framebuffer.texture());
    // Sampling exactly at texel centres, linear filtering returns the texel itself; nearest gives
    // the same picture at half llvmpipe's cost. Texture parameters belong to the texture, so the
    // filter choice is made again at every bind.
    const auto& options = framebuffer.textureOptions();
    GLint minFilter = exact ? GL_NEAREST : static_cast<GLint>(options.minFilter);
    GLint magFilter = exact ? GL_NEAREST : static_cast<GLint>(options.magFilter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, minFilter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, magFilter);
}

void ZVImageFilter::renderToTextureWithVertices(const float* vertices, const float* textureCoordinates,
                                                Sampling sampling) {
    if (mPreventRendering || !mFirstInputFramebuffer) {
        if (mFirstInputFramebuffer) mFirstInputFramebuffer->unlock();
        mFirstInputFramebuffer.reset();
        return;
    }
    ZVImageContext::setActiveShaderProgram(mFilterProgram);
    platform::Size outputSize = sizeOfFBO();
    mOutputFramebuffer =
        ZVImageContext::sharedFramebufferCache().fetchFramebufferForSize(outputSize, outputTextureOptions(), false);
    mOutputFramebuffer->activateFramebuffer();
    if (mUsingNextFrameForImageCapture) {
        mOutputFramebuffer->lock();
        if (mCaptureFramebuffer) mCaptureFramebuffer->unlock();
        mCaptureFramebuffer = mOutputFramebuffer;
    }
    setUniformsForProgramAtIndex();
    glClearColor(mBackgroundColor[0], mBackgroundColor[1], mBackgroundColor[2], mBackgroundColor[3]);
    glClear(GL_COLOR_BUFFER_BIT);

    bindInputTexture(GL_TEXTURE2, *mFirstInputFramebuffer, sampling, mInputRotation, outputSize);
    glUniform1i(mFilterInputTextureUniform, 2);
    glVertexAttribPointer(static_cast<GLuint>(mFilterPositionAttribute), 2, GL_FLOAT, GL_FALSE, 0, vertices);
    glVertexAttribPointer(static_cast<GLuint>(mFilterTextureCoordinateAttribute), 2, GL_FLOAT, GL_FALSE, 0,
                          textureCoordinates);
    bindExtraInputs(outputSize);
    glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);

    mFirstInputFramebuffer->unlock();
    mFirstInputFramebuffer.reset();
}

void ZVImageFilter::informTargetsAboutNewFrameAtTime(double frameTime) {
    if (const auto& block = completionBlock()) block(*this, frameTime);
    auto entries = targetEntries();
    for (const auto& entry : entries) {
        if (isIgnored(*entry.target) || !entry.target->enabled()) continue;
        setInputFramebufferForTarget(entry.target, entry.index);
        entry.target->setInputSize(outputFrameSize(), entry.index);
    }
    if (auto output = framebufferForOutput()) output->unlock();
    // With an image capture pending the frame stays reachable through mCaptureFramebuffer.
    removeOutputFramebuffer();
    for (const auto& entry : entries) {
        if (isIgnored(*entry.target) || !entry.target->enabled()) continue;
        entry.target->newFrameReadyAtTime(frameTime, entry.index);
    }
}

void ZVImageFilter::newFrameReadyAtTime(double frameTime, int textureIndex) {
    (void)textureIndex;
    renderToTextureWithVertices(kZVImageVertices, ZVImageTextureCoordinatesForRotation(mInputRotation));
    if (!framebufferForOutput()) return;
    informTargetsAboutNewFrameAtTime(frameTime);
}

void ZVImageFilter::setBackgroundColorRed(float red, float green, float blue, float alpha) {
    runGuarded([color = std::array<float, 4>{red, green, blue, alpha}](ZVImageFilter& f) { f.mBackgroundColor = color; });
}

void ZVImageFilter::setUniformsForProgramAtIndex() {
    for (const auto& [location, apply] : mUniformStateRestorationBlocks) apply();
}

void ZVImageFilter::setUniform(const std::string& uniformName, std::function<void(GLint location)> apply) {
    runGuarded([uniformName, apply = std::move(apply)](ZVImageFilter& f) {
        ZVImageContext::setActiveShaderProgram(f.mFilterProgram);
        GLint location = f.mFilterProgram->uniformIndex(uniformName);
        if (location < 0) return;
        apply(location);
        f.mUniformStateRestorationBlocks[location] = [apply, location] { apply(location); };
    });
}

void ZVImageFilter::setFloat(float value, const std::string& uniformName) {
    setUniform(uniformName, [value](GLint location) { glUniform1f(location, value); });
}

void ZVImageFilter::setInteger(int value, const std::string& uniformName) {
    setUniform(uniformName, [value](GLint location) { glUniform1i(location, value); });
}

void ZVImageFilter::setPoint(platform::Size point, const std::string& uniformName) {
    setSize(point, uniformName);
}

void ZVImageFilter::setSize(platform::Size size, const std::string& uniformName) {
    std::array<float, 2> value{static_cast<float>(size.width), static_cast<float>(size.height)};
    setUniform(uniformName, [value](GLint location) { glUniform2fv(location, 1, value.data()); });
}

void ZVImageFilter::setFloatVec3(const std::array<float, 3>& vector, const std::string& uniformName) {
    setUniform(uniformName, [vector](GLint location) { glUniform3fv(location, 1, vector.data()); });
}

void ZVImageFilter::setFloatVec4(const std::array<float, 4>& vector, const std::string& uniformName) {
    setUniform(uniformName, [vector](GLint location) { glUniform4fv(location, 1, vector.data()); });
}

void ZVImageFilter::setFloatArray(const std::vector<float>& array, const std::string& uniformName) {
    setUniform(uniformName, [array](GLint location) {
        glUniform1fv(location, static_cast<GLsizei>(array.size()), array.data());
    });
}

void ZVImageFilter::setMatrix3f(const std::array<float, 9>& matrix, const std::string& uniformName) {
    setUniform(uniformName, [matrix](GLint location) { glUniformMatrix3fv(location, 1, GL_FALSE, matrix.data()); });
}

void ZVImageFilter::setMatrix4f(const std::array<float, 16>& matrix, const std::string& uniformName) {
    setUniform(uniformName, [matrix](GLint location) { glUniformMatrix4fv(location, 1, GL_FALSE, matrix.data()); });
}
