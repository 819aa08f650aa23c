// Cost of the publisher's send path per frame, for a 10 kB video frame:
// - BM_BuildVideoMessage: the FLV tag body alone (allocation, framing, copy);
// - BM_BuildAndSendVideoFrame: body plus librtmp's chunked send (4096-byte chunks, as the publisher
//   announces) to an nginx RTMP ingest on loopback;
// - BM_PublisherSendPath: the whole path, sendFrame through the send buffer and the send queue's
//   step to the same ingest, in batches of 100 frames.
// The network cases measure the CPU time of the whole process (the send queue's thread included):
// frames per second per core = 1 s / (CPU time per frame). nginx (started here, not recording) must
// be installed; without it the network cases are skipped.
#include <benchmark/benchmark.h>
#include <memory>
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQVideoFrame.h"
#include "ZQPlatform/Console.h"
#include "platform/foundation/SimulatedRuntime.h"
#include "tests/support/NginxRtmp.h"
#include "transport/LibRtmpConnection.h"
#include "transport/LinkInterrupt.h"
#include "transport/RtmpMessageBuilder.h"
#include "transport/ZVStreamRTMPSocket.h"

namespace {

constexpr std::size_t kFrameBytes = 10 * 1024;

std::shared_ptr<ZQVideoFrame> makeFrame(std::uint64_t timestamp) {
    auto frame = std::make_shared<ZQVideoFrame>();
    frame->setTimestamp(timestamp);
    frame->setData(ZQBytes(std::vector<std::uint8_t>(kFrameBytes, 0x41)));
    frame->setSps(ZQBytes{0x67, 0x42, 0xC0, 0x1E, 0x95});
    frame->setPps(ZQBytes{0x68, 0xCE, 0x3C, 0x80});
    return frame;
}

// One ingest for the whole run, stopped when the program exits.
zqtest::NginxRtmp& ingest() {
    static zqtest::NginxRtmp nginx(false);
    static bool started = zqtest::NginxRtmp::available() && nginx.start();
    (void)started;
    return nginx;
}

void BM_BuildVideoMessage(benchmark::State& state) {
    auto frame = makeFrame(40);
    for (auto _ : state) {
        RtmpMessage message = RtmpMessageBuilder::video(*frame);
        benchmark::DoNotOptimize(message.body());
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kFrameBytes));
}
BENCHMARK(BM_BuildVideoMessage);

void BM_BuildAndSendVideoFrame(benchmark::State& state) {
    if (!ingest().running()) {
        state.SkipWithError("nginx with the RTMP module is not available");
        return;
    }
    LibRtmpConnection connection;
    LinkInterrupt interrupt;
    if (!connection.connect(ingest().publishUrl("bench"), {}, interrupt).ok() ||
        !connection.setChunkSize(ZVStreamRTMPSocket::kChunkSize).ok()) {
        state.SkipWithError("cannot connect to the ingest");
        return;
    }
    auto frame = makeFrame(0);
    std::uint64_t timestamp = 0;
    for (auto _ : state) {
        frame->setTimestamp(timestamp += 40);
        RtmpMessage message = RtmpMessageBuilder::video(*frame);
        message.setStreamId(connection.streamId());
        if (!connection.send(message).ok()) {
            state.SkipWithError("send failed");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(kFrameBytes));
}
BENCHMARK(BM_BuildAndSendVideoFrame)->MeasureProcessCPUTime()->UseRealTime();

void BM_PublisherSendPath(benchmark::State& state) {
    if (!ingest().running()) {
        state.SkipWithError("nginx with the RTMP module is not available");
        return;
    }
    constexpr int kBatch = 100;
    // The publisher's queues run on this thread, so each batch is measured to its last send.
    platform::SimulatedRuntime runtime;
    auto stream = std::make_shared<ZQLiveStreamInfo>();
    stream->setUrl(ingest().publishUrl("bench-publisher"));
    auto socket = ZVStreamRTMPSocket::create(stream);
    socket->start();
    runtime.runUntilIdle();
    std::vector<std::shared_ptr<ZQVideoFrame>> frames;
    for (int i = 0; i < kBatch; ++i) frames.push_back(makeFrame(0));
    std::uint64_t timestamp = 0;
    for (auto _ : state) {
        for (auto& frame : frames) {
            frame->setTimestamp(timestamp += 40);
            socket->sendFrame(frame);
        }
        runtime.runUntilIdle();
    }
    state.SetItemsProcessed(state.iterations() * kBatch);
    state.SetBytesProcessed(state.iterations() * kBatch * static_cast<std::int64_t>(kFrameBytes));
    socket->stop();
    runtime.runUntilIdle();
}
BENCHMARK(BM_PublisherSendPath)->MeasureProcessCPUTime()->UseRealTime();

} // namespace
