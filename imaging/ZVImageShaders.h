#pragma once
#include "ZQPlatform/Geometry.h"

// The standard shader texts of the pipeline.
extern const char* const kZVImageVertexShaderString;
extern const char* const kZVImagePassthroughFragmentShaderString;
extern const char* const kZVImageTwoInputTextureVertexShaderString;
extern const char* const kZVImageYUVFullRangeConversionForLAFragmentShaderString;
extern const char* const kZVImageYUVVideoRangeConversionForLAFragmentShaderString;
extern const char* const kZVImageAlphaBlendFragmentShaderString;

// Rotation modes a node applies to its input.
enum ZVImageRotationMode : int {
    kZVImageNoRotation = 0,
    kZVImageRotateLeft = 1,
    kZVImageRotateRight = 2,
    kZVImageFlipVertical = 3,
    kZVImageFlipHorizonal = 4,
    kZVImageRotateRightFlipVertical = 5,
    kZVImageRotateRightFlipHorizontal = 6,
    kZVImageRotate180 = 7,
};

// True for the modes that turn the picture by a quarter, swapping width and height.
inline bool ZVImageRotationSwapsWidthAndHeight(int rotation) {
    return rotation == kZVImageRotateLeft || rotation == kZVImageRotateRight ||
           rotation == kZVImageRotateRightFlipVertical || rotation == kZVImageRotateRightFlipHorizontal;
}

inline platform::Size ZVImageRotatedSize(platform::Size size, int rotation) {
    return ZVImageRotationSwapsWidthAndHeight(rotation) ? platform::Size{size.height, size.width} : size;
}

// The full-screen quad: (-1, -1), (1, -1), (-1, 1), (1, 1), drawn as a triangle strip.
extern const float kZVImageVertices[8];

// Texture coordinates (s, t) for the four quad vertices, by rotation mode: for filters, and for the
// preview view (whose picture is shown the other way up). Modes outside 1 ... 7 use mode 0.
const float* ZVImageTextureCoordinatesForRotation(int rotation);
const float* ZVImageViewTextureCoordinatesForRotation(int rotation);

// YUV to RGB matrices, column-major, applied to (Y, U - 0.5, V - 0.5).
extern const float kZVColorConversion601[9];            // BT.601 video range
extern const float kZVColorConversion601FullRange[9];   // BT.601 full range
extern const float kZVColorConversion709[9];            // BT.709 video range
extern const float kZVColorConversion709FullRange[9];   // BT.709 full range
