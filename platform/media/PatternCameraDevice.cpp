#include "platform/media/PatternCameraDevice.h"

#include <algorithm>

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace platform {

PatternCameraDevice::PatternCameraDevice(CameraPosition position, std::shared_ptr<PacerClock> clock)
    : PacedCameraDevice(position, "zq.camera.pattern", std::move(clock)) {}

PatternCameraDevice::~PatternCameraDevice() { stop(); }

std::string PatternCameraDevice::name() const {
    return std::string("pattern (") + cameraPositionName(position()) + ")";
}

bool PatternCameraDevice::openSource(int, int, std::string*) { return true; }

std::shared_ptr<PixelBuffer> PatternCameraDevice::makePicture(std::uint64_t index, double seconds, QuarterTurn turn,
                                                              std::string* lost) {
    // The scene is drawn upright at the picture's shape as seen after the turn.
    const int uprightWidth = swapsSides(turn) ? height() : width();
    const int uprightHeight = swapsSides(turn) ? width() : height();
    if (!mPattern || mPattern->width() != uprightWidth || mPattern->height() != uprightHeight)
        mPattern =
            std::make_unique<TestPatternSource>(uprightWidth, uprightHeight, kNativeFrameRate, PixelFormat::NV12);
    auto scene = mPattern->renderFrameAt(index, seconds);
    if (!scene) return nullptr;

    const bool front = position() == CameraPosition::Front;
    const std::string label = front ? "FRONT" : "BACK";
    const int top = bandTop(uprightHeight), bandHeight = bandBottom(uprightHeight) - top;
    const int scale = std::max(1, std::min(bandHeight * 2 / 3 / PatternPainter::kGlyphHeight,
                                           uprightWidth / 2 / PatternPainter::textWidth(label, 1)));
    PatternPainter painter(*scene);
    painter.fillRect(0, top, uprightWidth, bandHeight, front ? kFrontBand : kBackBand);
    painter.drawText(label, (uprightWidth - PatternPainter::textWidth(label, scale)) / 2,
                     top + (bandHeight - PatternPainter::kGlyphHeight * scale) / 2, scale, {255, 255, 255});

    SourcePicture picture;
    picture.format = AV_PIX_FMT_NV12;
    picture.width = scene->width();
    picture.height = scene->height();
    for (int p = 0; p < 2; ++p) {
        picture.data[p] = scene->planeData(p);
        picture.linesize[p] = static_cast<int>(scene->bytesPerRow(p));
    }
    std::string error;
    auto output = mConverter.convert(picture, width(), height(), turn, &error);
    if (!output) *lost = error;
    return output;
}

} // namespace platform
