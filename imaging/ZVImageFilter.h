#pragma once
#include <array>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>
#include "imaging/ZVGLProgram.h"
#include "imaging/ZVImageOutput.h"

// A single-input node that draws its input through a fragment shader into a framebuffer from the
// cache and passes that on. Uniform settings are recorded and applied again before every draw.
// Construction and graph edits may happen on any thread (they wait for the video-processing
// queue); drawing and delivery run on that queue.
class ZVImageFilter : public ZVImageOutput, public ZVImageInput {
public:
    // initWithVertexShaderFromString:fragmentShaderFromString:. `extraAttributes` are bound after
    // "position" and "inputTextureCoordinate", before the program is linked.
    ZVImageFilter(const std::string& vertexShaderString, const std::string& fragmentShaderString,
                  const std::vector<std::string>& extraAttributes = {});
    // initWithFragmentShaderFromString: with the standard vertex shader.
    explicit ZVImageFilter(const std::string& fragmentShaderString);
    // The pass-through filter.
    ZVImageFilter();
    ~ZVImageFilter() override;

    // ZVImageInput
    void newFrameReadyAtTime(double frameTime, int textureIndex) override;
    void setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> newInputFramebuffer, int textureIndex) override;
    int nextAvailableTextureIndex() override { return 0; }
    void setInputSize(platform::Size newSize, int textureIndex) override;
    void setInputRotation(int newInputRotation, int textureIndex) override;
    platform::Size maximumOutputSize() override { return {}; }
    void endProcessing() override {}
    bool shouldIgnoreUpdatesToThisTarget() const override { return mShouldIgnoreUpdatesToThisTarget; }
    bool enabled() const override { return ZVImageOutput::enabled(); }
    bool wantsMonochromeInput() override { return false; }
    void setCurrentlyReceivingMonochromeInput(bool newValue) override { mCurrentlyReceivingMonochromeInput = newValue; }
    void resetInput(int textureIndex) override;

    void setShouldIgnoreUpdatesToThisTarget(bool value) { mShouldIgnoreUpdatesToThisTarget = value; }

    // A non-zero size fixes the output size whatever the input; the zero size lifts that. Any thread.
    void forceProcessingAtSize(platform::Size frameSize) override;
    void forceProcessingAtSizeRespectingAspectRatio(platform::Size frameSize) override;
    void useNextFrameForImageCapture() override;

    // The output size the next frame will have.
    platform::Size sizeOfFBO() const;
    platform::Size outputFrameSize() const { return mInputTextureSize; }
    platform::Size rotatedSize(platform::Size sizeToRotate, int textureIndex) const;

    // How an input is sampled. Texels hit at their centres need no filtering: nearest sampling
    // gives the same picture at half llvmpipe's cost.
    enum class Sampling {
        AlignedWhenSameSize, // the coordinates are a rotation table: exact when the sizes agree
        Exact,               // the caller knows every output pixel lands on a texel centre
        Filtered,            // the texture's own filters
    };
    // Draws the input with the given quad and texture coordinates into a new output framebuffer.
    virtual void renderToTextureWithVertices(const float* vertices, const float* textureCoordinates,
                                             Sampling sampling = Sampling::AlignedWhenSameSize);
    virtual void informTargetsAboutNewFrameAtTime(double frameTime);

    // Background colour the output is cleared with (default transparent black). Any thread.
    void setBackgroundColorRed(float red, float green, float blue, float alpha);

    // Uniform setters: set now on the filter's program and recorded, so they are applied again
    // before every draw. Any thread.
    void setFloat(float value, const std::string& uniformName);
    void setInteger(int value, const std::string& uniformName);
    void setPoint(platform::Size point, const std::string& uniformName);
    void setSize(platform::Size size, const std::string& uniformName);
    void setFloatVec3(const std::array<float, 3>& vector, const std::string& uniformName);
    void setFloatVec4(const std::array<float, 4>& vector, const std::string& uniformName);
    void setFloatArray(const std::vector<float>& array, const std::string& uniformName);
    void setMatrix3f(const std::array<float, 9>& matrix, const std::string& uniformName);
    void setMatrix4f(const std::array<float, 16>& matrix, const std::string& uniformName);

    const std::shared_ptr<ZVGLProgram>& filterProgram() const { return mFilterProgram; }
    bool preventRendering() const { return mPreventRendering; }
    void setPreventRendering(bool value) { mPreventRendering = value; }
    int inputRotation() const { return mInputRotation; }

protected:
    // Told after every input-size change, with the output size (sizeOfFBO); subclasses set size-
    // dependent uniforms here. Video-processing queue.
    virtual void setupFilterForSize(platform::Size filterFrameSize) { (void)filterFrameSize; }
    // Applies the recorded uniform settings. Video-processing queue.
    void setUniformsForProgramAtIndex();
    // Records a setting under the uniform's location and applies it now, on the queue.
    void setUniform(const std::string& uniformName, std::function<void(GLint location)> apply);
    // Binds an input framebuffer's texture to a unit, sampled as asked.
    static void bindInputTexture(GLenum unit, const ZVImageFramebuffer& framebuffer, Sampling sampling,
                                 int rotation, platform::Size outputSize);
    // Two-input filters bind their second input here, just before the draw.
    virtual void bindExtraInputs(platform::Size outputSize) { (void)outputSize; }
    // Keeps this filter alive for work queued from another thread.
    void runGuarded(std::function<void(ZVImageFilter&)> work);

    std::shared_ptr<ZVImageFramebuffer> mFirstInputFramebuffer;
    std::shared_ptr<ZVGLProgram> mFilterProgram;
    GLint mFilterPositionAttribute = 0;
    GLint mFilterTextureCoordinateAttribute = 0;
    GLint mFilterInputTextureUniform = -1;
    std::array<float, 4> mBackgroundColor{0, 0, 0, 0};
    int mInputRotation = kZVImageNoRotation;
    bool mPreventRendering = false;
    bool mCurrentlyReceivingMonochromeInput = false;
    bool mShouldIgnoreUpdatesToThisTarget = false;

private:
    std::map<GLint, std::function<void()>> mUniformStateRestorationBlocks;
};
