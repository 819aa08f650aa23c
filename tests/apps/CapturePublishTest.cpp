// zqlive publish through the capture path: a clip made with ffmpeg as the camera, the GPU effects on
// the EGL context (llvmpipe without a GPU), a watermark, a real nginx ingest, and ffprobe / ffmpeg to
// check what arrived.
#include <gtest/gtest.h>
#include <algorithm>
#include <array>
#include "tests/apps/ZqliveRun.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/TestMedia.h"

namespace {

// The RGBA pixels of a picture file (or of one frame of a video), decoded by ffmpeg.
struct Pixels {
    int width = 0;
    std::string rgba;
    std::array<int, 3> at(int x, int y) const {
        std::size_t i = (static_cast<std::size_t>(y) * width + x) * 4;
        if (rgba.size() < i + 4) return {-1, -1, -1};
        auto byte = [&](std::size_t k) { return static_cast<int>(static_cast<unsigned char>(rgba[k])); };
        return {byte(i), byte(i + 1), byte(i + 2)};
    }
};

Pixels decodePicture(const std::string& path, int width) {
    Pixels p;
    p.width = width;
    EXPECT_EQ(zqtest::runCommand("ffmpeg -nostdin -v error -i '" + path +
                                     "' -frames:v 1 -f rawvideo -pix_fmt rgba -",
                                 &p.rgba),
              0)
        << path;
    return p;
}

bool red(std::array<int, 3> c) { return c[0] > 200 && c[1] < 60 && c[2] < 60; }

TEST(ZqliveCapturePublish, AClipThroughTheEffectsReachesTheIngestAndOnlyThePreviewShowsTheWatermark) {
    ASSERT_TRUE(zqtest::NginxRtmp::available()) << "nginx with the RTMP module is missing: run scripts/setup";
    zqtest::TempDir dir;
    std::string clip = dir.file("clip.mp4"), mark = dir.file("mark.png"), preview = dir.file("preview.png");
    // A portrait clip (the camera shows it upright; it loops) and an opaque red square as the watermark.
    ASSERT_EQ(zqtest::runCommand("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=360x640:rate=15 -t 1 "
                                 "-pix_fmt yuv420p -c:v libx264 -preset ultrafast '" + clip + "'"),
              0);
    ASSERT_EQ(zqtest::runCommand("ffmpeg -nostdin -v error -f lavfi -i color=c=red:size=64x64 -frames:v 1 '" + mark +
                                 "'"),
              0);

    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    auto run = zqtest::runZqlive("publish " + nginx.publishUrl("capture") + " --video file:" + clip +
                                 " --beauty on --watermark " + mark + ",20,40,100,100,1 --preview-png " + preview +
                                 " --size 360x640 --fps 15 --bitrate 600 --duration 3");
    ASSERT_EQ(run.status, 0) << run.errors;
    auto input = run.event("videoInput");
    ASSERT_FALSE(input.is_null()) << run.errors;
    EXPECT_EQ(input["source"], "file:" + clip);
    auto capture = run.event("capture");
    ASSERT_FALSE(capture.is_null()) << run.errors;
    // Not tied to the machine's speed: the drawing drops camera frames when it falls behind, so only
    // the upper bound of the rate is exact.
    EXPECT_GT(capture["framesDelivered"].get<long long>(), 0) << capture.dump();
    EXPECT_LE(capture["framesDelivered"].get<long long>(), capture["framesCaptured"].get<long long>());
    nginx.stop();

    std::string recording = nginx.recordingPath("capture");
    auto info = zqtest::probeMedia(recording);
    ASSERT_FALSE(info.is_null()) << recording;
    nlohmann::json video;
    for (auto& s : info["streams"])
        if (s["codec_type"] == "video") video = s;
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 360);
    EXPECT_EQ(video["height"], 640);
    auto times = zqtest::packetTimestamps(recording, "v");
    ASSERT_GE(times.size(), 2u);
    EXPECT_LE(times.size(), 15u * 4) << "at most 15 frames a second";
    // Pictures are stamped as they reach the encoder, so single intervals carry the drawing's jitter;
    // on average they come no faster than the camera's 15 a second.
    double span = static_cast<double>(times.back() - times.front()) / 1000;
    EXPECT_LE(static_cast<double>(times.size() - 1) / span, 15 * 1.1) << times.size() << " pictures in " << span << " s";
    EXPECT_EQ(zqtest::decodeErrors(recording), "") << "the recording decodes cleanly";

    // The encoded pictures never carry the watermark; the clip's own picture is there instead.
    // testsrc2's colour bars, upright and unmirrored: the middle three quarters of the clip's width
    // (the 640x480 camera picture is cropped to 9:16), green then yellow then blue from the left.
    auto frame = decodePicture(recording, 360);
    ASSERT_EQ(frame.rgba.size(), 360u * 640 * 4);
    EXPECT_FALSE(red(frame.at(70, 90))) << "no watermark in the stream";
    // (The moving diagonal and the checkerboard cross the bars: most of each column is enough.)
    auto mostly = [&](int x, auto colour) {
        int hits = 0;
        for (int y = 0; y < 640; ++y) hits += colour(frame.at(x, y)) ? 1 : 0;
        return hits > 640 * 3 / 5;
    };
    EXPECT_TRUE(mostly(60, [](auto c) { return c[1] > 180 && c[0] < 80 && c[2] < 80; })) << "green";
    EXPECT_TRUE(mostly(140, [](auto c) { return c[0] > 180 && c[1] > 180 && c[2] < 80; })) << "yellow";
    EXPECT_TRUE(mostly(220, [](auto c) { return c[2] > 180 && c[0] < 80 && c[1] < 80; })) << "blue";

    // The preview as the screen shows it: mirrored for the front camera, so the watermark at
    // x 20 ... 120 of the picture appears at x 240 ... 340.
    auto shown = decodePicture(preview, 360);
    EXPECT_TRUE(red(shown.at(290, 90))) << shown.at(290, 90)[0] << "," << shown.at(290, 90)[1];
    EXPECT_FALSE(red(shown.at(70, 90))) << "the watermark is not where the mirror moved it from";
    EXPECT_FALSE(red(shown.at(180, 500))) << "not red all over";
}

TEST(ZqliveCapturePublish, ACameraThatIsNotThereFailsWithAReason) {
    auto run = zqtest::runZqlive("publish rtmp://127.0.0.1:1/live/x --video camera:/dev/video-none --duration 1");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.errors.rfind("zqlive publish: front camera: /dev/video-none: ", 0), 0u)
        << run.errors;
    EXPECT_EQ(std::count(run.errors.begin(), run.errors.end(), '\n'), 1) << "one line: " << run.errors;
}

TEST(ZqliveCapturePublish, WithoutEGLTheRunFailsWithAReasonBeforePublishing) {
    auto run = zqtest::runZqlive("publish rtmp://127.0.0.1:1/live/x --video pattern --duration 2",
                                 "ZQLIVEKIT_EGL_LIBRARY=/nonexistent/libEGL.so.1");
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.errors.find("zqlive publish: video capture cannot start: no OpenGL ES context"), std::string::npos)
        << run.errors;
    EXPECT_TRUE(run.event("state").is_null()) << "nothing was published";
    EXPECT_FALSE(run.event("captureFailed").is_null());
}

TEST(ZqliveCapturePublish, EffectsNeedACameraSourceAndMalformedOptionsAreRefused) {
    struct Case {
        const char* options;
        const char* reason;
    };
    for (Case c : {Case{"--beauty on", "the camera and effect options need a camera source"},
                   Case{"--video pattern --front --back", "--front and --back exclude each other"},
                   Case{"--video pattern --front-source file:a.mp4", "--video already names the source of the front"},
                   Case{"--video pattern --watermark m.png,1,2,0,4", "--watermark must be PNG or PNG,x,y,w,h"},
                   Case{"--video pattern --beauty maybe", "--beauty must be on or off"},
                   Case{"--video webcam", "--video: "}}) {
        auto run = zqtest::runZqlive(std::string("publish rtmp://127.0.0.1:1/live/x ") + c.options);
        EXPECT_NE(run.status, 0) << c.options;
        EXPECT_NE(run.errors.find(c.reason), std::string::npos) << c.options << ": " << run.errors;
    }
}

} // namespace
