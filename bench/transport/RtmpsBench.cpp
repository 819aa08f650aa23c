// What TLS adds to the publisher's link: CPU time of this process (the send queue's thread and the
// TLS relay's thread together) per second of a 720x1280 stream at 1200 kbit/s video (30 pictures of
// 5000 bytes) and 128 kbit/s audio (43 frames of 372 bytes), sent through LibRtmpConnection to a
// local nginx-rtmp, directly (rtmp://) or through nginx's TLS front end (rtmps://, TLS 1.3, a test
// CA made here with openssl). nginx's own CPU is not counted.
//
// - BM_StreamSecond/tls:0|1/paced:1: the frames at their real times, one second per iteration
//   (what a live publish costs; every frame wakes the relay);
// - BM_StreamSecond/tls:0|1/paced:0: as fast as the link takes them (the cost per byte).
// Compare the CPU column between tls:0 and tls:1; a whole publish at this size spends most of a
// core in the encoder (bench/publish_cpu.sh), against which the difference is small.
#include <benchmark/benchmark.h>
#include <chrono>
#include <memory>
#include <thread>
#include "ZQLiveKit/ZQVideoFrame.h"
#include "ZQPlatform/TrustSettings.h"
#include "tests/support/NginxRtmp.h"
#include "tests/support/TestCertificates.h"
#include "transport/LibRtmpConnection.h"
#include "transport/LinkInterrupt.h"
#include "transport/RtmpMessageBuilder.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {

constexpr int kPictures = 30;
constexpr std::size_t kPictureBytes = 5000;
constexpr int kAudioFrames = 43;
constexpr std::size_t kAudioBytes = 372;

struct Ingest {
    zqtest::TestCertificates ca;
    zqtest::NginxRtmp nginx{false};
    bool running = false;
    Ingest() {
        auto certificate = ca.server("localhost");
        if (!zqtest::NginxRtmp::tlsAvailable() || certificate.certificate.empty()) return;
        nginx.setTlsFrontEnd({certificate.certificate, certificate.key});
        running = nginx.start();
        platform::TrustSettings::setCaFile(ca.caFile());
    }
};

Ingest& ingest() {
    static Ingest instance;
    return instance;
}

void BM_StreamSecond(benchmark::State& state) {
    const bool tls = state.range(0) != 0;
    const bool paced = state.range(1) != 0;
    if (!ingest().running) {
        state.SkipWithError("nginx with the RTMP and stream modules, or openssl, is not available");
        return;
    }
    LibRtmpConnection connection;
    LinkInterrupt interrupt;
    std::string url = tls ? ingest().nginx.tlsPublishUrl("bench") : ingest().nginx.publishUrl("bench");
    if (!connection.connect(url, {}, interrupt).ok() ||
        !connection.setChunkSize(ZVStreamRTMPSocket::kChunkSize).ok()) {
        state.SkipWithError("cannot connect to the ingest");
        return;
    }
    auto picture = std::make_shared<ZQVideoFrame>();
    picture->setData(ZQBytes(std::vector<std::uint8_t>(kPictureBytes, 0x41)));
    picture->setSps(ZQBytes{0x67, 0x42, 0xC0, 0x1E, 0x95});
    picture->setPps(ZQBytes{0x68, 0xCE, 0x3C, 0x80});
    std::uint32_t second = 0;
    for (auto _ : state) {
        auto begin = std::chrono::steady_clock::now();
        // The two kinds interleaved by time, as the send buffer releases them.
        int v = 0, a = 0;
        while (v < kPictures || a < kAudioFrames) {
            double videoTime = v < kPictures ? v / double(kPictures) : 2;
            double audioTime = a < kAudioFrames ? a / double(kAudioFrames) : 2;
            bool video = videoTime <= audioTime;
            double at = video ? videoTime : audioTime;
            if (paced) std::this_thread::sleep_until(begin + std::chrono::duration<double>(at));
            auto timestamp = static_cast<std::uint32_t>(second * 1000 + at * 1000);
            RtmpMessage message;
            if (video) {
                picture->setTimestamp(timestamp);
                message = RtmpMessageBuilder::video(*picture);
                ++v;
            } else {
                message = RtmpMessage(RtmpMessage::kTypeAudio, kAudioBytes);
                message.setTimestamp(timestamp);
                ++a;
            }
            message.setStreamId(connection.streamId());
            if (!connection.send(message).ok()) {
                state.SkipWithError("send failed");
                return;
            }
        }
        ++second;
    }
    state.counters["tls"] = tls;
    state.SetBytesProcessed(state.iterations() *
                            static_cast<std::int64_t>(kPictures * kPictureBytes + kAudioFrames * kAudioBytes));
    connection.close();
}
BENCHMARK(BM_StreamSecond)
    ->ArgNames({"tls", "paced"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->Args({1, 1})
    ->MeasureProcessCPUTime()
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
