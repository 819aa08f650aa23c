// Throughput of the send buffer under congestion: two encoder threads append while the publisher's
// thread pops more slowly, so the send list stays full and every release runs the drop pass.
// Reports appended frames per second (items_per_second).
#include <benchmark/benchmark.h>
#include <memory>
#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQVideoFrame.h"
#include "transport/ZVStreamingBuffer.h"

namespace {

std::shared_ptr<ZVStreamingBuffer> gBuffer;

// Thread 0 is the publisher and pops one frame for every two the producers append; threads 1 and 2
// are the video encoder (30-frame GOPs) and the audio encoder.
void BM_CongestedAppendAndPop(benchmark::State& state) {
    if (state.thread_index() == 0) {
        gBuffer = ZVStreamingBuffer::create();
        // Warm up to a full send list.
        for (std::uint64_t i = 0; i < gBuffer->maxCount() + ZVStreamingBuffer::kSortWindow; ++i) {
            auto frame = std::make_shared<ZQVideoFrame>();
            frame->setTimestamp(i);
            frame->setIsKeyFrame(i % 30 == 0);
            gBuffer->appendObject(frame);
        }
    }
    // One payload shared by every frame, as encoders share theirs with the send path.
    ZQBytes payload(std::vector<std::uint8_t>(1200, 0x42));
    std::uint64_t timestamp = 1000;
    std::uint64_t count = 0;
    for (auto _ : state) {
        if (state.thread_index() == 0) {
            benchmark::DoNotOptimize(gBuffer->popFirstObject());
            continue;
        }
        std::shared_ptr<ZQFrame> frame;
        if (state.thread_index() == 1) {
            auto video = std::make_shared<ZQVideoFrame>();
            video->setIsKeyFrame(count % 30 == 0);
            frame = std::move(video);
        } else {
            frame = std::make_shared<ZQAudioFrame>();
        }
        frame->setTimestamp(timestamp += 33);
        frame->setData(payload);
        gBuffer->appendObject(std::move(frame));
        ++count;
    }
    if (state.thread_index() != 0) state.SetItemsProcessed(static_cast<std::int64_t>(count));
    if (state.thread_index() == 0) {
        state.counters["dropped"] = static_cast<double>(gBuffer->takeLastDropFrames());
        state.counters["listCount"] = static_cast<double>(gBuffer->listCount());
        gBuffer.reset();
    }
}
BENCHMARK(BM_CongestedAppendAndPop)->Threads(3)->UseRealTime();

// One thread appending video into a full list that nobody drains. Key frames pile up at the head, so
// each drop pass walks most of the list: the worst case of the drop pass.
void BM_AppendIntoFullList(benchmark::State& state) {
    auto buffer = ZVStreamingBuffer::create();
    std::uint64_t timestamp = 0;
    for (auto _ : state) {
        auto frame = std::make_shared<ZQVideoFrame>();
        frame->setTimestamp(++timestamp);
        frame->setIsKeyFrame(timestamp % 30 == 0);
        buffer->appendObject(std::move(frame));
    }
    state.SetItemsProcessed(state.iterations());
    state.counters["listCount"] = static_cast<double>(buffer->listCount());
}
BENCHMARK(BM_AppendIntoFullList);

} // namespace
