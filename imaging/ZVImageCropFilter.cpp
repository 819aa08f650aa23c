#include "imaging/ZVImageCropFilter.h"

#include <algorithm>
#include <cmath>
#include "imaging/ZVImageContext.h"

namespace {

platform::Rect clampRegion(platform::Rect region) {
    double x = std::clamp(region.origin.x, 0.0, 1.0), y = std::clamp(region.origin.y, 0.0, 1.0);
    double w = std::clamp(region.size.width, 0.0, 1.0 - x), h = std::clamp(region.size.height, 0.0, 1.0 - y);
    return platform::makeRect(x, y, w, h);
}

bool isWhole(double value) { return std::abs(value - std::round(value)) < 1e-6; }

} // namespace

ZVImageCropFilter::ZVImageCropFilter(platform::Rect cropRegion) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        mCropRegion = clampRegion(cropRegion);
        calculateCropTextureCoordinates();
    });
}

platform::Rect ZVImageCropFilter::cropRegion() const {
    platform::Rect region;
    runSynchronouslyOnVideoProcessingQueue([&] { region = mCropRegion; });
    return region;
}

void ZVImageCropFilter::setCropRegion(platform::Rect newValue) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        mCropRegion = clampRegion(newValue);
        calculateCropTextureCoordinates();
    });
}

void ZVImageCropFilter::setInputSize(platform::Size newSize, int textureIndex) {
    if (mPreventRendering) return;
    platform::Size rotated = rotatedSize(newSize, textureIndex);
    mOriginallySuppliedInputSize = rotated;
    platform::Size scaled{rotated.width * mCropRegion.size.width, rotated.height * mCropRegion.size.height};
    if (!mOverrideInputSize && !(scaled == mInputTextureSize)) mInputTextureSize = scaled;
    setupFilterForSize(sizeOfFBO());
}

void ZVImageCropFilter::setInputRotation(int newInputRotation, int textureIndex) {
    ZVImageFilter::setInputRotation(newInputRotation, textureIndex);
    calculateCropTextureCoordinates();
}

void ZVImageCropFilter::calculateCropTextureCoordinates() {
    // The rotation table maps the output quad's corners onto texture corners; the same affine map
    // takes the region's corners, given in rotated coordinates, to their texture coordinates.
    const float* table = ZVImageTextureCoordinatesForRotation(mInputRotation);
    double s0 = table[0], t0 = table[1];
    double sx = table[2] - s0, tx = table[3] - t0; // along the output's x axis
    double sy = table[4] - s0, ty = table[5] - t0; // along the output's y axis
    double minX = mCropRegion.origin.x, maxX = minX + mCropRegion.size.width;
    double minY = mCropRegion.origin.y, maxY = minY + mCropRegion.size.height;
    const double corners[4][2] = {{minX, minY}, {maxX, minY}, {minX, maxY}, {maxX, maxY}};
    for (int i = 0; i < 4; ++i) {
        mCropTextureCoordinates[2 * i] = static_cast<float>(s0 + corners[i][0] * sx + corners[i][1] * sy);
        mCropTextureCoordinates[2 * i + 1] = static_cast<float>(t0 + corners[i][0] * tx + corners[i][1] * ty);
    }
}

void ZVImageCropFilter::newFrameReadyAtTime(double frameTime, int textureIndex) {
    (void)textureIndex;
    // The region hits texel centres when it starts on a whole texel and the output has its size.
    platform::Size input = mOriginallySuppliedInputSize;
    platform::Size output = sizeOfFBO();
    bool exact = isWhole(mCropRegion.origin.x * input.width) && isWhole(mCropRegion.origin.y * input.height) &&
                 isWhole(input.width * mCropRegion.size.width) && isWhole(input.height * mCropRegion.size.height) &&
                 std::abs(input.width * mCropRegion.size.width - output.width) < 1e-6 &&
                 std::abs(input.height * mCropRegion.size.height - output.height) < 1e-6;
    renderToTextureWithVertices(kZVImageVertices, mCropTextureCoordinates, exact ? Sampling::Exact : Sampling::Filtered);
    if (!framebufferForOutput()) return;
    informTargetsAboutNewFrameAtTime(frameTime);
}
