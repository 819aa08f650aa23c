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

// What ffprobe and ffmpeg make of a recording: H.264 of the given size and frame rate and AAC-LC
// stereo, about `seconds` long, the video decoding without a single error from its first key frame
// on, with key frames that decode as such. Returns ffprobe's video stream.
nlohmann::json expectRecording(const std::string& recording, int width, int height, double fps, double seconds) {
    std::string probe;
    EXPECT_EQ(zqtest::runCommand("ffprobe -v error -print_format json -show_streams -show_format '" + recording + "'",
                                 &probe),
              0)
        << recording;
    auto info = nlohmann::json::parse(probe, nullptr, false);
    if (info.is_discarded() || !info.contains("streams")) {
        ADD_FAILURE() << "ffprobe cannot read " << recording;
        return {};
    }
    nlohmann::json video, audio;
    for (auto& s : info["streams"]) (s["codec_type"] == "video" ? video : audio) = s;
    EXPECT_EQ(video["codec_name"], "h264");
    EXPECT_EQ(video["width"], width);
    EXPECT_EQ(video["height"], height);
    EXPECT_EQ(audio["codec_name"], "aac");
    EXPECT_EQ(audio["profile"], "LC");
    EXPECT_EQ(audio["channels"], 2);
    EXPECT_EQ(audio["sample_rate"], "44100");
    double duration = std::stod(info["format"]["duration"].get<std::string>());
    EXPECT_NEAR(duration, seconds, 1.0);

    // Frame rate from what was decoded: pictures over the video's duration; key frames as decoded.
    std::string frames;
    EXPECT_EQ(zqtest::runCommand("ffprobe -v error -select_streams v:0 -show_entries frame=key_frame,pict_type "
                                 "-of csv=p=0 '" + recording + "'",
                                 &frames),
              0);
    int decoded = 0, keyFrames = 0;
    std::istringstream lines(frames);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty()) continue;
        ++decoded;
        if (line.rfind("1,I", 0) == 0) ++keyFrames;
    }
    EXPECT_NEAR(decoded / duration, fps, 3.0) << decoded << " pictures in " << duration << " s";
    EXPECT_GE(keyFrames, 2) << "the first key frame and a later one decode as key frames";

    // Timestamps pass through in milliseconds: a capture thread's jitter is no decoding error.
    std::string errors;
    zqtest::runCommand("ffmpeg -nostdin -v error -i '" + recording +
                           "' -map 0:v:0 -fps_mode passthrough -enc_time_base:v 1:1000 -f null - 2>&1",
                       &errors);
    EXPECT_EQ(errors, "") << "the video does not decode cleanly";
    return video;
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
    const std::string recording = nginx.recordingPath("e2e");
    expectRecording(recording, 360, 640, 30, 5);
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

// The file-based encoder end to end: chosen by the system version, then forced by the flag.
class ZqlivePublishFileEncoder : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(zqtest::NginxRtmp::available()) << "nginx with the RTMP module is missing: run scripts/setup";
        ASSERT_TRUE(nginx.start()) << nginx.lastError();
    }
    // Publishes for six seconds; returns the recording once nginx has closed it.
    std::string publish(const std::string& environment, const std::string& name, const std::string& flags) {
        std::string out;
        int rc = zqtest::runCommand(environment + " " + zqlive() + " publish " + nginx.publishUrl(name) + " " + flags +
                                        " --duration 6 2>/dev/null",
                                    &out);
        EXPECT_EQ(rc, 0) << out;
        auto events = jsonLines(out);
        EXPECT_EQ(stateNames(events), (std::vector<std::string>{"ZQLivePending", "ZQLiveStart", "ZQLiveStop"}));
        if (!events.empty()) {
            EXPECT_EQ(events.back()["framesDropped"], 0);
        }
        nginx.stop();
        return nginx.recordingPath(name);
    }
    zqtest::NginxRtmp nginx;
};

TEST_F(ZqlivePublishFileEncoder, SystemVersionSevenPublishesThroughTheFileEncoder) {
    // On 7.0 a 720×1280 request is encoded at 710×1270 (the 722×1282 padding starts at 15.0),
    // Baseline at level 4.1. 15 pictures a second keep two shared cores out of the way.
    auto video = expectRecording(publish("ZQLIVEKIT_OS_VERSION=7.0", "v7", "--size 720x1280 --fps 15 --bitrate 1000"),
                                 710, 1270, 15, 6);
    EXPECT_NE(video.value("profile", "").find("Baseline"), std::string::npos) << video.dump();
    EXPECT_EQ(video.value("level", 0), 41);
}

TEST_F(ZqlivePublishFileEncoder, TheEncoderFlagChoosesTheFileEncoderOnAnySystem) {
    auto video = expectRecording(publish("", "flag", "--encoder file --size 360x640 --fps 24 --bitrate 800"), 360, 640, 24, 6);
    EXPECT_EQ(video.value("level", 0), 41) << "the file encoder's level, not the session's automatic one";
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
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmp://h/a/b --encoder gpu 2>&1 >/dev/null", &err), 2);
    EXPECT_NE(err.find("--encoder must be hardware or file"), std::string::npos) << err;
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmp://h/a/b --audio speaker 2>/dev/null"), 2);
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmp://h/a/b --audio file: 2>/dev/null"), 2);
    EXPECT_EQ(zqtest::runCommand(zqlive() + " publish rtmps://h/a/b --ca-file /nonexistent.pem 2>/dev/null"), 2);
    EXPECT_NE(zqtest::runCommand(zqlive() + " publish rtmpt://h/a/b 2>/dev/null"), 0);
}

} // namespace
