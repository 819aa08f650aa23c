// Pixels drawn by the filters on the real EGL context, checked against what their shaders imply.
#include <cmath>
#include <gtest/gtest.h>
#include "capture/ZVImageBeautyFilter.h"
#include "imaging/ZVImageCropFilter.h"
#include "imaging/ZVImageTwoInputFilter.h"
#include "imaging/ZVImageView.h"
#include "tests/imaging/ImagingTestSupport.h"

namespace {

using zvtest::Picture;
using Colour = std::array<std::uint8_t, 4>;

int maxDifference(const Picture& a, const Picture& b) {
    if (a.width != b.width || a.height != b.height) return 1000;
    int worst = 0;
    for (std::size_t i = 0; i < a.rgba.size(); ++i) worst = std::max(worst, std::abs(a.rgba[i] - b.rgba[i]));
    return worst;
}

void expectNear(Colour actual, Colour expected, int tolerance, const std::string& where = "") {
    for (int c = 0; c < 4; ++c)
        EXPECT_NEAR(actual[c], expected[c], tolerance) << where << " channel " << c;
}

class FilterPixelTest : public ::testing::Test {
protected:
    void SetUp() override { ZV_REQUIRE_GL(); }
};

TEST_F(FilterPixelTest, EmptyFilterCopiesExactly) {
    Picture input = Picture::noise(37, 21, 1);
    Picture output = zvtest::runFilter(std::make_shared<ZVImageEmptyFilter>(), input);
    EXPECT_EQ(maxDifference(output, input), 0);

    // Drawn through its shader (a flip needs a pass): the same pixels, mirrored.
    Picture flipped = zvtest::runFilter(std::make_shared<ZVImageEmptyFilter>(), input, kZVImageFlipHorizonal);
    Picture expected = input;
    for (int y = 0; y < input.height; ++y)
        for (int x = 0; x < input.width; ++x) expected.set(x, y, input.at(input.width - 1 - x, y));
    EXPECT_EQ(maxDifference(flipped, expected), 0);

    // Forced to another size it scales: a flat colour stays exactly that colour.
    auto scaler = std::make_shared<ZVImageEmptyFilter>();
    scaler->forceProcessingAtSize({20, 30});
    Picture scaled = zvtest::runFilter(scaler, Picture::filled(8, 8, {9, 99, 199, 255}));
    ASSERT_EQ(scaled.width, 20);
    EXPECT_EQ(scaled.at(19, 29), (Colour{9, 99, 199, 255}));
}

// The beauty shader for one flat colour, on the CPU: every blur tap sees the same green, so the
// high-pass is 0.5 and survives the hard-light passes unchanged.
std::array<double, 3> beautyOfFlatColour(std::array<double, 3> c, double beautyLevel, double toneLevel,
                                         double brightLevel) {
    auto params = ZVImageBeautyFilter::paramsFor(beautyLevel, toneLevel);
    double highPass = 0.5;
    for (int i = 0; i < 5; ++i)
        highPass = highPass <= 0.5 ? highPass * highPass * 2.0 : 1.0 - (1.0 - highPass) * (1.0 - highPass) * 2.0;
    double lum = 0.299 * c[0] + 0.587 * c[1] + 0.114 * c[2];
    double alpha = std::pow(lum, params[0]);
    std::array<double, 3> out{};
    for (int i = 0; i < 3; ++i) {
        double smooth = c[i] + (c[i] - highPass) * alpha * 0.1;
        smooth = std::clamp(std::pow(smooth, static_cast<double>(params[1])), 0.0, 1.0);
        double lvse = 1.0 - (1.0 - smooth) * (1.0 - c[i]);
        double bianliang = std::max(smooth, c[i]);
        double rouguang = 2.0 * c[i] * smooth + c[i] * c[i] - 2.0 * c[i] * c[i] * smooth;
        double v = c[i] + (lvse - c[i]) * alpha;
        v = v + (bianliang - v) * alpha;
        out[i] = v + (rouguang - v) * params[2];
    }
    // vec3 * mat3: component j is the dot product with column j (columns as written).
    const double m[3][3] = {{1.1102, -0.0598, -0.061}, {-0.0774, 1.0826, -0.1186}, {-0.0228, -0.0228, 1.1772}};
    std::array<double, 3> saturated{};
    for (int j = 0; j < 3; ++j) saturated[j] = out[0] * m[j][0] + out[1] * m[j][1] + out[2] * m[j][2];
    double brightness = ZVImageBeautyFilter::brightnessFor(brightLevel);
    for (int i = 0; i < 3; ++i) out[i] = std::clamp(out[i] + (saturated[i] - out[i]) * params[3] + brightness, 0.0, 1.0);
    return out;
}

TEST_F(FilterPixelTest, BeautyAtItsDefaultsChangesAFlatColourAsTheShaderImplies) {
    for (Colour colour : {Colour{200, 150, 120, 255}, Colour{60, 90, 40, 255}, Colour{128, 128, 128, 255}}) {
        Picture output = zvtest::runFilter(std::make_shared<ZVImageBeautyFilter>(), Picture::filled(24, 24, colour));
        auto expected = beautyOfFlatColour({colour[0] / 255.0, colour[1] / 255.0, colour[2] / 255.0}, 0.5, 0.5, 0.5);
        Colour want{static_cast<std::uint8_t>(std::lround(expected[0] * 255)),
                    static_cast<std::uint8_t>(std::lround(expected[1] * 255)),
                    static_cast<std::uint8_t>(std::lround(expected[2] * 255)), 255};
        expectNear(output.at(12, 12), want, 2, "flat colour");
        EXPECT_NE(output.at(12, 12), colour) << "the filter does change the colour";
    }
}

TEST_F(FilterPixelTest, BeautyLevelChangesATexturedPicture) {
    Picture input = Picture::noise(48, 48, 7);
    auto smooth = std::make_shared<ZVImageBeautyFilter>();
    smooth->setBeautyLevel(1.0);
    auto none = std::make_shared<ZVImageBeautyFilter>();
    none->setBeautyLevel(0.0);
    EXPECT_GT(maxDifference(zvtest::runFilter(smooth, input), zvtest::runFilter(none, input)), 10);
}

TEST_F(FilterPixelTest, FullBrightnessAddsThreeTenths) {
    Picture input = Picture::filled(16, 16, {90, 100, 110, 255});
    auto neutral = std::make_shared<ZVImageBeautyFilter>();
    auto bright = std::make_shared<ZVImageBeautyFilter>();
    bright->setBrightLevel(1.0);
    Colour a = zvtest::runFilter(neutral, input).at(8, 8);
    Colour b = zvtest::runFilter(bright, input).at(8, 8);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(b[c] - a[c], 0.3 * 255, 1.5) << "channel " << c;
}

TEST_F(FilterPixelTest, CropKeepsTheMiddleOfTheWidthOrOfTheHeight) {
    // 16 x 16 with each column and row marked: red = column, green = row.
    Picture input = Picture::filled(16, 16, {0, 0, 0, 255});
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) input.set(x, y, {static_cast<std::uint8_t>(x * 16), static_cast<std::uint8_t>(y * 16), 0, 255});

    auto portrait = std::make_shared<ZVImageCropFilter>(platform::makeRect(0.125, 0, 0.75, 1));
    Picture p = zvtest::runFilter(portrait, input);
    ASSERT_EQ(p.width, 12);
    ASSERT_EQ(p.height, 16);
    EXPECT_EQ(p.at(0, 0), (Colour{32, 0, 0, 255}));
    EXPECT_EQ(p.at(11, 15), (Colour{13 * 16, 15 * 16, 0, 255}));

    auto landscape = std::make_shared<ZVImageCropFilter>(platform::makeRect(0, 0.125, 1, 0.75));
    Picture l = zvtest::runFilter(landscape, input);
    ASSERT_EQ(l.width, 16);
    ASSERT_EQ(l.height, 12);
    EXPECT_EQ(l.at(0, 0), (Colour{0, 32, 0, 255}));
    EXPECT_EQ(l.at(15, 11), (Colour{15 * 16, 13 * 16, 0, 255}));
}

TEST_F(FilterPixelTest, CropFollowsTheInputRotation) {
    // Rotated right, a 8 x 4 picture stands 4 x 8; the region is taken from the upright picture.
    Picture input = Picture::filled(8, 4, {0, 0, 0, 255});
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) input.set(x, y, {static_cast<std::uint8_t>(x * 30), static_cast<std::uint8_t>(y * 60), 0, 255});
    Picture upright = zvtest::runFilter(std::make_shared<ZVImageFilter>(), input, kZVImageRotateRight);
    Picture cropped = zvtest::runFilter(std::make_shared<ZVImageCropFilter>(platform::makeRect(0, 0.5, 1, 0.5)), input,
                                        kZVImageRotateRight);
    ASSERT_EQ(cropped.width, 4);
    ASSERT_EQ(cropped.height, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(cropped.at(x, y), upright.at(x, y + 4)) << x << "," << y;
}

// Where the table sends input pixel (0, 0): output pixel (i, j) shows the texel at the coordinates
// the quad interpolates there.
std::pair<int, int> whereTheTableSendsTopLeft(int rotation, int outWidth, int outHeight, int inWidth, int inHeight) {
    const float* t = ZVImageTextureCoordinatesForRotation(rotation);
    for (int j = 0; j < outHeight; ++j)
        for (int i = 0; i < outWidth; ++i) {
            double u = (i + 0.5) / outWidth, v = (j + 0.5) / outHeight;
            double s = t[0] + u * (t[2] - t[0]) + v * (t[4] - t[0]);
            double r = t[1] + u * (t[3] - t[1]) + v * (t[5] - t[1]);
            if (static_cast<int>(s * inWidth) == 0 && static_cast<int>(r * inHeight) == 0) return {i, j};
        }
    return {-1, -1};
}

TEST_F(FilterPixelTest, EachRotationModeMovesTheMarkedCornerWhereTheTableSays) {
    Picture input = Picture::filled(6, 4, {0, 0, 0, 255});
    input.set(0, 0, {255, 255, 255, 255});
    for (int rotation = 0; rotation <= 7; ++rotation) {
        Picture output = zvtest::runFilter(std::make_shared<ZVImageFilter>(), input, rotation);
        bool swaps = ZVImageRotationSwapsWidthAndHeight(rotation);
        ASSERT_EQ(output.width, swaps ? 4 : 6) << "mode " << rotation;
        auto [x, y] = whereTheTableSendsTopLeft(rotation, output.width, output.height, 6, 4);
        ASSERT_GE(x, 0);
        EXPECT_EQ(output.at(x, y), (Colour{255, 255, 255, 255})) << "mode " << rotation;
        int marked = 0;
        for (int j = 0; j < output.height; ++j)
            for (int i = 0; i < output.width; ++i) marked += output.at(i, j)[0] == 255;
        EXPECT_EQ(marked, 1) << "mode " << rotation;
    }
    // Spot checks in words: rotate right puts the top-left corner at the top right, 180° at the
    // bottom right, a horizontal flip at the top right of an unrotated picture.
    EXPECT_EQ(whereTheTableSendsTopLeft(kZVImageRotateRight, 4, 6, 6, 4), (std::pair{3, 0}));
    EXPECT_EQ(whereTheTableSendsTopLeft(kZVImageRotate180, 6, 4, 6, 4), (std::pair{5, 3}));
    EXPECT_EQ(whereTheTableSendsTopLeft(kZVImageFlipHorizonal, 6, 4, 6, 4), (std::pair{5, 0}));
}

TEST_F(FilterPixelTest, AlphaBlendWithMixZeroAndOne) {
    Picture base = Picture::filled(8, 8, {20, 40, 60, 255});
    Picture overlay = Picture::filled(8, 8, {0, 0, 0, 0});
    overlay.set(2, 3, {250, 10, 10, 255}); // opaque
    overlay.set(5, 5, {0, 0, 0, 0});       // transparent

    for (double mix : {0.0, 1.0}) {
        auto blend = std::make_shared<ZVImageAlphaBlendFilter>();
        blend->setMix(mix);
        auto first = std::make_shared<zvtest::PictureSource>(base);
        auto second = std::make_shared<zvtest::PictureSource>(overlay);
        auto catcher = std::make_shared<zvtest::FrameCatcher>();
        first->addTarget(blend);
        second->addTarget(blend);
        blend->addTarget(catcher);
        second->deliver(kZVTimeIndefinite); // a still picture
        first->deliver(2.0);
        ASSERT_EQ(catcher->count(), 1u) << "one frame once both inputs are in";
        Picture out = catcher->last();
        EXPECT_EQ(out.at(5, 5), (Colour{20, 40, 60, 255}));
        Colour expected = mix == 0 ? Colour{20, 40, 60, 255} : Colour{250, 10, 10, 255};
        EXPECT_EQ(out.at(2, 3), expected) << "mix " << mix;
    }
}

TEST_F(FilterPixelTest, TwoInputFilterWaitsForItsSecondInputUnlessTheCheckIsDisabled) {
    auto first = std::make_shared<zvtest::PictureSource>(Picture::filled(4, 4, {10, 20, 30, 255}));
    auto second = std::make_shared<zvtest::PictureSource>(Picture::filled(4, 4, {200, 0, 0, 255}));
    auto blend = std::make_shared<ZVImageAlphaBlendFilter>();
    blend->setMix(1.0);
    auto catcher = std::make_shared<zvtest::FrameCatcher>();
    first->addTarget(blend);
    second->addTarget(blend);
    blend->addTarget(catcher);
    first->deliver(1.0);
    first->deliver(2.0);
    EXPECT_EQ(catcher->count(), 0u) << "the second input never delivered";

    second->deliver(2.5); // a timed second frame completes the pair
    EXPECT_EQ(catcher->count(), 1u);

    blend->disableSecondFrameCheck();
    first->deliver(3.0);
    first->deliver(4.0);
    ASSERT_EQ(catcher->count(), 3u) << "every first-input frame draws, with the last second picture";
    EXPECT_EQ(catcher->last().at(1, 1), (Colour{200, 0, 0, 255}));
}

// NV12 values through the camera's conversion, for each range and matrix.
TEST_F(FilterPixelTest, CameraConvertsKnownYUVForEachRangeAndMatrix) {
    struct Case {
        bool fullRange;
        platform::YCbCrMatrix matrix;
        const float* m;
    };
    const Case cases[] = {{false, platform::YCbCrMatrix::BT601, kZVColorConversion601},
                          {true, platform::YCbCrMatrix::BT601, kZVColorConversion601FullRange},
                          {false, platform::YCbCrMatrix::BT709, kZVColorConversion709},
                          {true, platform::YCbCrMatrix::BT709, kZVColorConversion709FullRange}};
    const std::uint8_t yuv[][3] = {{120, 100, 170}, {200, 140, 110}, {60, 128, 128}};
    for (const auto& c : cases) {
        auto device = std::make_shared<zvtest::FakeCameraDevice>();
        device->fullRange = c.fullRange;
        auto camera = ZVImageVideoCamera::create("AVCaptureSessionPreset640x480", platform::CameraPosition::Back,
                                                 [device](platform::CameraPosition, std::string*) { return device; });
        ASSERT_TRUE(camera);
        auto catcher = std::make_shared<zvtest::FrameCatcher>();
        camera->addTarget(catcher);
        for (const auto& v : yuv) {
            platform::CameraSample sample{zvtest::flatNV12(8, 6, v[0], v[1], v[2]), c.fullRange, c.matrix, 1.0};
            camera->processVideoSampleBuffer(sample);
            double y = v[0] / 255.0 - (c.fullRange ? 0.0 : 16.0 / 255.0);
            double u = v[1] / 255.0 - 0.5, w = v[2] / 255.0 - 0.5;
            Colour expected{};
            for (int row = 0; row < 3; ++row) {
                double value = c.m[row] * y + c.m[3 + row] * u + c.m[6 + row] * w;
                expected[row] = static_cast<std::uint8_t>(std::clamp(std::lround(value * 255), 0L, 255L));
            }
            expected[3] = 255;
            expectNear(catcher->last().at(4, 3), expected, 2,
                       std::string(c.fullRange ? "full" : "video") + (c.m == kZVColorConversion709 ||
                                                                              c.m == kZVColorConversion709FullRange
                                                                          ? " 709"
                                                                          : " 601"));
        }
    }
}

TEST_F(FilterPixelTest, FullRangeBT709IsNotClipped) {
    // Full-range white and black stay white and black; the video-range matrix would push them out.
    auto device = std::make_shared<zvtest::FakeCameraDevice>();
    device->fullRange = true;
    auto camera = ZVImageVideoCamera::create("AVCaptureSessionPreset640x480", platform::CameraPosition::Back,
                                             [device](platform::CameraPosition, std::string*) { return device; });
    auto catcher = std::make_shared<zvtest::FrameCatcher>();
    camera->addTarget(catcher);
    camera->processVideoSampleBuffer({zvtest::flatNV12(4, 4, 235, 128, 128), true, platform::YCbCrMatrix::BT709, 1});
    expectNear(catcher->last().at(1, 1), {235, 235, 235, 255}, 1, "full-range grey keeps its level");
}

// The preview fits a 9:16 picture into a 3:4 view.
TEST_F(FilterPixelTest, PreviewFillModes) {
    Picture input = Picture::filled(18, 32, {0, 0, 255, 255});
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 18; ++x) input.set(x, y, {255, 0, 0, 255}); // a red band at the top
    auto window = platform::View::create(platform::makeRect(0, 0, 30, 40));

    for (int mode : {kZVImageFillModeStretch, kZVImageFillModePreserveAspectRatio,
                     kZVImageFillModePreserveAspectRatioAndFilling}) {
        auto view = ZVImageView::create(platform::makeRect(0, 0, 30, 40));
        view->setFillMode(mode);
        view->setBackgroundColorRed(0, 1, 0, 1);
        window->addSubview(view);
        auto source = std::make_shared<zvtest::PictureSource>(input);
        source->addTarget(view);
        source->deliver();
        auto image = view->presentedImage();
        ASSERT_TRUE(image) << "mode " << mode;
        Picture shown = zvtest::fromBGRA(*image->pixelBuffer());
        ASSERT_EQ(shown.width, 30);
        ASSERT_EQ(shown.height, 40);
        if (mode == kZVImageFillModeStretch) {
            EXPECT_EQ(shown.at(0, 0), (Colour{255, 0, 0, 255}));   // the band reaches the corners
            EXPECT_EQ(shown.at(29, 39), (Colour{0, 0, 255, 255}));
        } else if (mode == kZVImageFillModePreserveAspectRatio) {
            // 22.5 x 40 in the middle: green bars left and right.
            EXPECT_EQ(shown.at(1, 20), (Colour{0, 255, 0, 255}));
            EXPECT_EQ(shown.at(28, 20), (Colour{0, 255, 0, 255}));
            EXPECT_EQ(shown.at(15, 1), (Colour{255, 0, 0, 255}));
        } else {
            // 30 x 53.3, top and bottom cut: no bars, and the red band (5 of the 6.7 rows cut) is gone.
            EXPECT_EQ(shown.at(0, 20), (Colour{0, 0, 255, 255}));
            EXPECT_EQ(shown.at(29, 20), (Colour{0, 0, 255, 255}));
            EXPECT_EQ(shown.at(15, 0), (Colour{0, 0, 255, 255}));
            EXPECT_EQ(shown.at(15, 39), (Colour{0, 0, 255, 255}));
        }
        view->removeFromSuperview();
    }
}

TEST_F(FilterPixelTest, PreviewDrawsNothingOutsideAHierarchy) {
    auto view = ZVImageView::create(platform::makeRect(0, 0, 8, 8));
    auto source = std::make_shared<zvtest::PictureSource>(Picture::filled(8, 8, {1, 2, 3, 255}));
    source->addTarget(view);
    source->deliver();
    EXPECT_EQ(view->presentedFrameCount(), 0u);
    EXPECT_EQ(view->presentedImage(), nullptr);
    auto window = platform::View::create(platform::makeRect(0, 0, 8, 8));
    window->addSubview(view);
    source->deliver();
    EXPECT_EQ(view->presentedFrameCount(), 1u);
}

TEST(FillModeGeometryTest, QuadExtentsOfEachMode) {
    platform::Size picture{9, 16}, view{30, 40};
    EXPECT_EQ(ZVImageView::fillModeScale(kZVImageFillModeStretch, picture, view), (platform::Size{1, 1}));
    auto letterbox = ZVImageView::fillModeScale(kZVImageFillModePreserveAspectRatio, picture, view);
    EXPECT_DOUBLE_EQ(letterbox.width, 0.75);
    EXPECT_DOUBLE_EQ(letterbox.height, 1.0);
    auto fill = ZVImageView::fillModeScale(kZVImageFillModePreserveAspectRatioAndFilling, picture, view);
    EXPECT_DOUBLE_EQ(fill.width, 1.0);
    EXPECT_NEAR(fill.height, 4.0 / 3.0, 1e-12);
}

} // namespace
