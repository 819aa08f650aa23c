#pragma once
#include "ZQLiveKit/View.h"
#include "imaging/ZVImageFilter.h"

// Cuts a region out of its input. The region is given in 0 ... 1 of the input as it stands after the
// input rotation; the output has the region's size.
class ZVImageCropFilter : public ZVImageFilter {
public:
    // initWithCropRegion:
    explicit ZVImageCropFilter(platform::Rect cropRegion = platform::makeRect(0, 0, 1, 1));

    platform::Rect cropRegion() const;
    // Any thread.
    void setCropRegion(platform::Rect newValue);

    void setInputSize(platform::Size newSize, int textureIndex) override;
    void setInputRotation(int newInputRotation, int textureIndex) override;
    void newFrameReadyAtTime(double frameTime, int textureIndex) override;

    // The texture coordinates of the region's corners for the four quad vertices. Video-processing queue.
    const float* cropTextureCoordinates() const { return mCropTextureCoordinates; }

private:
    void calculateCropTextureCoordinates();

    platform::Rect mCropRegion;
    platform::Size mOriginallySuppliedInputSize;
    float mCropTextureCoordinates[8] = {0, 0, 1, 0, 0, 1, 1, 1};
};
