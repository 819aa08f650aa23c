#pragma once
#include <cstdint>
#include <vector>
#include "ZQLiveKit/View.h"

namespace platform {

// A picture with premultiplied alpha in R, G, B, A byte order, rows of width * 4 bytes, row 0 at
// the top: what a view hierarchy renders into before it becomes an Image or a texture.
struct RGBABitmap {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// Draws `root` and its subviews, in the root's bounds coordinates scaled to width x height pixels,
// over a transparent background. The root's own transform is not applied. Any thread.
RGBABitmap renderViewHierarchy(const View& root, int width, int height);

} // namespace platform
