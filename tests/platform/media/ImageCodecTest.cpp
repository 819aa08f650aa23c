// PNG and JPEG files to BGRA pictures and back.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include "platform/media/ImageCodec.h"
#include "tests/platform/media/CameraTestSupport.h"
#include "tests/support/TestUtil.h"

using namespace platform;

namespace {

std::array<int, 4> bgraAt(const PixelBuffer& picture, int x, int y) {
    const std::uint8_t* p = picture.planeData(0) + static_cast<std::size_t>(y) * picture.bytesPerRow(0) + 4 * x;
    return {p[0], p[1], p[2], p[3]};
}

// Every pixel different, alpha running from clear to opaque across the picture.
std::shared_ptr<PixelBuffer> translucentPicture(int width, int height) {
    auto picture = PixelBuffer::create(width, height, PixelFormat::BGRA);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            std::uint8_t* p = picture->planeData(0) + y * picture->bytesPerRow(0) + 4 * x;
            p[0] = static_cast<std::uint8_t>(x * 7);
            p[1] = static_cast<std::uint8_t>(y * 11);
            p[2] = static_cast<std::uint8_t>(x + y);
            p[3] = static_cast<std::uint8_t>(255 * x / (width - 1));
        }
    return picture;
}

std::vector<std::uint8_t> bytesOf(const std::string& text) { return {text.begin(), text.end()}; }

TEST(ImageCodecTest, PngRoundTripKeepsEveryPixelAndItsAlpha) {
    auto picture = translucentPicture(37, 23); // odd sides: rows padded in memory, not in the file
    std::vector<std::uint8_t> png;
    std::string error;
    ASSERT_TRUE(encodePng(*picture, &png, &error)) << error;
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png[1], 'P');

    auto decoded = decodeImage(png, &error);
    ASSERT_TRUE(decoded) << error;
    EXPECT_EQ(decoded->format(), PixelFormat::BGRA);
    ASSERT_EQ(decoded->width(), 37);
    ASSERT_EQ(decoded->height(), 23);
    for (int y = 0; y < 23; ++y)
        for (int x = 0; x < 37; ++x) ASSERT_EQ(bgraAt(*decoded, x, y), bgraAt(*picture, x, y)) << x << "," << y;

    // Through a file, too.
    zqtest::TempDir dir;
    ASSERT_TRUE(writePngFile(*picture, dir.file("picture.png"), &error)) << error;
    auto fromFile = decodeImageFile(dir.file("picture.png"), &error);
    ASSERT_TRUE(fromFile) << error;
    EXPECT_EQ(bgraAt(*fromFile, 36, 22), bgraAt(*picture, 36, 22));
    EXPECT_EQ(bgraAt(*fromFile, 0, 0)[3], 0);
    // Nothing but the file is left behind.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 1);
}

TEST(ImageCodecTest, DecodesJpegAndPngsWithoutAlphaAsOpaque) {
    // Known pixels, as a JPEG, an 8-bit RGB PNG and a 16-bit grey PNG.
    const std::string rgb = "-f lavfi -i color=c=0x2080E0:s=64x48,format=rgb24 -frames:v 1";
    const std::string jpegFile = zqtest::mediaMadeWithFfmpeg("a.jpg", rgb);
    const std::string pngFile = zqtest::mediaMadeWithFfmpeg("b.png", rgb);
    const std::string greyFile =
        zqtest::mediaMadeWithFfmpeg("c.png", "-f lavfi -i color=c=0x808080:s=8x8,format=gray16be -frames:v 1");
    std::string error;
    auto jpeg = decodeImageFile(jpegFile, &error);
    ASSERT_TRUE(jpeg) << error;
    EXPECT_EQ(jpeg->width(), 64);
    EXPECT_EQ(jpeg->height(), 48);
    auto pixel = bgraAt(*jpeg, 32, 24);
    EXPECT_NEAR(pixel[2], 0x20, 6);
    EXPECT_NEAR(pixel[1], 0x80, 6);
    EXPECT_NEAR(pixel[0], 0xE0, 6);
    EXPECT_EQ(pixel[3], 255);

    auto png = decodeImageFile(pngFile, &error);
    ASSERT_TRUE(png) << error;
    EXPECT_EQ(bgraAt(*png, 10, 10), (std::array<int, 4>{0xE0, 0x80, 0x20, 255}));
    auto grey = decodeImageFile(greyFile, &error);
    ASSERT_TRUE(grey) << error;
    pixel = bgraAt(*grey, 3, 3); // 16 bits to 8: within a step of 0x80
    for (int i = 0; i < 3; ++i) EXPECT_NEAR(pixel[i], 0x80, 1);
    EXPECT_EQ(pixel[3], 255);
}

TEST(ImageCodecTest, BadInputFailsWithAReason) {
    std::string error;
    EXPECT_FALSE(decodeImage(bytesOf("GIF89a not supported"), &error));
    EXPECT_EQ(error, "not a PNG or JPEG image");
    EXPECT_FALSE(decodeImage({}, &error));
    EXPECT_EQ(error, "not a PNG or JPEG image");

    // A PNG signature followed by rubbish.
    std::vector<std::uint8_t> rubbish = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    rubbish.resize(200, 0x41);
    EXPECT_FALSE(decodeImage(rubbish, &error));
    EXPECT_EQ(error.rfind("the image does not decode", 0), 0u) << error;

    // Real images cut in half.
    auto picture = translucentPicture(64, 64);
    std::vector<std::uint8_t> png;
    ASSERT_TRUE(encodePng(*picture, &png, &error));
    png.resize(png.size() / 2);
    EXPECT_FALSE(decodeImage(png, &error));
    std::string jpeg =
        zqtest::readFile(zqtest::mediaMadeWithFfmpeg("testsrc2.jpg", "-f lavfi -i testsrc2=s=320x240 -frames:v 1"));
    ASSERT_GT(jpeg.size(), 1000u);
    jpeg.resize(jpeg.size() / 2);
    EXPECT_FALSE(decodeImage(bytesOf(jpeg), &error));
    EXPECT_EQ(error, "the image is truncated (no end-of-image marker)");

    zqtest::TempDir dir;
    EXPECT_FALSE(decodeImageFile(dir.file("absent.png"), &error));
    EXPECT_EQ(error, dir.file("absent.png") + ": No such file or directory");
    EXPECT_FALSE(decodeImageFile(dir.path(), &error));
    EXPECT_EQ(error, dir.path() + ": not a regular file");
    std::ofstream(dir.file("empty.png")).close();
    EXPECT_FALSE(decodeImageFile(dir.file("empty.png"), &error));
    EXPECT_EQ(error, dir.file("empty.png") + ": not a PNG or JPEG image");
}

TEST(ImageCodecTest, WritingRefusesNonBgraPicturesAndUnwritablePlaces) {
    std::string error;
    auto nv12 = PixelBuffer::create(16, 16, PixelFormat::NV12);
    std::vector<std::uint8_t> png;
    EXPECT_FALSE(encodePng(*nv12, &png, &error));
    EXPECT_EQ(error, "a PNG is written from a BGRA picture");

    zqtest::TempDir dir;
    auto picture = translucentPicture(8, 8);
    EXPECT_FALSE(writePngFile(*picture, dir.file("missing-folder/out.png"), &error));
    EXPECT_EQ(error, dir.file("missing-folder/out.png") + ": No such file or directory");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), 0);
}

} // namespace
