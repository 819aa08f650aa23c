// The real-time pacer (on a fake clock), the test pattern and the tone.
#include <gtest/gtest.h>
#include <atomic>
#include <cmath>
#include <future>
#include <mutex>
#include <thread>
#include "ZQLiveKit/TestPatternSource.h"
#include "ZQLiveKit/ToneSource.h"
#include "platform/media/PatternPainter.h"
#include "platform/media/RealTimePacer.h"
#include "tests/platform/media/MediaTestSupport.h"
#include "platform/media/SyntheticSourcePacing.h"

using namespace platform;

namespace {

using zqtest::InstantClock;

TEST(RealTimePacerTest, TicksOnAFixedGridFromTheStart) {
    auto clock = std::make_shared<InstantClock>();
    std::vector<double> times;
    std::promise<void> enough;
    RealTimePacer* self = nullptr;
    std::atomic<bool> rerun{false};
    std::atomic<int> rerunTicks{0};
    RealTimePacer pacer("pacer-test", 0.25, [&](std::uint64_t index) {
        if (rerun) {
            ++rerunTicks;
            return;
        }
        times.push_back(clock->now());
        EXPECT_EQ(index, times.size() - 1);
        if (index == 0) {
            EXPECT_FALSE(self->start()); // already running
        }
        if (times.size() == 5) {
            self->stop(); // from inside a tick: ends after it
            enough.set_value();
        }
    }, clock);
    self = &pacer;
    ASSERT_TRUE(pacer.start());
    enough.get_future().wait();
    pacer.stop();
    EXPECT_FALSE(pacer.running());
    EXPECT_EQ(times, (std::vector<double>{500.0, 500.25, 500.5, 500.75, 501.0}));
    rerun = true;
    EXPECT_TRUE(pacer.start()); // can run again
    while (rerunTicks == 0) std::this_thread::yield();
    pacer.stop();
}

TEST(RealTimePacerTest, CatchesUpSmallLagsAndRestartsAfterLongStalls) {
    // Late by 0.3 s: the next tick is due at once, the grid stays.
    EXPECT_DOUBLE_EQ(RealTimePacer::nextDeadline(10.0, 0.1, 10.4, 1.0), 10.1);
    // On time.
    EXPECT_DOUBLE_EQ(RealTimePacer::nextDeadline(10.0, 0.1, 10.0, 1.0), 10.1);
    // Stalled for 3 s: missed ticks dropped, the grid restarts now.
    EXPECT_DOUBLE_EQ(RealTimePacer::nextDeadline(10.0, 0.1, 13.0, 1.0), 13.0);

    auto clock = std::make_shared<InstantClock>();
    std::vector<double> times;
    std::promise<void> enough;
    RealTimePacer* self = nullptr;
    RealTimePacer pacer("pacer-stall", 0.5, [&](std::uint64_t) {
        times.push_back(clock->now());
        if (times.size() == 2) clock->jump(5.0); // a stall inside the second tick
        if (times.size() == 4) {
            self->stop();
            enough.set_value();
        }
    }, clock);
    self = &pacer;
    pacer.start();
    enough.get_future().wait();
    pacer.stop();
    EXPECT_EQ(times, (std::vector<double>{500.0, 500.5, 505.5, 506.0}));
    EXPECT_FALSE(RealTimePacer("bad", 0, [](std::uint64_t) {}).start());
}

TEST(RealTimePacerTest, DropPolicyNeverStartsATickWithinHalfAPeriodOfTheLast) {
    constexpr auto drop = RealTimePacer::LatePolicy::Drop;
    // On time, or finished early: the next grid point.
    EXPECT_DOUBLE_EQ(RealTimePacer::nextDeadline(10.0, 0.1, 10.01, 1.0, drop), 10.1);
    // Finished at 10.07: 10.1 is less than half a period away, so it is dropped for 10.2.
    EXPECT_NEAR(RealTimePacer::nextDeadline(10.0, 0.1, 10.07, 1.0, drop), 10.2, 1e-9);
    // Finished late at 10.33: the ticks at 10.1 to 10.3 are dropped; 10.4 is far enough.
    EXPECT_NEAR(RealTimePacer::nextDeadline(10.0, 0.1, 10.33, 1.0, drop), 10.4, 1e-9);
    // Exactly half a period away is allowed.
    EXPECT_NEAR(RealTimePacer::nextDeadline(10.0, 0.1, 10.05, 1.0, drop), 10.1, 1e-9);
}

// Pixel helpers.
std::array<int, 3> bgraAt(const PixelBuffer& p, int x, int y) {
    const std::uint8_t* px = p.planeData(0) + y * p.bytesPerRow(0) + 4 * x;
    return {px[2], px[1], px[0]};
}
int lumaAt(const PixelBuffer& p, int x, int y) { return p.planeData(0)[y * p.bytesPerRow(0) + x]; }

bool regionDiffers(const PixelBuffer& a, const PixelBuffer& b, int x0, int y0, int x1, int y1) {
    for (int y = y0; y < y1; ++y)
        for (int x = x0; x < x1; ++x)
            if (bgraAt(a, x, y) != bgraAt(b, x, y)) return true;
    return false;
}

TEST(TestPatternSourceTest, BarsSweepAndClockOnEveryFrame) {
    TestPatternSource source(320, 240, 30);
    auto first = source.renderFrame(0);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width(), 320);
    EXPECT_EQ(first->format(), PixelFormat::BGRA);
    // Bars (75% white at the left, yellow next, black at the right) and the grey ramp below.
    EXPECT_EQ(bgraAt(*first, 20, 5), (std::array<int, 3>{191, 191, 191}));
    EXPECT_EQ(bgraAt(*first, 60, 5), (std::array<int, 3>{191, 191, 0}));
    EXPECT_EQ(bgraAt(*first, 300, 5), (std::array<int, 3>{0, 0, 0}));
    EXPECT_EQ(bgraAt(*first, 310, 235), (std::array<int, 3>{255, 255, 255}));
    // The sweeping bar starts at the left edge.
    EXPECT_EQ(bgraAt(*first, 2, 5), (std::array<int, 3>{255, 255, 255}));

    auto half = source.renderFrame(30); // 1 s later: the bar is half way
    EXPECT_EQ(bgraAt(*half, 160, 5), (std::array<int, 3>{255, 255, 255}));
    EXPECT_NE(bgraAt(*half, 2, 5), (std::array<int, 3>{255, 255, 255}));
    // The clock area (the middle of the bars) shows a different time.
    EXPECT_TRUE(regionDiffers(*first, *half, 20, 40, 300, 130));
    // The same frame renders the same picture.
    auto again = source.renderFrame(30);
    EXPECT_FALSE(regionDiffers(*half, *again, 0, 0, 320, 240));
}

TEST(TestPatternSourceTest, Nv12UsesLimitedRangeLuma) {
    TestPatternSource source(64, 48, 15, PixelFormat::NV12);
    auto picture = source.renderFrame(10);
    ASSERT_TRUE(picture);
    EXPECT_EQ(picture->format(), PixelFormat::NV12);
    EXPECT_EQ(lumaAt(*picture, 2, 47), 16);  // black end of the ramp
    EXPECT_EQ(lumaAt(*picture, 63, 47), 235); // white end
    EXPECT_FALSE(TestPatternSource(0, 48, 15).renderFrame(0));
    EXPECT_FALSE(TestPatternSource(64, 48, 0).start());
}

TEST(TestPatternSourceTest, ClockReadsHoursMinutesSecondsAndMilliseconds) {
    EXPECT_EQ(formatClock(0), "00:00:00.000");
    EXPECT_EQ(formatClock(61.0 + 1.0 / 3), "00:01:01.333");
    EXPECT_EQ(formatClock(3600 * 2 + 59.9996), "02:01:00.000");
    EXPECT_TRUE(PatternPainter::glyphBit('1', 0, 2));
    EXPECT_FALSE(PatternPainter::glyphBit('1', 0, 0));
    EXPECT_FALSE(PatternPainter::glyphBit('x', 3, 2));
    EXPECT_EQ(PatternPainter::textWidth("12", 3), 33);
}

TEST(TestPatternSourceTest, DeliversPacedFramesUntilStopped) {
    auto clock = std::make_shared<InstantClock>();
    TestPatternSource source(32, 32, 25);
    SyntheticSourcePacing::setPacerClock(source, clock);
    std::vector<double> times;
    std::promise<void> enough;
    source.setCallback([&](const std::shared_ptr<PixelBuffer>& picture) {
        EXPECT_EQ(picture->width(), 32);
        times.push_back(clock->now());
        if (times.size() == 3) enough.set_value();
    });
    ASSERT_TRUE(source.start());
    enough.get_future().wait();
    source.stop();
    EXPECT_FALSE(source.running());
    ASSERT_GE(times.size(), 3u);
    EXPECT_NEAR(times[2] - times[0], 0.08, 1e-9);
}

TEST(ToneSourceTest, ToneContinuesAcrossBlocksAndSilenceIsZero) {
    ToneSource tone(48000, 2, 4096, 1000.0, 0.5);
    ToneSource longTone(48000, 2, 8192, 1000.0, 0.5);
    std::vector<std::uint8_t> a(4096), b(4096), both(8192);
    tone.fillNextBlock(a);
    tone.fillNextBlock(b);
    longTone.fillNextBlock(both);
    EXPECT_TRUE(std::equal(a.begin(), a.end(), both.begin()));
    EXPECT_TRUE(std::equal(b.begin(), b.end(), both.begin() + 4096));

    auto sample = [&](std::size_t frame, int channel) {
        return static_cast<std::int16_t>(both[frame * 4 + channel * 2] | (both[frame * 4 + channel * 2 + 1] << 8));
    };
    int crossings = 0, peak = 0;
    for (std::size_t i = 1; i < 2048; ++i) {
        EXPECT_EQ(sample(i, 0), sample(i, 1));
        crossings += (sample(i - 1, 0) < 0) != (sample(i, 0) < 0);
        peak = std::max(peak, std::abs(static_cast<int>(sample(i, 0))));
    }
    // 2048 frames at 48 kHz hold 42.7 periods of 1 kHz: about 85 crossings.
    EXPECT_NEAR(crossings, 85, 1);
    EXPECT_NEAR(peak, 16384, 20);

    ToneSource silence(44100, 1, 2048, 0.0);
    std::vector<std::uint8_t> quiet(2048, 0xAA);
    silence.fillNextBlock(quiet);
    EXPECT_TRUE(std::all_of(quiet.begin(), quiet.end(), [](std::uint8_t v) { return v == 0; }));
}

TEST(ToneSourceTest, BlocksAreWholeFramesDeliveredAtTheirDuration) {
    EXPECT_EQ(ToneSource(44100, 2, 4097).bufferLength(), 4096u);
    EXPECT_EQ(ToneSource(44100, 2, 1).bufferLength(), 4u);
    EXPECT_FALSE(ToneSource(0, 2, 4096).start());

    auto clock = std::make_shared<InstantClock>();
    ToneSource tone(16000, 1, 2048); // 1024 frames: 64 ms a block
    SyntheticSourcePacing::setPacerClock(tone, clock);
    std::vector<double> times;
    std::promise<void> enough;
    tone.setCallback([&](std::span<const std::uint8_t> pcm) {
        EXPECT_EQ(pcm.size(), 2048u);
        times.push_back(clock->now());
        if (times.size() == 3) enough.set_value();
    });
    ASSERT_TRUE(tone.start());
    enough.get_future().wait();
    tone.stop();
    EXPECT_NEAR(times[1] - times[0], 0.064, 1e-9);
}

} // namespace
