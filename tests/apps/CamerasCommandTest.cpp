// zqlive cameras: the camera sources set on the command line, and whether each opens.
#include <gtest/gtest.h>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <sstream>
#include "tests/apps/ZqliveRun.h"

namespace {

zqtest::ZqliveRun zqlive(const std::string& arguments) { return zqtest::runZqlive(arguments); }

TEST(ZqliveCameras, ShowsTheDefaultPatternsOpening) {
    auto run = zqlive("cameras");
    ASSERT_EQ(run.status, 0) << run.errors;
    ASSERT_EQ(run.events.size(), 2u);
    EXPECT_EQ(run.events[0], (nlohmann::json{{"event", "camera"}, {"position", "front"}, {"source", "pattern"},
                                             {"opens", true}}));
    EXPECT_EQ(run.events[1]["position"], "back");
    EXPECT_EQ(run.events[1]["source"], "pattern");
    EXPECT_TRUE(run.errors.empty());
}

TEST(ZqliveCameras, ASourceThatDoesNotOpenFailsWithOneLine) {
    auto run = zqlive("cameras --back-source camera:/nonexistent/video9 --front-source file:/nonexistent/a.mp4");
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(run.events.size(), 2u);
    EXPECT_EQ(run.events[0]["opens"], false);
    EXPECT_EQ(run.events[0]["reason"], "front camera: /nonexistent/a.mp4: No such file or directory");
    EXPECT_EQ(run.events[1]["source"], "camera:/nonexistent/video9");
    EXPECT_EQ(run.events[1]["reason"],
              "back camera: /nonexistent/video9: no such camera (No such file or directory)");
    EXPECT_EQ(run.errors, "zqlive cameras: front camera: /nonexistent/a.mp4: No such file or directory\n");

    // Without any V4L2 device (as on CI) "camera" says so rather than falling back.
    bool anyVideoNode = false;
    for (const auto& entry : std::filesystem::directory_iterator("/dev"))
        anyVideoNode |= entry.path().filename().string().rfind("video", 0) == 0;
    if (!anyVideoNode) {
        run = zqlive("cameras --position back --back-source camera");
        EXPECT_EQ(run.status, 1);
        EXPECT_EQ(run.errors, "zqlive cameras: back camera: camera: no V4L2 video capture device found\n");
    }
}

TEST(ZqliveCameras, MalformedSourcesAreUsageErrors) {
    auto run = zqlive("cameras --front-source webcam");
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(run.events.empty());
    EXPECT_EQ(run.errors, "zqlive cameras: --front-source: front unknown camera source 'webcam' (use pattern, "
                          "camera, camera:/dev/videoN, file:PATH or none)\n");
    // publish takes the same options and refuses before it connects anywhere.
    run = zqlive("publish rtmp://127.0.0.1:1/live/x --back-source file:");
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.errors,
              "zqlive publish: --back-source: back camera source 'file:' names no file, e.g. file:clip.mp4\n");
}

} // namespace
