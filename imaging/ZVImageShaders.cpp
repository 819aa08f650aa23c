#include "imaging/ZVImageShaders.h"

// Each text is one line in the program; the literals below only wrap it for reading.

const char* const kZVImageVertexShaderString =
    "attribute vec4 position; attribute vec4 inputTextureCoordinate; varying vec2 textureCoordinate; "
    "void main() { gl_Position = position; textureCoordinate = inputTextureCoordinate.xy; }";

const char* const kZVImagePassthroughFragmentShaderString =
    "varying highp vec2 textureCoordinate; uniform sampler2D inputImageTexture; void main() { "
    "gl_FragColor = texture2D(inputImageTexture, textureCoordinate); }";

const char* const kZVImageTwoInputTextureVertexShaderString =
    "attribute vec4 position; attribute vec4 inputTextureCoordinate; attribute vec4 "
    "inputTextureCoordinate2; varying vec2 textureCoordinate; varying vec2 textureCoordinate2; void "
    "main() { gl_Position = position; textureCoordinate = inputTextureCoordinate.xy; textureCoordinate2 "
    "= inputTextureCoordinate2.xy; }";

const char* const kZVImageYUVFullRangeConversionForLAFragmentShaderString =
    "varying highp vec2 textureCoordinate; uniform sampler2D luminanceTexture; uniform sampler2D "
    "chrominanceTexture; uniform mediump mat3 colorConversionMatrix; void main() { mediump vec3 yuv; "
    "lowp vec3 rgb; yuv.x = texture2D(luminanceTexture, textureCoordinate).r; yuv.yz = "
    "texture2D(chrominanceTexture, textureCoordinate).ra - vec2(0.5, 0.5); rgb = colorConversionMatrix * "
    "yuv; gl_FragColor = vec4(rgb, 1); }";

const char* const kZVImageYUVVideoRangeConversionForLAFragmentShaderString =
    "varying highp vec2 textureCoordinate; uniform sampler2D luminanceTexture; uniform sampler2D "
    "chrominanceTexture; uniform mediump mat3 colorConversionMatrix; void main() { mediump vec3 yuv; "
    "lowp vec3 rgb; yuv.x = texture2D(luminanceTexture, textureCoordinate).r - (16.0/255.0); yuv.yz = "
    "texture2D(chrominanceTexture, textureCoordinate).ra - vec2(0.5, 0.5); rgb = colorConversionMatrix * "
    "yuv; gl_FragColor = vec4(rgb, 1); }";

const char* const kZVImageAlphaBlendFragmentShaderString =
    "varying highp vec2 textureCoordinate; varying highp vec2 textureCoordinate2; uniform sampler2D "
    "inputImageTexture; uniform sampler2D inputImageTexture2; uniform lowp float mixturePercent; void "
    "main() { lowp vec4 textureColor = texture2D(inputImageTexture, textureCoordinate); lowp vec4 "
    "textureColor2 = texture2D(inputImageTexture2, textureCoordinate2); gl_FragColor = "
    "vec4(mix(textureColor.rgb, textureColor2.rgb, textureColor2.a * mixturePercent), textureColor.a); }";

const float kZVImageVertices[8] = {-1.0f, -1.0f, 1.0f, -1.0f, -1.0f, 1.0f, 1.0f, 1.0f};

namespace {

constexpr float kFilterCoordinates[8][8] = {
    {0, 0, 1, 0, 0, 1, 1, 1}, // no rotation
    {1, 0, 1, 1, 0, 0, 0, 1}, // rotate left
    {0, 1, 0, 0, 1, 1, 1, 0}, // rotate right
    {0, 1, 1, 1, 0, 0, 1, 0}, // flip vertical
    {1, 0, 0, 0, 1, 1, 0, 1}, // flip horizontal
    {0, 0, 0, 1, 1, 0, 1, 1}, // rotate right, flip vertical
    {1, 1, 1, 0, 0, 1, 0, 0}, // rotate right, flip horizontal
    {1, 1, 0, 1, 1, 0, 0, 0}, // rotate 180
};

constexpr float kViewCoordinates[8][8] = {
    {0, 1, 1, 1, 0, 0, 1, 0}, // no rotation
    {0, 0, 0, 1, 1, 0, 1, 1}, // rotate left
    {1, 1, 1, 0, 0, 1, 0, 0}, // rotate right
    {0, 0, 1, 0, 0, 1, 1, 1}, // flip vertical
    {1, 1, 0, 1, 1, 0, 0, 0}, // flip horizontal
    {1, 0, 1, 1, 0, 0, 0, 1}, // rotate right, flip vertical
    {0, 1, 0, 0, 1, 1, 1, 0}, // rotate right, flip horizontal
    {1, 0, 0, 0, 1, 1, 0, 1}, // rotate 180
};

int tableRow(int rotation) { return rotation >= 1 && rotation <= 7 ? rotation : 0; }

} // namespace

const float* ZVImageTextureCoordinatesForRotation(int rotation) { return kFilterCoordinates[tableRow(rotation)]; }
const float* ZVImageViewTextureCoordinatesForRotation(int rotation) { return kViewCoordinates[tableRow(rotation)]; }

const float kZVColorConversion601[9] = {1.164f, 1.164f, 1.164f, 0.0f, -0.392f, 2.017f, 1.596f, -0.813f, 0.0f};
const float kZVColorConversion601FullRange[9] = {1.0f, 1.0f, 1.0f, 0.0f, -0.343f, 1.765f, 1.4f, -0.711f, 0.0f};
const float kZVColorConversion709[9] = {1.164f, 1.164f, 1.164f, 0.0f, -0.213f, 2.112f, 1.793f, -0.533f, 0.0f};
// Full-range BT.709: a full-range picture through the video-range matrix would come out clipped.
const float kZVColorConversion709FullRange[9] = {1.0f, 1.0f, 1.0f, 0.0f, -0.187f, 1.856f, 1.575f, -0.468f, 0.0f};
