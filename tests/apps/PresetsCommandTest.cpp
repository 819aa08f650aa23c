// zqlive presets prints every audio preset and every video preset in portrait and landscape.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include "tests/support/TestUtil.h"

namespace {

std::vector<nlohmann::json> runPresets(int* status) {
    std::string output;
    *status = zqtest::runCommand(zqtest::buildDir() + "/bin/zqlive presets", &output);
    std::vector<nlohmann::json> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(ZqlivePresets, PrintsFourAudioAndEighteenVideoLines) {
    int status = -1;
    auto lines = runPresets(&status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(lines.size(), 22u);
    for (std::size_t i = 0; i < 4; ++i) {
        EXPECT_EQ(lines[i]["kind"], "audio");
        EXPECT_EQ(lines[i]["quality"], i);
        EXPECT_EQ(lines[i]["numberOfChannels"], 2);
        EXPECT_EQ(lines[i]["bufferLength"], 4096);
    }
    EXPECT_EQ(lines[0]["audioSampleRate"], 16000);
    EXPECT_EQ(lines[0]["asc"], "1410");
    EXPECT_EQ(lines[2]["asc"], "1210");
    EXPECT_EQ(lines[2]["audioBitrate"], 128000);
    EXPECT_EQ(lines[3]["asc"], "1190");

    for (std::size_t i = 4; i < lines.size(); ++i) {
        SCOPED_TRACE(lines[i].dump());
        EXPECT_EQ(lines[i]["kind"], "video");
        EXPECT_EQ(lines[i]["quality"], (i - 4) / 2);
        EXPECT_EQ(lines[i]["orientation"], i % 2 ? 3 : 1);
        EXPECT_EQ(lines[i]["landscape"], i % 2 == 1);
        EXPECT_EQ(lines[i]["autorotate"], false);
        EXPECT_EQ(lines[i]["videoMaxKeyframeInterval"], 2 * lines[i]["videoFrameRate"].get<int>());
    }
    auto q7landscape = lines[4 + 7 * 2 + 1];
    EXPECT_EQ(q7landscape["videoSize"], nlohmann::json::array({1282, 722}));
    EXPECT_EQ(q7landscape["avSessionPreset"], "AVCaptureSessionPreset1280x720");
    EXPECT_EQ(q7landscape["sessionPreset"], 2);
    EXPECT_EQ(q7landscape["videoBitRate"], 1200000);
    EXPECT_EQ(q7landscape["videoMinBitRate"], 800000);
    auto q0portrait = lines[4];
    EXPECT_EQ(q0portrait["videoSize"], nlohmann::json::array({360, 640}));
    EXPECT_EQ(q0portrait["videoMaxFrameRate"], 0);
    EXPECT_EQ(q0portrait["videoMinFrameRate"], 10);
    EXPECT_EQ(q0portrait["avSessionPreset"], "AVCaptureSessionPreset640x480");
}

TEST(ZqlivePresets, RefusesUnknownArguments) {
    std::string output;
    EXPECT_EQ(zqtest::runCommand(zqtest::buildDir() + "/bin/zqlive presets --bogus 2>/dev/null", &output), 2);
    EXPECT_TRUE(output.empty());
}

} // namespace
