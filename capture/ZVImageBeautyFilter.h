#pragma once
#include <atomic>
#include "imaging/ZVImageFilter.h"

// The skin-smoothing filter: a 24-tap blur of the green channel gives a high-pass value that
// smooths skin by luminance, followed by screen, lighten and soft-light blends, a saturation boost
// and a brightness offset. Levels run from 0 to 1; each is 0.5 after construction.
class ZVImageBeautyFilter : public ZVImageFilter {
public:
    ZVImageBeautyFilter();

    // Levels, any thread. A beauty level sets `params` (with the current tone level); a tone level
    // only reaches `params` with the next beauty level; a bright level sets `brightness`.
    double beautyLevel() const { return mBeautyLevel.load(); }
    void setBeautyLevel(double beautyLevel);
    double brightLevel() const { return mBrightLevel.load(); }
    void setBrightLevel(double brightLevel);
    double toneLevel() const { return mToneLevel.load(); }
    void setToneLevel(double toneLevel) { mToneLevel = toneLevel; }

    void setInputSize(platform::Size newSize, int textureIndex) override;

    // The uniform values the levels give.
    static std::array<float, 4> paramsFor(double beautyLevel, double toneLevel);
    static float brightnessFor(double brightLevel);

private:
    void setParams(double beauty, double tone);

    std::atomic<double> mBeautyLevel{0.5};
    std::atomic<double> mBrightLevel{0.5};
    std::atomic<double> mToneLevel{0.5};
    platform::Size mStepSize; // the input size singleStepOffset was set from; video-processing queue
};

// The pass-through effect and output node: copies its input. Where the copy would be the same size
// and unrotated, the input framebuffer itself is handed on: the same pixels without a pass.
class ZVImageEmptyFilter : public ZVImageFilter {
public:
    ZVImageEmptyFilter();
    void newFrameReadyAtTime(double frameTime, int textureIndex) override;
};

extern const char* const kZVImageBeautyFragmentShaderString;
extern const char* const kZVImageEmptyFragmentShaderString;
