// The V4L2 camera against a fake device: finding and negotiating, converting what it captures,
// the frame rate, the controls, and a device that is busy, unplugged or stopped mid-wait.
#include <gtest/gtest.h>
#include <functional>
#include "platform/media/V4L2CameraDevice.h"
#include "tests/platform/media/CameraTestSupport.h"
#include "tests/platform/media/FakeV4L2.h"
#include "tests/support/TestUtil.h"

using namespace platform;
using zqtest::FakeCameraModel;
using zqtest::FakeV4L2;
using zqtest::lumaAt;
using zqtest::SampleCollector;

namespace {

using Yuv = std::array<std::uint8_t, 3>;
using Painter = std::function<Yuv(int x, int y)>;

std::vector<std::uint8_t> yuyvFrame(int w, int h, const Painter& paint) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(w) * h * 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; x += 2) {
            const Yuv a = paint(x, y), b = paint(x + 1, y);
            std::uint8_t* p = &bytes[(static_cast<std::size_t>(y) * w + x) * 2];
            p[0] = a[0];
            p[1] = a[1];
            p[2] = b[0];
            p[3] = a[2];
        }
    return bytes;
}

std::vector<std::uint8_t> nv12Frame(int w, int h, const Painter& paint) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(w) * h * 3 / 2);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) bytes[static_cast<std::size_t>(y) * w + x] = paint(x, y)[0];
    std::uint8_t* chroma = bytes.data() + static_cast<std::size_t>(w) * h;
    for (int y = 0; y < h / 2; ++y)
        for (int x = 0; x < w / 2; ++x) {
            const Yuv c = paint(2 * x, 2 * y);
            chroma[y * w + 2 * x] = c[1];
            chroma[y * w + 2 * x + 1] = c[2];
        }
    return bytes;
}

Painter flat(Yuv value) {
    return [value](int, int) { return value; };
}

FakeCameraModel camera(std::vector<FakeCameraModel::Format> formats) {
    FakeCameraModel model;
    model.formats = std::move(formats);
    return model;
}

constexpr auto kShort = std::chrono::seconds(5);

class V4L2CameraDeviceTest : public ::testing::Test {
protected:
    std::shared_ptr<FakeV4L2> fake = std::make_shared<FakeV4L2>();
    SampleCollector collected;

    std::unique_ptr<V4L2CameraDevice> device(const std::string& path = "/dev/video0",
                                             CameraPosition position = CameraPosition::Back) {
        return std::make_unique<V4L2CameraDevice>(path, position, fake);
    }
    bool start(V4L2CameraDevice& camera) {
        std::string error;
        bool ok = camera.start(collected.sampleHandler(), collected.lossHandler(), &error);
        EXPECT_TRUE(ok) << error;
        return ok;
    }
};

TEST_F(V4L2CameraDeviceTest, FindsTheFirstCaptureDeviceAndSaysWhenThereIsNone) {
    std::string error;
    EXPECT_FALSE(device("")->open(1280, 720, &error));
    EXPECT_EQ(error, "camera: no V4L2 video capture device found");

    // video0 is a metadata node, video1 captures.
    FakeCameraModel metadata = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    metadata.deviceCaps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING;
    fake->addDevice("/dev/video0", metadata);
    fake->addDevice("/dev/video1", camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}}));
    auto first = device("");
    ASSERT_TRUE(first->open(640, 480, &error)) << error;
    EXPECT_EQ(first->name(), "/dev/video1");
    EXPECT_EQ(fake->state("/dev/video0").openCount, 1); // looked at, and closed again

    EXPECT_FALSE(device("/dev/video0")->open(640, 480, &error));
    EXPECT_EQ(error, "/dev/video0: not a video capture device with streaming I/O");
    EXPECT_FALSE(device("/dev/video7")->open(640, 480, &error));
    EXPECT_NE(error.find("/dev/video7: no such camera"), std::string::npos) << error;
    first.reset();
    EXPECT_TRUE(fake->allClosed());
}

TEST_F(V4L2CameraDeviceTest, TheFirstCameraThatOpensIsTakenAndABusyOneExplained) {
    FakeCameraModel busy = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    busy.setFormatErrno = EBUSY;
    fake->addDevice("/dev/video0", busy);
    std::string error;
    EXPECT_FALSE(device("")->open(640, 480, &error));
    EXPECT_EQ(error, "/dev/video0: the camera is busy (used by another program)");

    fake->addDevice("/dev/video1", camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}}));
    auto second = device("");
    ASSERT_TRUE(second->open(640, 480, &error)) << error;
    EXPECT_EQ(second->name(), "/dev/video1");
}

TEST_F(V4L2CameraDeviceTest, NegotiatesNv12BeforeConvertedFormats) {
    fake->addDevice("/dev/video0", camera({{V4L2_PIX_FMT_MJPEG, {{1280, 720}}},
                                           {V4L2_PIX_FMT_YUYV, {{640, 480}, {1280, 720}}},
                                           {V4L2_PIX_FMT_NV12, {{640, 480}, {1280, 720}}}}));
    auto camera = device();
    camera->setOutputImageOrientation(3);
    std::string error;
    ASSERT_TRUE(camera->open(1280, 720, &error)) << error;
    EXPECT_EQ(camera->negotiated(), (V4L2FrameSize{V4L2_PIX_FMT_NV12, 1280, 720, 30}));
    EXPECT_EQ(fake->state("/dev/video0").pixelFormat, V4L2_PIX_FMT_NV12);

    // Captured NV12 comes through as it was.
    ASSERT_TRUE(start(*camera));
    ASSERT_TRUE(fake->deliver("/dev/video0", nv12Frame(1280, 720, flat({120, 60, 200})), 1.0));
    ASSERT_TRUE(collected.waitForSamples(1));
    auto sample = collected.samples()[0];
    EXPECT_EQ(lumaAt(*sample.pixelBuffer, 640, 360), 120);
    EXPECT_EQ(zqtest::chromaAt(*sample.pixelBuffer, 640, 360), (std::array<int, 2>{60, 200}));
    camera->stop();
}

TEST_F(V4L2CameraDeviceTest, ConvertsYuyvCroppingTheMiddleAndTurningForPortrait) {
    // A 4:3 device: rows 0-119 very bright, then bright to the middle, dark below.
    fake->addDevice("/dev/video0", camera({{V4L2_PIX_FMT_YUYV, {{1280, 960}}}}));
    auto bands = [](int, int y) -> Yuv {
        return {static_cast<std::uint8_t>(y < 120 ? 235 : y < 480 ? 200 : 50), 128, 128};
    };

    auto camera = device();
    camera->setOutputImageOrientation(3); // landscape right, back camera: no turn
    std::string error;
    ASSERT_TRUE(camera->open(1280, 720, &error)) << error;
    ASSERT_TRUE(start(*camera));
    ASSERT_TRUE(fake->deliver("/dev/video0", yuyvFrame(1280, 960, bands), 1.0));
    ASSERT_TRUE(collected.waitForSamples(1));
    auto landscape = collected.samples()[0];
    ASSERT_EQ(landscape.pixelBuffer->width(), 1280);
    ASSERT_EQ(landscape.pixelBuffer->height(), 720);
    EXPECT_EQ(landscape.pixelBuffer->format(), PixelFormat::NV12);
    EXPECT_EQ(lumaAt(*landscape.pixelBuffer, 640, 0), 200); // the top 120 rows are cropped away
    EXPECT_EQ(lumaAt(*landscape.pixelBuffer, 640, 350), 200);
    EXPECT_EQ(lumaAt(*landscape.pixelBuffer, 640, 370), 50);
    EXPECT_EQ(lumaAt(*landscape.pixelBuffer, 640, 719), 50);

    // Held in portrait the scene's top goes to the picture's left edge.
    camera->setOutputImageOrientation(1);
    ASSERT_TRUE(fake->deliver("/dev/video0", yuyvFrame(1280, 960, bands), 1.1));
    ASSERT_TRUE(collected.waitForSamples(2));
    auto portrait = collected.samples()[1];
    ASSERT_EQ(portrait.pixelBuffer->width(), 1280);
    EXPECT_EQ(lumaAt(*portrait.pixelBuffer, 5, 360), 235);
    EXPECT_EQ(lumaAt(*portrait.pixelBuffer, 300, 360), 200);
    EXPECT_EQ(lumaAt(*portrait.pixelBuffer, 1270, 360), 50);
    camera->stop();
}

TEST_F(V4L2CameraDeviceTest, DeclaresRangeAndMatrixFromTheNegotiatedFormat) {
    FakeCameraModel hd = camera({{V4L2_PIX_FMT_YUYV, {{1280, 720}}}});
    hd.colorspace = V4L2_COLORSPACE_REC709;
    fake->addDevice("/dev/video0", hd);
    FakeCameraModel full = camera({{V4L2_PIX_FMT_NV12, {{640, 480}}}});
    full.quantization = V4L2_QUANTIZATION_FULL_RANGE;
    full.ycbcrEncoding = V4L2_YCBCR_ENC_601;
    fake->addDevice("/dev/video1", full);
    fake->addDevice("/dev/video2", camera({{V4L2_PIX_FMT_MJPEG, {{640, 480}}}}));

    std::string error;
    auto rec709 = device("/dev/video0");
    ASSERT_TRUE(rec709->open(1280, 720, &error)) << error;
    EXPECT_FALSE(rec709->offersFullRange());
    auto fullRange = device("/dev/video1");
    ASSERT_TRUE(fullRange->open(640, 480, &error)) << error;
    EXPECT_TRUE(fullRange->offersFullRange());
    auto jpeg = device("/dev/video2");
    ASSERT_TRUE(jpeg->open(640, 480, &error)) << error;
    EXPECT_TRUE(jpeg->offersFullRange());

    ASSERT_TRUE(start(*rec709));
    ASSERT_TRUE(fake->deliver("/dev/video0", yuyvFrame(1280, 720, flat({100, 128, 128})), 1.0));
    ASSERT_TRUE(collected.waitForSamples(1));
    EXPECT_EQ(collected.samples()[0].matrix, YCbCrMatrix::BT709);
    EXPECT_FALSE(collected.samples()[0].fullRange);
}

TEST_F(V4L2CameraDeviceTest, DecodesMjpegAsFullRangeAndSkipsADamagedPicture) {
    fake->addDevice("/dev/video0", camera({{V4L2_PIX_FMT_MJPEG, {{640, 480}}}}));
    const std::string jpeg = zqtest::readFile(
        zqtest::mediaMadeWithFfmpeg("red.jpg", "-f lavfi -i color=c=0xFF0000:s=640x480 -frames:v 1"));
    ASSERT_GT(jpeg.size(), 100u);

    auto camera = device();
    camera->setOutputImageOrientation(3);
    std::string error;
    ASSERT_TRUE(camera->open(640, 480, &error)) << error;
    ASSERT_TRUE(start(*camera));
    std::vector<std::uint8_t> garbage(5000, 0x5A);
    garbage[0] = 0xFF;
    garbage[1] = 0xD8;
    ASSERT_TRUE(fake->deliver("/dev/video0", garbage, 1.0));
    ASSERT_TRUE(fake->deliver("/dev/video0", std::vector<std::uint8_t>(jpeg.begin(), jpeg.end()), 1.1));
    ASSERT_TRUE(fake->waitUntilAllQueued("/dev/video0"));
    camera->stop();
    auto samples = collected.samples();
    ASSERT_EQ(samples.size(), 1u); // the damaged one is dropped
    EXPECT_TRUE(samples[0].fullRange);
    EXPECT_EQ(samples[0].matrix, YCbCrMatrix::BT601);
    // Full-range red keeps its full-range luma (76), not the squeezed video-range 81.
    EXPECT_NEAR(lumaAt(*samples[0].pixelBuffer, 320, 240), 76, 2);
    zqtest::RgbPicture rgb(samples[0]);
    EXPECT_TRUE(zqtest::near(rgb.at(320, 240), {255, 0, 0}, 12)) << zqtest::describe(rgb.at(320, 240));
}

TEST_F(V4L2CameraDeviceTest, SetsTheRateOnTheDeviceOrThinsPicturesToIt) {
    FakeCameraModel settable = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    fake->addDevice("/dev/video0", settable);
    auto withRate = device("/dev/video0");
    withRate->setFrameRate(15);
    std::string error;
    ASSERT_TRUE(withRate->open(640, 480, &error)) << error;
    EXPECT_EQ(fake->state("/dev/video0").ratesSet, std::vector<double>{15});
    EXPECT_DOUBLE_EQ(withRate->deviceFrameRate(), 15);
    withRate->setFrameRate(0); // back to the device's own rate
    EXPECT_EQ(fake->state("/dev/video0").ratesSet.back(), 30);
    withRate.reset();

    // A device that keeps its 30 frames a second: every other picture is dropped for 15.
    FakeCameraModel fixed = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    fixed.canSetRate = false;
    fake->addDevice("/dev/video1", fixed);
    auto thinned = device("/dev/video1");
    ASSERT_TRUE(thinned->open(640, 480, &error)) << error;
    thinned->setFrameRate(15);
    ASSERT_TRUE(start(*thinned));
    const auto frame = yuyvFrame(640, 480, flat({90, 128, 128}));
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(fake->deliver("/dev/video1", frame, 10.0 + i / 30.0));
    ASSERT_TRUE(fake->waitUntilAllQueued("/dev/video1"));
    thinned->stop();
    EXPECT_EQ(collected.sampleCount(), 15u);
}

TEST_F(V4L2CameraDeviceTest, TorchAndZoomWhereTheDeviceHasThem) {
    FakeCameraModel withControls = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    withControls.torch = true;
    withControls.zoom = true;
    fake->addDevice("/dev/video0", withControls);
    fake->addDevice("/dev/video1", camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}}));
    std::string error;

    auto controlled = device("/dev/video0");
    ASSERT_TRUE(controlled->open(640, 480, &error)) << error;
    EXPECT_TRUE(controlled->hasTorch());
    EXPECT_FALSE(controlled->torchActive());
    EXPECT_TRUE(controlled->setTorch(true, &error)) << error;
    EXPECT_TRUE(controlled->torchActive());
    EXPECT_EQ(fake->state("/dev/video0").torchMode, V4L2_FLASH_LED_MODE_TORCH);
    EXPECT_TRUE(controlled->setTorch(false, &error));
    EXPECT_FALSE(controlled->torchActive());
    // UVC-style units: 100 is 1x, 500 is 5x.
    EXPECT_TRUE(controlled->setZoomFactor(2.5, &error)) << error;
    EXPECT_EQ(fake->state("/dev/video0").zoomValue, 250);
    EXPECT_FALSE(controlled->setZoomFactor(6, &error));
    EXPECT_EQ(error, "/dev/video0: zoom factor 6 is outside 1 to 5");
    EXPECT_FALSE(controlled->setZoomFactor(0.5, &error));
    EXPECT_EQ(fake->state("/dev/video0").zoomValue, 250);

    auto plain = device("/dev/video1");
    ASSERT_TRUE(plain->open(640, 480, &error)) << error;
    EXPECT_FALSE(plain->hasTorch());
    EXPECT_FALSE(plain->setTorch(true, &error));
    EXPECT_EQ(error, "Torch not available");
    EXPECT_FALSE(plain->setZoomFactor(2, &error));
    EXPECT_EQ(error, "Zoom not available");
}

TEST_F(V4L2CameraDeviceTest, ABusyDeviceFailsToOpenWithTheReason) {
    FakeCameraModel busyOpen = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    busyOpen.openErrno = EBUSY;
    fake->addDevice("/dev/video0", busyOpen);
    FakeCameraModel busyFormat = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    busyFormat.setFormatErrno = EBUSY;
    fake->addDevice("/dev/video1", busyFormat);
    FakeCameraModel busyBuffers = camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}});
    busyBuffers.requestBuffersErrno = EBUSY;
    fake->addDevice("/dev/video2", busyBuffers);
    fake->addDevice("/dev/video3", camera({{v4l2_fourcc('H', '2', '6', '4'), {{640, 480}}}}));

    std::string error;
    EXPECT_FALSE(device("/dev/video0")->open(640, 480, &error));
    EXPECT_EQ(error, "/dev/video0: the camera is busy (used by another program)");
    EXPECT_FALSE(device("/dev/video1")->open(640, 480, &error));
    EXPECT_EQ(error, "/dev/video1: the camera is busy (used by another program)");
    EXPECT_FALSE(device("/dev/video2")->open(640, 480, &error));
    EXPECT_EQ(error, "/dev/video2: the camera is busy (used by another program)");
    EXPECT_FALSE(device("/dev/video3")->open(640, 480, &error));
    EXPECT_NE(error.find("/dev/video3: no usable picture format (offers H264;"), std::string::npos) << error;
    EXPECT_TRUE(fake->allClosed());

    auto notOpen = device("/dev/video1");
    EXPECT_FALSE(notOpen->start(collected.sampleHandler(), collected.lossHandler(), &error));
    EXPECT_EQ(error, "/dev/video1: not open");
    EXPECT_FALSE(notOpen->open(641, 480, &error));
    EXPECT_EQ(error, "/dev/video1: bad picture size 641x480");
}

TEST_F(V4L2CameraDeviceTest, AnUnpluggedDeviceIsReportedOnce) {
    fake->addDevice("/dev/video0", camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}}));
    auto camera = device();
    std::string error;
    ASSERT_TRUE(camera->open(640, 480, &error)) << error;
    ASSERT_TRUE(start(*camera));
    ASSERT_TRUE(fake->deliver("/dev/video0", yuyvFrame(640, 480, flat({90, 128, 128})), 1.0));
    ASSERT_TRUE(collected.waitForSamples(1));

    fake->unplug("/dev/video0");
    ASSERT_TRUE(collected.waitForLoss(kShort));
    fake->unplug("/dev/video0");
    camera->stop(); // joins the capture thread: nothing more can be reported after this
    ASSERT_EQ(collected.losses().size(), 1u);
    EXPECT_NE(collected.losses()[0].find("/dev/video0: the camera is gone (No such device)"), std::string::npos)
        << collected.losses()[0];
    EXPECT_FALSE(camera->isRunning());
    EXPECT_FALSE(camera->start(collected.sampleHandler(), collected.lossHandler(), &error));
    EXPECT_EQ(error, "/dev/video0: the camera was lost; open it again");
    EXPECT_FALSE(camera->open(640, 480, &error)); // still gone
    camera.reset();
    EXPECT_TRUE(fake->allClosed());
    EXPECT_EQ(collected.sampleCount(), 1u);
}

TEST_F(V4L2CameraDeviceTest, StopWakesACaptureWaitingForAPictureAndRestartWorks) {
    fake->addDevice("/dev/video0", camera({{V4L2_PIX_FMT_YUYV, {{640, 480}}}}));
    auto camera = device();
    std::string error;
    ASSERT_TRUE(camera->open(640, 480, &error)) << error;
    ASSERT_TRUE(start(*camera));
    EXPECT_TRUE(camera->isRunning());
    camera->stop(); // the capture thread sits in poll(): the wake-up descriptor ends it
    EXPECT_FALSE(camera->isRunning());
    EXPECT_FALSE(fake->state("/dev/video0").streaming);
    EXPECT_FALSE(fake->deliver("/dev/video0", yuyvFrame(640, 480, flat({90, 128, 128})), 1.0));
    EXPECT_EQ(collected.sampleCount(), 0u);

    // Again, with the same buffers.
    ASSERT_TRUE(start(*camera));
    ASSERT_TRUE(fake->deliver("/dev/video0", yuyvFrame(640, 480, flat({90, 128, 128})), 2.0));
    ASSERT_TRUE(collected.waitForSamples(1));
    EXPECT_FALSE(camera->start(collected.sampleHandler(), collected.lossHandler(), &error));
    EXPECT_EQ(error, "/dev/video0: already capturing");
    camera.reset(); // destruction stops first
    EXPECT_TRUE(fake->allClosed());
}

TEST_F(V4L2CameraDeviceTest, PicturesTheDriverMarksBadOrShortAreDropped) {
    fake->addDevice("/dev/video0", camera({{V4L2_PIX_FMT_NV12, {{640, 480}}}}));
    auto camera = device();
    std::string error;
    ASSERT_TRUE(camera->open(640, 480, &error)) << error;
    ASSERT_TRUE(start(*camera));
    auto full = nv12Frame(640, 480, flat({90, 128, 128}));
    ASSERT_TRUE(fake->deliver("/dev/video0", full, 1.0, /*error=*/true));
    ASSERT_TRUE(fake->deliver("/dev/video0", std::vector<std::uint8_t>(full.begin(), full.begin() + 1000), 1.1));
    ASSERT_TRUE(fake->deliver("/dev/video0", full, 1.2));
    // Each buffer, bad ones included, goes back to the driver.
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(fake->deliver("/dev/video0", full, 2.0 + i));
    ASSERT_TRUE(fake->waitUntilAllQueued("/dev/video0"));
    camera->stop();
    EXPECT_EQ(collected.sampleCount(), 5u);
}

} // namespace
