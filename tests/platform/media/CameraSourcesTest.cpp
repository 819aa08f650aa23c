// The pattern and video-file cameras (on an instant pacer clock) and the source registry.
#include <gtest/gtest.h>
#include <filesystem>
#include <fstream>
#include "ZQLiveKit/CameraRegistry.h"
#include "platform/media/FileCameraDevice.h"
#include "platform/media/PatternCameraDevice.h"
#include "tests/platform/media/CameraTestSupport.h"
#include "tests/platform/media/MediaTestSupport.h"
#include "tests/support/TestUtil.h"

using namespace platform;
using zqtest::InstantClock;
using zqtest::lumaAt;
using zqtest::mostly;
using zqtest::near;
using zqtest::RgbPicture;
using zqtest::SampleCollector;

namespace {

constexpr int kRed = 0, kGreen = 1, kBlue = 2; // channels of the test clips' flat colours
constexpr std::pair<int, int> kPresets[] = {{640, 480}, {960, 540}, {1280, 720}};

// Runs a device until `count` samples came, then stops it.
std::vector<CameraSample> capture(CameraDevice& device, std::size_t count, SampleCollector& collected) {
    std::string error;
    EXPECT_TRUE(device.start(collected.sampleHandler(), collected.lossHandler(), &error)) << error;
    EXPECT_TRUE(collected.waitForSamples(count));
    device.stop();
    auto samples = collected.samples();
    if (samples.size() > count) samples.resize(count);
    return samples;
}

std::vector<CameraSample> capture(CameraDevice& device, std::size_t count) {
    SampleCollector collected;
    return capture(device, count, collected);
}

std::array<int, 3> rgbAt(const CameraSample& sample, int x, int y) { return RgbPicture(sample).at(x, y); }

// ---- The pattern ----

TEST(PatternCameraTest, DeliversNv12AtEachPresetSizeAsDeclared) {
    for (auto [width, height] : kPresets) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        PatternCameraDevice camera(CameraPosition::Front, std::make_shared<InstantClock>());
        std::string error;
        ASSERT_TRUE(camera.open(width, height, &error)) << error;
        EXPECT_FALSE(camera.offersFullRange());
        auto samples = capture(camera, 2);
        ASSERT_EQ(samples.size(), 2u);
        for (const auto& sample : samples) {
            EXPECT_EQ(sample.pixelBuffer->width(), width);
            EXPECT_EQ(sample.pixelBuffer->height(), height);
            EXPECT_EQ(sample.pixelBuffer->format(), PixelFormat::NV12);
            EXPECT_FALSE(sample.fullRange);
            EXPECT_EQ(sample.matrix, YCbCrMatrix::BT601);
        }
    }
    PatternCameraDevice camera(CameraPosition::Back);
    std::string error;
    EXPECT_FALSE(camera.open(641, 480, &error));
    EXPECT_EQ(error, "pattern (back): bad picture size 641x480");
    EXPECT_FALSE(camera.start({}, {}, &error));
    EXPECT_EQ(error, "pattern (back): not open");
}

TEST(PatternCameraTest, FrontAndBackDifferAndTurnWithTheOrientation) {
    auto bandColour = [](CameraPosition position, std::int64_t orientation, int x, int y) {
        PatternCameraDevice camera(position, std::make_shared<InstantClock>());
        camera.setOutputImageOrientation(orientation);
        std::string error;
        EXPECT_TRUE(camera.open(1280, 720, &error)) << error;
        auto samples = capture(camera, 1);
        return samples.empty() ? std::array<int, 3>{} : rgbAt(samples[0], x, y);
    };
    const std::array<int, 3> front{PatternCameraDevice::kFrontBand.r, PatternCameraDevice::kFrontBand.g,
                                   PatternCameraDevice::kFrontBand.b};
    const std::array<int, 3> back{PatternCameraDevice::kBackBand.r, PatternCameraDevice::kBackBand.g,
                                  PatternCameraDevice::kBackBand.b};
    // Portrait: the upright 720x1280 scene turned left; its band (rows 960-1151) lies in columns 960-1151.
    auto c = bandColour(CameraPosition::Front, 1, 1050, 10);
    EXPECT_TRUE(near(c, front)) << zqtest::describe(c);
    c = bandColour(CameraPosition::Back, 1, 1050, 10);
    EXPECT_TRUE(near(c, back)) << zqtest::describe(c);
    // Landscape right: the back camera's scene is upright (band in rows 540-647) ...
    c = bandColour(CameraPosition::Back, 3, 10, 600);
    EXPECT_TRUE(near(c, back)) << zqtest::describe(c);
    // ... and the front camera's upside down (rows 72-179).
    c = bandColour(CameraPosition::Front, 3, 10, 120);
    EXPECT_TRUE(near(c, front)) << zqtest::describe(c);
}

TEST(PatternCameraTest, PacesAtTheAskedRateOrItsOwn) {
    auto clock = std::make_shared<InstantClock>();
    PatternCameraDevice camera(CameraPosition::Front, clock);
    std::string error;
    ASSERT_TRUE(camera.open(640, 480, &error)) << error;
    std::vector<double> times;
    std::mutex mutex;
    std::condition_variable enough;
    auto onSample = [&](const CameraSample&) {
        std::lock_guard lock(mutex);
        times.push_back(clock->now());
        if (times.size() == 4) camera.setFrameRate(10); // from the next tick on
        enough.notify_all();
    };
    ASSERT_TRUE(camera.start(onSample, {}, &error)) << error;
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(enough.wait_for(lock, std::chrono::seconds(20), [&] { return times.size() >= 8; }));
    }
    camera.stop();
    std::lock_guard lock(mutex);
    EXPECT_NEAR(times[1] - times[0], 1.0 / 30, 1e-9); // its own 30 a second
    EXPECT_NEAR(times[3] - times[2], 1.0 / 30, 1e-9);
    EXPECT_NEAR(times[5] - times[4], 0.1, 1e-9);
    EXPECT_NEAR(times[7] - times[6], 0.1, 1e-9);
}

// ---- Video files ----

class FileCameraTest : public ::testing::Test {
protected:
    // The clips, made once for all test processes.
    static std::string file(const std::string& name) {
        const std::string x264 = " -c:v libx264 -preset ultrafast -pix_fmt yuv420p";
        auto clip = [&](const std::string& graph, const std::string& options = "") {
            return "-f lavfi -i \"" + graph + "\" " + options + x264;
        };
        std::string arguments;
        if (name == "portrait.mp4") // a portrait phone recording: the top quarter red, the rest blue
            arguments = clip("color=c=0x0000FF:s=540x960:r=10:d=1,drawbox=x=0:y=0:w=540:h=240:color=0xFF0000:t=fill");
        else if (name == "landscape.mp4") // landscape HD: the left quarter green
            arguments = clip("color=c=0x0000FF:s=1280x720:r=10:d=1,drawbox=x=0:y=0:w=320:h=720:color=0x00FF00:t=fill");
        else if (name == "stored.mp4") // landscape, the left quarter green
            arguments = clip("color=c=0x0000FF:s=960x540:r=10:d=1,drawbox=x=0:y=0:w=240:h=540:color=0x00FF00:t=fill");
        else if (name == "sideways.mp4") // the same with a display matrix that turns it left (set when remuxing)
            arguments = "-i '" + file("stored.mp4") + "' -c copy -metadata:s:v:0 rotate=90";
        else if (name == "counter.mkv") // ten flat greys, luma 20, 40 ... 200, lossless: each says its number
            arguments = clip("color=c=black:s=320x240:r=10:d=1,geq=lum='20+20*N':cb=128:cr=128", "-qp 0");
        else if (name == "tagged.mp4") // tagged full range BT.709
            arguments = clip("color=c=0xFF0000:s=320x240:r=10:d=0.5", "-color_range pc -colorspace bt709");
        else if (name == "noise.mkv") // large enough that the reader's buffer does not hold all of it
            arguments = clip("testsrc2=s=320x240:r=10:d=2", "-qp 0");
        std::string path = zqtest::mediaMadeWithFfmpeg(name, arguments);
        EXPECT_FALSE(path.empty()) << "ffmpeg could not make " << name;
        return path;
    }

    // The first sample of `name` at width x height, shown in `orientation` by the back camera.
    static CameraSample firstPicture(const std::string& name, int width, int height, std::int64_t orientation = 1) {
        FileCameraDevice camera(file(name), CameraPosition::Back, std::make_shared<InstantClock>());
        camera.setOutputImageOrientation(orientation);
        std::string error;
        EXPECT_TRUE(camera.open(width, height, &error)) << error;
        auto samples = capture(camera, 1);
        return samples.empty() ? CameraSample{} : samples[0];
    }

    // Luma at the centre of each of the first `count` samples.
    static std::vector<int> centreLumas(FileCameraDevice& camera, std::size_t count) {
        std::vector<int> lumas;
        for (const auto& sample : capture(camera, count))
            lumas.push_back(lumaAt(*sample.pixelBuffer, sample.pixelBuffer->width() / 2,
                                   sample.pixelBuffer->height() / 2));
        return lumas;
    }

    zqtest::TempDir dir;
};

TEST_F(FileCameraTest, APortraitFileFillsThePortraitPictureTurnedLikeASensor) {
    for (auto [width, height] : kPresets) {
        SCOPED_TRACE(std::to_string(width) + "x" + std::to_string(height));
        auto sample = firstPicture("portrait.mp4", width, height);
        ASSERT_TRUE(sample.pixelBuffer);
        EXPECT_EQ(sample.pixelBuffer->width(), width);
        EXPECT_EQ(sample.pixelBuffer->height(), height);
        // The file's top (red) is at the picture's left edge; the rest is blue.
        EXPECT_TRUE(mostly(rgbAt(sample, width / 20, height / 2), kRed))
            << zqtest::describe(rgbAt(sample, width / 20, height / 2));
        EXPECT_TRUE(mostly(rgbAt(sample, width / 2, height / 2), kBlue));
        EXPECT_TRUE(mostly(rgbAt(sample, width - 5, height / 2), kBlue));
    }
    // SD and untagged: video range BT.601.
    auto sample = firstPicture("portrait.mp4", 640, 480);
    EXPECT_FALSE(sample.fullRange);
    EXPECT_EQ(sample.matrix, YCbCrMatrix::BT601);

    // Shown in landscape the portrait file is centre-cropped: the red top is cut off.
    sample = firstPicture("portrait.mp4", 1280, 720, 3);
    EXPECT_TRUE(mostly(rgbAt(sample, 640, 5), kBlue)) << zqtest::describe(rgbAt(sample, 640, 5));
}

TEST_F(FileCameraTest, ALandscapeFileIsUprightInLandscapeAndCroppedToTheMiddleForPortrait) {
    auto sample = firstPicture("landscape.mp4", 1280, 720, 3);
    EXPECT_TRUE(mostly(rgbAt(sample, 100, 360), kGreen)) << zqtest::describe(rgbAt(sample, 100, 360));
    EXPECT_TRUE(mostly(rgbAt(sample, 700, 360), kBlue));
    EXPECT_EQ(sample.matrix, YCbCrMatrix::BT709); // untagged HD
    // 4:3 keeps the middle 960 columns: the green quarter shrinks to the left sixth.
    sample = firstPicture("landscape.mp4", 640, 480, 3);
    EXPECT_TRUE(mostly(rgbAt(sample, 40, 240), kGreen)) << zqtest::describe(rgbAt(sample, 40, 240));
    EXPECT_TRUE(mostly(rgbAt(sample, 150, 240), kBlue)) << zqtest::describe(rgbAt(sample, 150, 240));
    // Portrait keeps the middle 9:16 of it: no green at all.
    sample = firstPicture("landscape.mp4", 1280, 720, 1);
    EXPECT_TRUE(mostly(rgbAt(sample, 10, 360), kBlue)) << zqtest::describe(rgbAt(sample, 10, 360));
    EXPECT_TRUE(mostly(rgbAt(sample, 1270, 360), kBlue));
}

TEST_F(FileCameraTest, TheDisplayMatrixTurnsASidewaysRecordingUpright) {
    // Upright, sideways.mp4 is portrait with the green quarter at the bottom; held in portrait the
    // bottom lies along the picture's right edge.
    auto sample = firstPicture("sideways.mp4", 1280, 720);
    EXPECT_TRUE(mostly(rgbAt(sample, 1260, 360), kGreen)) << zqtest::describe(rgbAt(sample, 1260, 360));
    EXPECT_TRUE(mostly(rgbAt(sample, 20, 360), kBlue)) << zqtest::describe(rgbAt(sample, 20, 360));
}

TEST_F(FileCameraTest, ColourTagsDecideRangeAndMatrix) {
    FileCameraDevice camera(file("tagged.mp4"), CameraPosition::Front, std::make_shared<InstantClock>());
    std::string error;
    ASSERT_TRUE(camera.open(640, 480, &error)) << error;
    EXPECT_TRUE(camera.offersFullRange());
    auto samples = capture(camera, 1);
    ASSERT_EQ(samples.size(), 1u);
    EXPECT_TRUE(samples[0].fullRange);
    EXPECT_EQ(samples[0].matrix, YCbCrMatrix::BT709);
    EXPECT_TRUE(mostly(rgbAt(samples[0], 320, 240), kRed)) << zqtest::describe(rgbAt(samples[0], 320, 240));
}

TEST_F(FileCameraTest, PlaysInRealTimeAndLoops) {
    // At its own 10 frames a second: every picture once, then again from the start.
    FileCameraDevice own(file("counter.mkv"), CameraPosition::Back, std::make_shared<InstantClock>());
    std::string error;
    ASSERT_TRUE(own.open(640, 480, &error)) << error;
    EXPECT_EQ(centreLumas(own, 13), (std::vector<int>{20, 40, 60, 80, 100, 120, 140, 160, 180, 200, 20, 40, 60}));

    // At 5 a second the file still plays at its speed: every other picture.
    FileCameraDevice slow(file("counter.mkv"), CameraPosition::Back, std::make_shared<InstantClock>());
    slow.setFrameRate(5);
    ASSERT_TRUE(slow.open(640, 480, &error)) << error;
    EXPECT_EQ(centreLumas(slow, 7), (std::vector<int>{20, 60, 100, 140, 180, 20, 60}));

    // At 20 a second each picture shows twice.
    FileCameraDevice fast(file("counter.mkv"), CameraPosition::Back, std::make_shared<InstantClock>());
    fast.setFrameRate(20);
    ASSERT_TRUE(fast.open(640, 480, &error)) << error;
    EXPECT_EQ(centreLumas(fast, 6), (std::vector<int>{20, 20, 40, 40, 60, 60}));

}

TEST_F(FileCameraTest, ARestartGoesOnFromThePictureOnShow) {
    FileCameraDevice camera(file("counter.mkv"), CameraPosition::Back, std::make_shared<InstantClock>());
    std::string error;
    ASSERT_TRUE(camera.open(640, 480, &error)) << error;
    SampleCollector first;
    ASSERT_TRUE(camera.start(first.sampleHandler(), first.lossHandler(), &error)) << error;
    ASSERT_TRUE(first.waitForSamples(4));
    camera.stop();
    const auto samples = first.samples();
    const int shown = lumaAt(*samples.back().pixelBuffer, 320, 240);
    EXPECT_EQ(centreLumas(camera, 2), (std::vector<int>{shown, shown == 200 ? 20 : shown + 20}));
}

TEST_F(FileCameraTest, MissingOrCorruptFilesFailToOpenWithTheReason) {
    std::string error;
    FileCameraDevice missing(dir.file("nothing-here.mp4"), CameraPosition::Back);
    EXPECT_FALSE(missing.open(640, 480, &error));
    EXPECT_EQ(error, dir.file("nothing-here.mp4") + ": No such file or directory");

    {
        std::ofstream out(dir.file("rubbish.mp4"), std::ios::binary);
        for (int i = 0; i < 20000; ++i) out.put(static_cast<char>((i * 7919) % 251));
    }
    FileCameraDevice rubbish(dir.file("rubbish.mp4"), CameraPosition::Back);
    EXPECT_FALSE(rubbish.open(640, 480, &error));
    EXPECT_EQ(error.rfind(dir.file("rubbish.mp4") + ": ", 0), 0u) << error;

    // The first tenth of a real file: the header promises pictures that are not there.
    const std::string whole = zqtest::readFile(file("portrait.mp4"));
    {
        std::ofstream out(dir.file("cut.mp4"), std::ios::binary);
        out.write(whole.data(), static_cast<std::streamsize>(whole.size() / 10));
    }
    FileCameraDevice cut(dir.file("cut.mp4"), CameraPosition::Back);
    EXPECT_FALSE(cut.open(640, 480, &error));
    EXPECT_EQ(error.rfind(dir.file("cut.mp4") + ": ", 0), 0u) << error;

    FileCameraDevice folder(dir.path(), CameraPosition::Back);
    EXPECT_FALSE(folder.open(640, 480, &error));
    EXPECT_EQ(error, dir.path() + ": not a regular file");
}

TEST_F(FileCameraTest, AFileEmptiedMidRunIsReportedOnce) {
    const std::string path = dir.file("emptied.mkv");
    std::filesystem::copy_file(file("noise.mkv"), path);
    FileCameraDevice camera(path, CameraPosition::Back, std::make_shared<InstantClock>());
    std::string error;
    ASSERT_TRUE(camera.open(640, 480, &error)) << error;
    SampleCollector collected;
    ASSERT_TRUE(camera.start(collected.sampleHandler(), collected.lossHandler(), &error)) << error;
    ASSERT_TRUE(collected.waitForSamples(3));
    std::filesystem::resize_file(path, 0);
    ASSERT_TRUE(collected.waitForLoss());
    camera.stop();
    ASSERT_EQ(collected.losses().size(), 1u);
    EXPECT_EQ(collected.losses()[0].rfind(path + ": ", 0), 0u) << collected.losses()[0];
    EXPECT_FALSE(camera.isRunning());
    const auto delivered = collected.sampleCount();
    EXPECT_FALSE(camera.start(collected.sampleHandler(), collected.lossHandler(), &error));
    EXPECT_EQ(error, path + ": the source was lost; open it again");
    EXPECT_EQ(collected.sampleCount(), delivered);
}

// ---- The registry ----

TEST(CameraRegistryTest, DefaultsToThePatternAtBothPositions) {
    CameraRegistry registry;
    EXPECT_EQ(registry.source(CameraPosition::Front).description(), "pattern");
    EXPECT_EQ(registry.source(CameraPosition::Back).description(), "pattern");
    EXPECT_TRUE(registry.hasSource(CameraPosition::Back));

    std::string error;
    auto front = makeCameraDevice(registry.source(CameraPosition::Front), CameraPosition::Front, &error);
    ASSERT_TRUE(front);
    EXPECT_EQ(front->name(), "pattern (front)");
    EXPECT_TRUE(registry.probe(CameraPosition::Front, &error)) << error;
}

TEST(CameraRegistryTest, ParsesEachFormAndRefusesMalformedOnes) {
    CameraRegistry registry;
    std::string error;
    ASSERT_TRUE(registry.setSource(CameraPosition::Back, "camera:/dev/video2", &error)) << error;
    EXPECT_EQ(registry.source(CameraPosition::Back), (CameraSource{CameraSource::Kind::Camera, "/dev/video2"}));
    ASSERT_TRUE(registry.setSource(CameraPosition::Front, "file:clips/face one.mp4", &error));
    EXPECT_EQ(registry.source(CameraPosition::Front), (CameraSource{CameraSource::Kind::File, "clips/face one.mp4"}));
    EXPECT_EQ(registry.source(CameraPosition::Front).description(), "file:clips/face one.mp4");
    ASSERT_TRUE(registry.setSource(CameraPosition::Front, "camera", &error));
    EXPECT_EQ(registry.source(CameraPosition::Front).description(), "camera");

    const std::pair<const char*, const char*> bad[] = {
        {"", "back unknown camera source '' (use pattern, camera, camera:/dev/videoN, file:PATH or none)"},
        {"webcam", "back unknown camera source 'webcam' (use pattern, camera, camera:/dev/videoN, file:PATH or none)"},
        {"camera:", "back camera source 'camera:' must name a device by its absolute path, e.g. camera:/dev/video0"},
        {"camera:video0",
         "back camera source 'camera:video0' must name a device by its absolute path, e.g. camera:/dev/video0"},
        {"file:", "back camera source 'file:' names no file, e.g. file:clip.mp4"},
        {"file:a\nb", "back camera source has control characters"},
    };
    for (auto [text, reason] : bad) {
        EXPECT_FALSE(registry.setSource(CameraPosition::Back, text, &error)) << text;
        EXPECT_EQ(error, reason);
    }
    EXPECT_EQ(registry.source(CameraPosition::Back).description(), "camera:/dev/video2"); // unchanged

    registry.reset();
    EXPECT_EQ(registry.source(CameraPosition::Front), CameraRegistry::defaultSource(CameraPosition::Front));
    EXPECT_EQ(registry.source(CameraPosition::Back).description(), "pattern");
}

TEST(CameraRegistryTest, APositionWithoutASourceIsAClearError) {
    CameraRegistry registry;
    std::string error;
    ASSERT_TRUE(registry.setSource(CameraPosition::Back, "none", &error));
    EXPECT_FALSE(registry.hasSource(CameraPosition::Back));
    EXPECT_FALSE(makeCameraDevice(registry.source(CameraPosition::Back), CameraPosition::Back, &error));
    EXPECT_EQ(error, "no camera source for the back position");
    EXPECT_FALSE(registry.probe(CameraPosition::Back, &error));
    EXPECT_EQ(error, "no camera source for the back position");
}

TEST(CameraRegistryTest, ProbeSaysWhyASourceDoesNotOpen) {
    CameraRegistry registry;
    std::string error;
    ASSERT_TRUE(registry.setSource(CameraPosition::Front, "file:/nonexistent/clip.mp4", &error));
    EXPECT_FALSE(registry.probe(CameraPosition::Front, &error));
    EXPECT_EQ(error, "front camera: /nonexistent/clip.mp4: No such file or directory");
    ASSERT_TRUE(registry.setSource(CameraPosition::Back, "camera:/nonexistent/video9", &error));
    EXPECT_FALSE(registry.probe(CameraPosition::Back, &error));
    EXPECT_EQ(error, "back camera: /nonexistent/video9: no such camera (No such file or directory)");
    auto device = makeCameraDevice(registry.source(CameraPosition::Back), CameraPosition::Back, &error);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->name(), "/nonexistent/video9");
}

TEST(CameraRegistryTest, TheSharedRegistryFeedsTheFactory) {
    std::string error;
    ASSERT_TRUE(CameraRegistry::shared().setSource(CameraPosition::Front, "none", &error));
    EXPECT_FALSE(makeCameraDevice(CameraPosition::Front, &error));
    EXPECT_EQ(error, "no camera source for the front position");
    CameraRegistry::shared().reset();
    auto device = makeCameraDevice(CameraPosition::Front, &error);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->name(), "pattern (front)");
}

} // namespace
