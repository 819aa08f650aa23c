// zqlive publish through a link far slower than the stream: nginx and the publisher run in a private
// network namespace whose loopback is shaped to 250 kbit/s, and the run must keep its latency
// bounded by dropping video in the kit and lowering the encoder's rate, never by reconnecting, and
// must still stop on time.
#include <gtest/gtest.h>
#include <chrono>
#include <iostream>
#include <nlohmann/json.hpp>
#include <sstream>
#include "tests/support/NetworkNamespace.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/TestMedia.h"
#include "tests/support/TestUtil.h"

namespace {

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty() && line.front() == '{') lines.push_back(nlohmann::json::parse(line));
    return lines;
}

TEST(ZqlivePublishCongestion, A250KbitLinkUnderAn800KbitStreamStaysLiveWithoutReconnecting) {
    ASSERT_TRUE(zqtest::NginxRtmp::available()) << "nginx with the RTMP module is missing: run scripts/setup";
    zqtest::NetworkNamespace ns;
    if (!ns.ok()) GTEST_SKIP() << "skipped: " << ns.error();
    std::string output;
    ASSERT_EQ(ns.run("ip link set lo mtu 1500 && tc qdisc add dev lo root tbf rate 250kbit burst 8kb latency 400ms",
                     &output),
              0)
        << output;
    ASSERT_TRUE(ns.enter()) << ns.error();
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();

    constexpr double kDuration = 30;
    auto started = std::chrono::steady_clock::now();
    std::string out;
    int rc = zqtest::runCommand(zqtest::buildDir() + "/bin/zqlive publish " + nginx.publishUrl("slow") +
                                    " --size 640x360 --fps 30 --bitrate 800 --audio-quality 2 --duration 30"
                                    " --adaptive 2>/dev/null",
                                &out);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    nginx.stop();
    ns.leave();

    ASSERT_EQ(rc, 0) << out;
    // The stop is prompt: the job ends within seconds of its duration, however slow the link.
    EXPECT_LT(elapsed, kDuration + 5) << "zqlive publish took " << elapsed << " s";

    auto events = jsonLines(out);
    std::vector<std::string> states;
    std::vector<std::uint64_t> rates;
    nlohmann::json summary;
    for (auto& e : events) {
        if (e["event"] == "state") states.push_back(e["name"]);
        if (e["event"] == "bitrate") rates.push_back(e["videoBitRate"]);
        if (e["event"] == "summary") summary = e;
    }
    // Slow, not dead: no reconnect.
    EXPECT_EQ(states, (std::vector<std::string>{"ZQLivePending", "ZQLiveStart", "ZQLiveStop"}));
    // The backlog was seen: the encoder's rate went down, and frames were dropped by the buffer.
    ASSERT_FALSE(rates.empty()) << out;
    EXPECT_LT(rates.back(), 800000u);
    ASSERT_TRUE(summary.is_object()) << out;
    EXPECT_GT(summary["framesDropped"].get<long long>(), 0);

    // What reached the ingest: at most 12 s behind the run, audio without gaps, and it decodes.
    std::string recording = nginx.recordingPath("slow");
    auto audio = zqtest::packetTimestamps(recording, "a");
    auto video = zqtest::packetTimestamps(recording, "v");
    ASSERT_GT(audio.size(), 100u);
    ASSERT_GT(video.size(), 10u);
    // Audio is never dropped: its packets cover the recording's time (an AAC frame is 1024 samples).
    double audioSeconds = static_cast<double>(audio.back() - audio.front()) / 1000.0;
    double expectedAudio = audioSeconds * 44100.0 / 1024.0;
    double behind = kDuration - static_cast<double>(audio.back()) / 1000.0;
    std::cout << "congested run: " << elapsed << " s, recording ends " << behind << " s behind, "
              << summary["framesDropped"] << " frames dropped, " << summary["framesUnsent"]
              << " unsent, rate steps:";
    for (auto r : rates) std::cout << " " << r;
    std::cout << std::endl;
    EXPECT_LE(behind, 12.0);
    EXPECT_GE(static_cast<double>(audio.size()), 0.98 * expectedAudio) << "audio was lost";
    // It decodes. (The AAC frames of one encoder call share a timestamp, which ffmpeg's muxer
    // remarks on; that is the encoder's timing, not the link's.)
    std::string errors = zqtest::decodeErrors(recording), decodeFailures;
    std::istringstream lines(errors);
    for (std::string line; std::getline(lines, line);)
        if (line.find("non monotonically increasing dts") == std::string::npos &&
            line.find("Last message repeated") == std::string::npos)
            decodeFailures += line + "\n";
    EXPECT_EQ(decodeFailures, "");
}

} // namespace
