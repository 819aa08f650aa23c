// Turning source pictures into sensor pictures: turns, crops, colour tags, the YUV conversion, and
// the V4L2 format choice and frame-rate thinning.
#include <gtest/gtest.h>
#include <cstring>
#include <linux/videodev2.h>
#include <vector>
#include "platform/media/SensorFrame.h"
#include "platform/media/V4L2CameraDevice.h"
#include "tests/platform/media/CameraTestSupport.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

using namespace platform;
using zqtest::chromaAt;
using zqtest::lumaAt;

namespace {

// An NV12 picture whose luma is x + 16 * y (mod 256) and whose chroma pairs carry their position.
std::shared_ptr<PixelBuffer> markedPicture(int width, int height) {
    auto picture = PixelBuffer::create(width, height, PixelFormat::NV12);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            picture->planeData(0)[y * picture->bytesPerRow(0) + x] = static_cast<std::uint8_t>(x + 16 * y);
    for (int y = 0; y < height / 2; ++y)
        for (int x = 0; x < width / 2; ++x) {
            picture->planeData(1)[y * picture->bytesPerRow(1) + 2 * x] = static_cast<std::uint8_t>(x);
            picture->planeData(1)[y * picture->bytesPerRow(1) + 2 * x + 1] = static_cast<std::uint8_t>(y);
        }
    return picture;
}

TEST(SensorTurnTest, UndoesTheCameraRotationTable) {
    // Portrait: the table turns both cameras right, so the sensor sees the scene turned left.
    EXPECT_EQ(sensorTurn(CameraPosition::Back, 1), QuarterTurn::Left);
    EXPECT_EQ(sensorTurn(CameraPosition::Front, 1), QuarterTurn::Left);
    EXPECT_EQ(sensorTurn(CameraPosition::Back, 2), QuarterTurn::Right);
    // Landscape right: the back camera is upright, the front one upside down (table 0 and 7).
    EXPECT_EQ(sensorTurn(CameraPosition::Back, 3), QuarterTurn::None);
    EXPECT_EQ(sensorTurn(CameraPosition::Front, 3), QuarterTurn::Half);
    EXPECT_EQ(sensorTurn(CameraPosition::Back, 4), QuarterTurn::Half);
    EXPECT_EQ(sensorTurn(CameraPosition::Front, 4), QuarterTurn::None);
    EXPECT_EQ(sensorTurn(CameraPosition::Back, 0), QuarterTurn::None);

    EXPECT_EQ(QuarterTurn::Left + QuarterTurn::Left, QuarterTurn::Half);
    EXPECT_EQ(QuarterTurn::Left + QuarterTurn::Right, QuarterTurn::None);
    EXPECT_EQ(quarterTurnFromDegrees(-90), QuarterTurn::Left);
    EXPECT_EQ(quarterTurnFromDegrees(270), QuarterTurn::Left);
    EXPECT_EQ(quarterTurnFromDegrees(89.6), QuarterTurn::Right);
    EXPECT_EQ(quarterTurnFromDegrees(-180), QuarterTurn::Half);
}

TEST(SensorTurnTest, TurnsBothPlanesOfAnNv12Picture) {
    auto from = markedPicture(8, 4);
    auto right = PixelBuffer::create(4, 8, PixelFormat::NV12);
    turnNv12(*from, *right, QuarterTurn::Right);
    // Clockwise: the top-left corner goes to the top-right, the bottom-left to the top-left.
    EXPECT_EQ(lumaAt(*right, 3, 0), lumaAt(*from, 0, 0));
    EXPECT_EQ(lumaAt(*right, 0, 0), lumaAt(*from, 0, 3));
    EXPECT_EQ(lumaAt(*right, 0, 7), lumaAt(*from, 7, 3));
    EXPECT_EQ(chromaAt(*right, 3, 0), chromaAt(*from, 0, 0));
    EXPECT_EQ(chromaAt(*right, 0, 7), chromaAt(*from, 7, 3));

    auto left = PixelBuffer::create(4, 8, PixelFormat::NV12);
    turnNv12(*from, *left, QuarterTurn::Left);
    // Counter-clockwise: the top row becomes the left column, read upwards.
    EXPECT_EQ(lumaAt(*left, 0, 7), lumaAt(*from, 0, 0));
    EXPECT_EQ(lumaAt(*left, 0, 0), lumaAt(*from, 7, 0));
    EXPECT_EQ(lumaAt(*left, 3, 0), lumaAt(*from, 7, 3));
    EXPECT_EQ(chromaAt(*left, 0, 7), chromaAt(*from, 0, 0));

    auto half = PixelBuffer::create(8, 4, PixelFormat::NV12);
    turnNv12(*from, *half, QuarterTurn::Half);
    EXPECT_EQ(lumaAt(*half, 7, 3), lumaAt(*from, 0, 0));
    EXPECT_EQ(lumaAt(*half, 0, 0), lumaAt(*from, 7, 3));
    EXPECT_EQ(chromaAt(*half, 7, 3), chromaAt(*from, 0, 0));

    // A quarter turn each way is no turn.
    auto back = PixelBuffer::create(8, 4, PixelFormat::NV12);
    turnNv12(*right, *back, QuarterTurn::Left);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) ASSERT_EQ(lumaAt(*back, x, y), lumaAt(*from, x, y));
}

TEST(CentreCropTest, KeepsTheMiddleOfTheWiderSideOnAlignedOrigins) {
    // 4:3 to 16:9: full width, middle rows.
    EXPECT_EQ(centreCrop(1280, 960, 1280, 720), (CropRect{0, 120, 1280, 720}));
    // 16:9 to 9:16: full height, middle columns, origin on an even column.
    EXPECT_EQ(centreCrop(1280, 720, 720, 1280), (CropRect{436, 0, 405, 720}));
    EXPECT_EQ(centreCrop(1280, 720, 720, 1280, 1, 1), (CropRect{437, 0, 405, 720}));
    // Same shape, any size: no crop.
    EXPECT_EQ(centreCrop(640, 360, 1280, 720), (CropRect{0, 0, 640, 360}));
    // Nonsense shapes leave the picture whole.
    EXPECT_EQ(centreCrop(640, 480, 0, 10), (CropRect{0, 0, 640, 480}));
}

TEST(DescribeColorTest, TagsWinAndUntaggedPicturesFollowTheirSize) {
    auto color = describeColor(AV_PIX_FMT_YUV420P, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_UNSPECIFIED, 640, 480);
    EXPECT_FALSE(color.fullRange);
    EXPECT_EQ(color.matrix, YCbCrMatrix::BT601);
    // HD, either way round.
    EXPECT_EQ(describeColor(AV_PIX_FMT_YUV420P, 0, AVCOL_SPC_UNSPECIFIED, 1280, 720).matrix, YCbCrMatrix::BT709);
    EXPECT_EQ(describeColor(AV_PIX_FMT_YUV420P, 0, AVCOL_SPC_UNSPECIFIED, 720, 1280).matrix, YCbCrMatrix::BT709);
    EXPECT_EQ(describeColor(AV_PIX_FMT_YUV420P, 0, AVCOL_SPC_UNSPECIFIED, 960, 540).matrix, YCbCrMatrix::BT601);
    // Tags.
    color = describeColor(AV_PIX_FMT_YUV420P, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709, 320, 240);
    EXPECT_TRUE(color.fullRange);
    EXPECT_EQ(color.matrix, YCbCrMatrix::BT709);
    EXPECT_EQ(describeColor(AV_PIX_FMT_YUV420P, AVCOL_RANGE_MPEG, AVCOL_SPC_SMPTE170M, 1920, 1080).matrix,
              YCbCrMatrix::BT601);
    // The JPEG formats are full range whatever the tag says.
    EXPECT_TRUE(describeColor(AV_PIX_FMT_YUVJ422P, AVCOL_RANGE_UNSPECIFIED, AVCOL_SPC_BT470BG, 640, 480).fullRange);
    // RGB comes out as libswscale converts it.
    color = describeColor(AV_PIX_FMT_RGB24, AVCOL_RANGE_JPEG, AVCOL_SPC_BT709, 1920, 1080);
    EXPECT_FALSE(color.fullRange);
    EXPECT_EQ(color.matrix, YCbCrMatrix::BT601);
}

TEST(SensorFrameConverterTest, KeepsYuvValuesAndCropsTheMiddle) {
    // YUYV 8x6 in three bands of rows; converting to 8x2 (4:1) keeps only the middle band.
    constexpr int w = 8, h = 6;
    std::vector<std::uint8_t> yuyv(w * 2 * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 2) {
            std::uint8_t* p = &yuyv[y * w * 2 + x * 2];
            const std::uint8_t luma = y < 2 ? 235 : y < 4 ? 81 : 16;
            p[0] = p[2] = luma;
            p[1] = 90;  // Cb
            p[3] = 240; // Cr
        }
    SourcePicture picture;
    picture.format = AV_PIX_FMT_YUYV422;
    picture.data[0] = yuyv.data();
    picture.linesize[0] = w * 2;
    picture.width = w;
    picture.height = h;
    SensorFrameConverter converter;
    std::string error;
    auto out = converter.convert(picture, 8, 2, QuarterTurn::None, &error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->format(), PixelFormat::NV12);
    for (int x = 0; x < 8; ++x) {
        EXPECT_EQ(lumaAt(*out, x, 0), 81);
        EXPECT_EQ(lumaAt(*out, x, 1), 81);
    }
    EXPECT_EQ(chromaAt(*out, 0, 0), (std::array<int, 2>{90, 240})); // video range stays as it was

    // A turned output: the shape before the turn is 2x8, so the middle columns are kept.
    out = converter.convert(picture, 8, 2, QuarterTurn::Left, &error);
    ASSERT_TRUE(out) << error;
    EXPECT_EQ(out->width(), 8);
    EXPECT_EQ(out->height(), 2);

    picture.format = AV_PIX_FMT_NONE;
    EXPECT_FALSE(converter.convert(picture, 8, 2, QuarterTurn::None, &error));
    EXPECT_NE(error.find("cannot be converted"), std::string::npos) << error;
}

TEST(Nv12ToBgraTest, UsesTheDeclaredRangeAndMatrix) {
    auto picture = PixelBuffer::create(4, 4, PixelFormat::NV12);
    std::memset(picture->planeData(0), 235, picture->bytesPerRow(0) * 4);
    std::memset(picture->planeData(1), 128, picture->bytesPerRow(1) * 2);
    auto video = nv12ToBgra(*picture, {false, YCbCrMatrix::BT601});
    auto full = nv12ToBgra(*picture, {true, YCbCrMatrix::BT709});
    ASSERT_TRUE(video && full);
    EXPECT_NEAR(video->planeData(0)[0], 255, 1); // video-range white
    EXPECT_NEAR(full->planeData(0)[0], 235, 1);  // full-range light grey
    auto bgra = PixelBuffer::create(4, 4, PixelFormat::BGRA);
    EXPECT_FALSE(nv12ToBgra(*bgra, {}));
}

std::vector<V4L2FrameSize> offers(std::initializer_list<V4L2FrameSize> list) { return list; }

TEST(ChooseV4L2FormatTest, PrefersRateThenCoverageThenNv12) {
    // NV12 over YUYV over MJPEG at the same size and rate.
    auto choice = chooseV4L2Format(offers({{V4L2_PIX_FMT_MJPEG, 1280, 720, 30},
                                           {V4L2_PIX_FMT_YUYV, 1280, 720, 30},
                                           {V4L2_PIX_FMT_NV12, 1280, 720, 30}}),
                                   1280, 720, 30);
    ASSERT_TRUE(choice);
    EXPECT_EQ(choice->pixelFormat, V4L2_PIX_FMT_NV12);
    // A webcam's slow raw mode loses to its MJPEG mode at the wanted rate.
    choice = chooseV4L2Format(offers({{V4L2_PIX_FMT_YUYV, 1280, 720, 10}, {V4L2_PIX_FMT_MJPEG, 1280, 720, 30}}),
                              1280, 720, 30);
    EXPECT_EQ(choice->pixelFormat, V4L2_PIX_FMT_MJPEG);
    // ... but wins when 10 frames a second are enough.
    choice = chooseV4L2Format(offers({{V4L2_PIX_FMT_YUYV, 1280, 720, 10}, {V4L2_PIX_FMT_MJPEG, 1280, 720, 30}}),
                              1280, 720, 10);
    EXPECT_EQ(choice->pixelFormat, V4L2_PIX_FMT_YUYV);
    // The smallest size that covers the shape without upscaling.
    choice = chooseV4L2Format(offers({{V4L2_PIX_FMT_YUYV, 1920, 1080, 30},
                                      {V4L2_PIX_FMT_YUYV, 1280, 720, 30},
                                      {V4L2_PIX_FMT_NV12, 640, 480, 30}}),
                              1280, 720, 30);
    EXPECT_EQ(*choice, (V4L2FrameSize{V4L2_PIX_FMT_YUYV, 1280, 720, 30}));
    // Nothing covers: the largest crop. A 4:3 picture crops to more of 16:9 than a small 16:9 one.
    choice = chooseV4L2Format(offers({{V4L2_PIX_FMT_NV12, 640, 360, 30}, {V4L2_PIX_FMT_NV12, 1024, 768, 30}}),
                              1280, 720, 30);
    EXPECT_EQ(choice->width, 1024);
    // A portrait shape (the sensor turn) from landscape sizes: 1080p crops to 607x1080, covering 540x960.
    choice = chooseV4L2Format(offers({{V4L2_PIX_FMT_NV12, 1280, 720, 30}, {V4L2_PIX_FMT_NV12, 1920, 1080, 30}}),
                              540, 960, 30);
    EXPECT_EQ(choice->width, 1920);
    // Unknown rates count as fast enough; unusable formats are never chosen.
    EXPECT_FALSE(chooseV4L2Format(offers({{v4l2_fourcc('H', '2', '6', '4'), 1280, 720, 30}}), 1280, 720, 30));
    EXPECT_TRUE(chooseV4L2Format(offers({{V4L2_PIX_FMT_YUYV, 1280, 720, 0}}), 1280, 720, 60));
}

TEST(FrameRateGateTest, ThinsToTheRateWithoutBursts) {
    auto count = [](double source, double rate, int frames, double jitter = 0) {
        FrameRateGate gate;
        int kept = 0;
        for (int i = 0; i < frames; ++i) {
            const double wobble = jitter * ((i % 3) - 1); // -j, 0, +j
            kept += gate.admit(100 + i / source + wobble, rate);
        }
        return kept;
    };
    EXPECT_EQ(count(30, 20, 60), 40);
    EXPECT_EQ(count(30, 15, 60), 30);
    EXPECT_EQ(count(30, 10, 60), 20);
    // Same rate with a few milliseconds of jitter: nothing dropped.
    EXPECT_EQ(count(30, 30, 60, 0.004), 60);
    // No rate, or a rate above the source's: everything.
    EXPECT_EQ(count(30, 0, 60), 60);
    EXPECT_EQ(count(15, 30, 60), 60);

    // After a stall the gate does not deliver the missed points in a burst.
    FrameRateGate gate;
    EXPECT_TRUE(gate.admit(0.0, 10));
    EXPECT_TRUE(gate.admit(5.0, 10));
    EXPECT_FALSE(gate.admit(5.02, 10));
    EXPECT_TRUE(gate.admit(5.1, 10));
}

} // namespace
