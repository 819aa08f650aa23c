#include "ZQLiveKit/TestPatternSource.h"

#include <algorithm>
#include <cmath>
#include <string>
#include "platform/media/PatternPainter.h"
#include "platform/media/PixelBufferPool.h"
#include "platform/media/RealTimePacer.h"

namespace platform {

namespace {

// 75% colour bars.
constexpr Rgb kBars[] = {{191, 191, 191}, {191, 191, 0}, {0, 191, 191}, {0, 191, 0},
                         {191, 0, 191},   {191, 0, 0},   {0, 0, 191},   {0, 0, 0}};
constexpr double kBarsShare = 0.7;     // of the height; a grey ramp fills the rest
constexpr double kSweepSeconds = 2.0;  // one pass of the moving bar
constexpr int kClockChars = 12;        // "HH:MM:SS.mmm"

void paintBackground(PixelBuffer& picture) {
    PatternPainter painter(picture);
    const int w = picture.width(), h = picture.height();
    const int barsHeight = static_cast<int>(h * kBarsShare);
    constexpr int count = static_cast<int>(std::size(kBars));
    for (int i = 0; i < count; ++i) {
        int x0 = w * i / count, x1 = w * (i + 1) / count;
        painter.fillRect(x0, 0, x1 - x0, barsHeight, kBars[i]);
    }
    constexpr int steps = 8;
    for (int i = 0; i < steps; ++i) {
        int x0 = w * i / steps, x1 = w * (i + 1) / steps;
        auto level = static_cast<std::uint8_t>(255 * i / (steps - 1));
        painter.fillRect(x0, barsHeight, x1 - x0, h - barsHeight, {level, level, level});
    }
}

} // namespace

TestPatternSource::TestPatternSource(int width, int height, double frameRate, PixelFormat format)
    : mWidth(width), mHeight(height), mFrameRate(frameRate), mFormat(format), mClock(PacerClock::monotonic()) {}

TestPatternSource::~TestPatternSource() { stop(); }

bool TestPatternSource::start() {
    if (!PixelBuffer::isValidSize(mWidth, mHeight) || !(mFrameRate > 0) || running()) return false;
    mPacer = std::make_unique<RealTimePacer>(
        "zq.testpattern", 1.0 / mFrameRate,
        [this](std::uint64_t index) {
            auto picture = renderFrame(index);
            if (picture && mCallback) mCallback(picture);
        },
        // Like a camera: late frames are dropped, never delivered in a burst.
        mClock, 1.0, RealTimePacer::LatePolicy::Drop);
    return mPacer->start();
}

void TestPatternSource::stop() {
    if (mPacer) mPacer->stop();
}

bool TestPatternSource::running() const { return mPacer && mPacer->running(); }

std::shared_ptr<PixelBuffer> TestPatternSource::renderFrame(std::uint64_t index) {
    if (!(mFrameRate > 0)) return nullptr;
    return renderFrameAt(index, static_cast<double>(index) / mFrameRate);
}

std::shared_ptr<PixelBuffer> TestPatternSource::renderFrameAt(std::uint64_t index, double seconds) {
    if (!PixelBuffer::isValidSize(mWidth, mHeight)) return nullptr;
    if (!mPool) {
        mPool = std::make_unique<PixelBufferPool>(mWidth, mHeight, mFormat);
        mBackground = PixelBuffer::create(mWidth, mHeight, mFormat);
        paintBackground(*mBackground);
    }
    auto picture = mPool->take();
    if (!picture) return nullptr;
    PatternPainter::copyPixels(*mBackground, *picture);
    PatternPainter painter(*picture);

    const int barsHeight = static_cast<int>(mHeight * kBarsShare);

    // The sweeping bar: a full pass every kSweepSeconds.
    const int sweepWidth = std::max(2, mWidth / 40);
    const double phase = std::fmod(seconds, kSweepSeconds) / kSweepSeconds;
    painter.fillRect(static_cast<int>(phase * (mWidth - sweepWidth)), 0, sweepWidth, barsHeight, {255, 255, 255});

    // The clock, as large as fits, in a black box; the frame number under it at half size.
    const int scale = std::max(1, std::min(mWidth * 9 / 10 / (kClockChars * PatternPainter::kGlyphPitch),
                                           mHeight / 8 / PatternPainter::kGlyphHeight));
    const int small = std::max(1, scale / 2);
    const std::string clock = formatClock(seconds);
    const std::string frame = "#" + std::to_string(index);
    const int clockWidth = PatternPainter::textWidth(clock, scale);
    const int frameWidth = PatternPainter::textWidth(frame, small);
    const int textHeight = PatternPainter::kGlyphHeight * (scale + small) + 3 * scale;
    const int boxWidth = std::max(clockWidth, frameWidth) + 2 * scale;
    const int top = barsHeight / 2 - textHeight / 2;
    painter.fillRect((mWidth - boxWidth) / 2, top - scale, boxWidth, textHeight + 2 * scale, {0, 0, 0});
    painter.drawText(clock, (mWidth - clockWidth) / 2, top, scale, {255, 255, 255});
    painter.drawText(frame, (mWidth - frameWidth) / 2, top + PatternPainter::kGlyphHeight * scale + 2 * scale, small,
                     {255, 255, 0});
    return picture;
}

} // namespace platform
