// zqlive publish end to end: a real nginx ingest, the real encoders and publisher, and ffprobe /
// ffmpeg to check what arrived.
#include <gtest/gtest.h>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <numbers>
#include <sstream>
#include "tests/platform/media/AudioTestSupport.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/TestCertificates.h"
#include "tests/support/TestMedia.h"
#include "tests/support/TestUtil.h"

namespace {

std::string zqlive() { return zqtest::buildDir() + "/bin/zqlive"; }

std::vector<nlohmann::json> jsonLines(const std::string& text) {
    std::vector<nlohmann::json> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (!line.empty()) lines.push_back(nlohmann::json::parse(line));
    return lines;
}

std::vector<std::string> stateNames(const std::vector<nlohmann::json>& events) {
    std::vector<std::string> names;
    for (auto& e : events)
        if (e["event"] == "state") names.push_back(e["name"]);
    return names;
}

// A file's audio as mono 16-bit PCM at `rate`, decoded by ffmpeg.
std::vector<std::int16_t> decodeMono(const std::string& path, int rate) {
    std::string raw;
    zqtest::runCommand("ffmpeg -nostdin -v error -i '" + path + "' -vn -ac 1 -ar " + std::to_string(rate) +
                           " -f s16le -",
                       &raw);
    std::vector<std::int16_t> samples(raw.size() / 2);
    std::memcpy(samples.data(), raw.data(), samples.size() * 2);
    return samples;
}

// Where `stretch` starts in the looped `source`: the offset of the highest normalised correlation.
std::size_t loopedOffset(const std::vector<std::int16_t>& source, const std::int16_t* stretch, std::size_t length) {
    std::size_t best = 0;
    double bestScore = -1;
    for (std::size_t offset = 0; offset < source.size(); ++offset) {
        double dot = 0, energy = 0;
        for (std::size_t i = 0; i < length; ++i) {
            double s = source[(offset + i) % source.size()];
            dot += s * stretch[i];
            energy += s * s;
        }
        double score = energy > 0 ? dot / std::sqrt(energy) : 0;
        if (score > bestScore) {
            bestScore = score;
            best = offset;
        }
    }
    return best;
}

// Signal-to-noise ratio (dB) of `stretch` against the looped source from `offset`, after the best gain.
double signalToNoise(const std::vector<std::int16_t>& source, std::size_t offset, const std::int16_t* stretch,
                     std::size_t length) {
    double dot = 0, energy = 0;
    for (std::size_t i = 0; i < length; ++i) {
        double s = source[(offset + i) % source.size()];
        dot += s * stretch[i];
        energy += s * s;
    }
    double gain = dot / energy, signal = 0, noise = 0;
    for (std::size_t i = 0; i < length; ++i) {
        double s = gain * source[(offset + i) % source.size()];
        signal += s * s;
        noise += (stretch[i] - s) * (stretch[i] - s);
    }
    return 10 * std::log10(signal / std::max(noise, 1.0));
}

TEST(ZqlivePublish, FiveSecondsReachTheIngestAndDecodeCleanly) {
    ASSERT_TRUE(zqtest::NginxRtmp::available()) << "nginx with the RTMP module is missing: run scripts/setup";
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();

    std::string out;
    int rc = zqtest::runCommand(zqlive() + " publish " + nginx.publishUrl("e2e") +
                                    " --size 360x640 --fps 30 --bitrate 800 --audio-quality 2 --duration 5 --debug-info",
                                &out);
    ASSERT_EQ(rc, 0) << out;
    auto events = jsonLines(out);
    EXPECT_EQ(stateNames(events), (std::vector<std::string>{"ZQLivePending", "ZQLiveStart", "ZQLiveStop"}));
    ASSERT_FALSE(events.empty());
    auto summary = events.back();
    ASSERT_EQ(summary["event"], "summary");
    EXPECT_GT(summary["framesSent"].get<long long>(), 250) << "about 30 video and 43 audio frames a second";
    EXPECT_EQ(summary["framesDropped"].get<long long>(), 0);
    EXPECT_GT(summary["bytesSent"].get<double>(), 100000);
    bool sawDebug = false;
    for (auto& e : events)
        if (e["event"] == "debug") sawDebug = e.contains("currentBandwidth") && e.contains("unSendCount");
    EXPECT_TRUE(sawDebug);
    nginx.stop();

    std::string recording = nginx.recordingPath("e2e");
    std::string probe;
    ASSERT_EQ(zqtest::runCommand("ffprobe -v error -print_format json -show_streams -show_format '" + recording + "'",
                                 &probe),
              0)
        << recording;
    auto info = nlohmann::json::parse(probe);
    nlohmann::json video, audio;
    for (auto& s : info["streams"]) (s["codec_type"] == "video" ? video : audio) = s;
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], 360);
    EXPECT_EQ(video["height"], 640);
    EXPECT_EQ(audio["codec_name"], "aac");
    EXPECT_EQ(audio["profile"], "LC");
    EXPECT_EQ(audio["channels"], 2);
    EXPECT_EQ(audio["sample_rate"], "44100");
    double duration = std::stod(info["format"]["duration"].get<std::string>());
    EXPECT_NEAR(duration, 5.0, 1.0);

    // Frame rate from what was recorded: decoded frames over the video's duration.
    std::string count;
    ASSERT_EQ(zqtest::runCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                                 "stream=nb_read_frames,duration -of json '" + recording + "'",
                                 &count),
              0);
    auto counted = nlohmann::json::parse(count)["streams"][0];
    double frames = std::stod(counted["nb_read_frames"].get<std::string>());
    EXPECT_NEAR(frames / duration, 30.0, 3.0) << "frames " << frames << " in " << duration << " s";

    std::string errors;
    zqtest::runCommand("ffmpeg -nostdin -v error -i '" + recording + "' -f null - 2>&1", &errors);
    EXPECT_EQ(errors, "") << "the recording does not decode cleanly";

    // The summary holds the run's real totals, and the ingest got every frame sent, the last ones
    // included: each is one packet of the recording, but the first video and the first audio frame,
    // which went as the sequence headers.
    auto packets = zqtest::packetTimestamps(recording, "v").size() + zqtest::packetTimestamps(recording, "a").size();
    EXPECT_EQ(summary["framesSent"].get<long long>(), static_cast<long long>(packets) + 2);
}

TEST(ZqlivePublish, AnUnreachableIngestEndsWithError205AndAFailingExit) {
    int port = zqtest::freeLoopbackPort(); // nothing listens there
    std::string out;
    int rc = zqtest::runCommand(zqlive() + " publish rtmp://127.0.0.1:" + std::to_string(port) +
                                    "/live/x --size 64x64 --fps 10 --reconnect-interval 1 --reconnect-count 1 2>/dev/null",
                                &out);
    EXPECT_NE(rc, 0);
    auto events = jsonLines(out);
    // After the error the job stops the session, as at the end of any run.
    EXPECT_EQ(stateNames(events),
              (std::vector<std::string>{"ZQLivePending", "ZQLiveReconnecting", "ZQLiveError", "ZQLiveStop"}));
    bool saw205 = false;
    for (auto& e : events)
        if (e["event"] == "error") saw205 = e["code"] == 205;
    EXPECT_TRUE(saw205) << out;
}

TEST(ZqlivePublish, AWavFileIsCapturedAndRecorded) {
    ASSERT_TRUE(zqtest::NginxRtmp::available()) << "nginx with the RTMP module is missing: run scripts/setup";
    zqtest::TempDir dir;
    // Three seconds of a chirp from 300 Hz to 3 kHz, mono at 48 kHz: the capture converts it to the
    // session's 44.1 kHz stereo, and every stretch of it has one place in the loop.
    std::vector<std::int16_t> chirp(3 * 48000);
    for (std::size_t i = 0; i < chirp.size(); ++i) {
        double t = static_cast<double>(i) / 48000;
        chirp[i] = static_cast<std::int16_t>(12000 * std::sin(2 * std::numbers::pi * (300 * t + 450 * t * t)));
    }
    zqtest::writeWav(dir.file("chirp.wav"), 48000, 1, chirp);
    zqtest::NginxRtmp nginx;
    ASSERT_TRUE(nginx.start()) << nginx.lastError();

    std::string out;
    int rc = zqtest::runCommand(zqlive() + " publish " + nginx.publishUrl("wav") +
                                    " --size 160x288 --fps 15 --bitrate 300 --audio-quality 2 --duration 5 --audio file:" +
                                    dir.file("chirp.wav"),
                                &out);
    ASSERT_EQ(rc, 0) << out;
    auto events = jsonLines(out);
    EXPECT_EQ(stateNames(events), (std::vector<std::string>{"ZQLivePending", "ZQLiveStart", "ZQLiveStop"}));
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front()["event"], "audioInput");
    EXPECT_EQ(events.front()["source"], "file:" + dir.file("chirp.wav"));
    nginx.stop();

    auto source = decodeMono(dir.file("chirp.wav"), 44100);
    auto recorded = decodeMono(nginx.recordingPath("wav"), 44100);
    ASSERT_GT(recorded.size(), 44100u * 4) << "about five seconds were recorded";
    // A stretch from the middle of the recording, found in the source, compared over a second.
    const std::size_t start = 44100 * 2, window = 4096, compared = 44100;
    std::size_t offset = loopedOffset(source, recorded.data() + start, window);
    double snr = signalToNoise(source, offset, recorded.data() + start, compared);
    RecordProperty("snrDb", std::to_string(snr));
    EXPECT_GT(snr, 20.0) << "offset " << offset;
}

TEST(ZqlivePublish, AMicrophoneThatCannotBeOpenedFailsWithAOneLineReason) {
    int port = zqtest::freeLoopbackPort();
    std::string out, err;
    int rc = zqtest::runCommand(zqlive() + " publish rtmp://127.0.0.1:" + std::to_string(port) +
                                    "/live/x --size 64x64 --audio mic:zq_no_such_device 2>/dev/null",
                                &out);
    EXPECT_EQ(rc, 1);
    auto events = jsonLines(out);
    ASSERT_EQ(events.size(), 1u) << out;
    EXPECT_EQ(events[0]["event"], "audioInputFailed");
    EXPECT_TRUE(stateNames(events).empty()) << "nothing was published";

    zqtest::runCommand(zqlive() + " publish rtmp://127.0.0.1:" + std::to_string(port) +
                           "/live/x --size 64x64 --audio mic:zq_no_such_device 2>&1 >/dev/null",
                       &err);
    ASSERT_FALSE(err.empty());
    std::string last = err.substr(err.rfind('\n', err.size() - 2) + 1);
    EXPECT_EQ(last.rfind("zqlive publish: cannot open the audio input mic:zq_no_such_device: ", 0), 0u) << err;
}

TEST(ZqlivePublish, RtmpsWithACaFilePublishesThroughATlsTerminatorAndAWrongHostNameIsRefused) {
    ASSERT_TRUE(zqtest::NginxRtmp::tlsAvailable()) << "nginx's RTMP or stream module is missing: run scripts/setup";
    zqtest::TestCertificates ca;
    auto certificate = ca.server("localhost"); // names no address
    ASSERT_FALSE(certificate.certificate.empty()) << "openssl could not make the test certificates";
    zqtest::NginxRtmp nginx;
    nginx.setTlsFrontEnd({certificate.certificate, certificate.key});
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    std::string common = " --size 360x640 --fps 30 --bitrate 800 --ca-file '" + ca.caFile() + "'";

    std::string out;
    int rc = zqtest::runCommand(zqlive() + " publish " + nginx.tlsPublishUrl("tls") + common +
                                    " --duration 3 --debug-info 2>/dev/null",
                                &out);
    ASSERT_EQ(rc, 0) << out;
    auto events = jsonLines(out);
    bool tlsRecord = false;
    for (auto& e : events)
        if (e["event"] == "debug") tlsRecord = tlsRecord || (e["isTls"] == true && e["tlsVersion"] == "TLS1.3");
    EXPECT_TRUE(tlsRecord) << out;
    EXPECT_EQ(events.back()["event"], "summary");
    EXPECT_EQ(events.back()["tlsVersion"], "TLS1.3");
    nginx.stop();
    // It arrived (that recordings over TLS decode is proven with fixed media in the transport tests).
    EXPECT_GT(zqtest::packetTimestamps(nginx.recordingPath("tls"), "v").size(), 20u);

    // The same server by its address: the certificate does not name it.
    ASSERT_TRUE(nginx.start()) << nginx.lastError();
    std::string both;
    rc = zqtest::runCommand(zqlive() + " publish " + nginx.tlsPublishUrl("wrong", "127.0.0.1") + common +
                                " --reconnect-interval 1 --reconnect-count 1 2>&1",
                            &both);
    EXPECT_NE(rc, 0);
    EXPECT_NE(both.find("TLS certificate of 127.0.0.1 refused: The certificate is NOT trusted. The name in the "
                        "certificate does not match the expected."),
              std::string::npos)
        << both;
    EXPECT_NE(both.find("\"code\":205"), std::string::npos) << both;
    nginx.stop();
    EXPECT_FALSE(std::filesystem::exists(nginx.recordingPath("wrong")));
}

TEST(ZqlivePublish, BadArgumentsExitWithAOneLineReason) {
    std::string err;
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmp://127.0.0.1/live/x --fps 0 2>&1 >/dev/null", &err), 2);
    EXPECT_NE(err.find("--fps"), std::string::npos) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1);
    EXPECT_NE(zqtest::runCommand(zqlive() + " publish 2>/dev/null"), 0);
    EXPECT_NE(zqtest::runCommand(zqlive() + " publish http://x/y 2>/dev/null"), 0);
    EXPECT_NE(zqtest::runCommand(zqlive() + " publish rtmp://h/a/b --size 33x33 2>/dev/null"), 0);
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmp://h/a/b --audio speaker 2>/dev/null"), 2);
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmp://h/a/b --audio file: 2>/dev/null"), 2);
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmps://h/a/b --ca-file /nonexistent.pem 2>/dev/null"), 2);
    EXPECT_NE(zqtest::runCommand(zqlive() + " publish rtmpt://h/a/b 2>/dev/null"), 0);
}

} // namespace
