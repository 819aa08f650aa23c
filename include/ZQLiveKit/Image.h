#pragma once
#include <memory>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/PixelBuffer.h"
#include "ZQPlatform/Geometry.h"

namespace platform {

// A still picture (the stand-in for UIImage): a BGRA pixel buffer with straight (not premultiplied)
// alpha, row 0 at the top, and the scale that turns its pixels into points. Immutable once made;
// shared by reference. Any thread.
class ZQLIVEKIT_EXPORT Image {
public:
    // An image over a BGRA buffer that nobody writes any more; nullptr for a null or NV12 buffer or
    // a scale that is not positive.
    static std::shared_ptr<Image> create(std::shared_ptr<const PixelBuffer> bgra, double scale = 1.0);
    // A PNG or JPEG file (imageWithContentsOfFile:); nullptr with a one-line reason when it cannot
    // be read or decoded.
    static std::shared_ptr<Image> imageWithContentsOfFile(const std::string& path, std::string* error);
    // Writes the picture as a PNG file, whole or not at all; false with the reason.
    bool writePNGToFile(const std::string& path, std::string* error) const;

    int pixelWidth() const { return mPixels->width(); }
    int pixelHeight() const { return mPixels->height(); }
    double scale() const { return mScale; }
    // The size in points: pixels divided by the scale.
    Size size() const { return {pixelWidth() / mScale, pixelHeight() / mScale}; }
    const std::shared_ptr<const PixelBuffer>& pixelBuffer() const { return mPixels; }

private:
    Image(std::shared_ptr<const PixelBuffer> pixels, double scale) : mPixels(std::move(pixels)), mScale(scale) {}
    std::shared_ptr<const PixelBuffer> mPixels;
    double mScale;
};

} // namespace platform
