#pragma once
#include <memory>
#include "ZQLiveKit/TestPatternSource.h"
#include "platform/media/PacedCameraDevice.h"
#include "platform/media/PatternPainter.h"

namespace platform {

// The synthetic camera: the moving test pattern (colour bars, a sweeping bar, a running clock and
// the frame number) with a band naming the position it serves, "FRONT" on blue or "BACK" on orange,
// so a camera switch shows. NV12, video range BT.601 (the painter's colours), 30 frames a second
// unless asked otherwise.
class PatternCameraDevice final : public PacedCameraDevice {
public:
    static constexpr double kNativeFrameRate = 30;
    static constexpr Rgb kFrontBand{0, 80, 200};
    static constexpr Rgb kBackBand{230, 120, 0};

    explicit PatternCameraDevice(CameraPosition position,
                                 std::shared_ptr<PacerClock> clock = PacerClock::monotonic());
    ~PatternCameraDevice() override;

    std::string name() const override;

    // The band's rows in an upright picture of this height: [top, bottom).
    static int bandTop(int height) { return height * 3 / 4; }
    static int bandBottom(int height) { return height * 9 / 10; }

protected:
    bool openSource(int width, int height, std::string* error) override;
    double nativeFrameRate() const override { return kNativeFrameRate; }
    ColorDescription color() const override { return {false, YCbCrMatrix::BT601}; }
    std::shared_ptr<PixelBuffer> makePicture(std::uint64_t index, double seconds, QuarterTurn turn,
                                             std::string* lost) override;

private:
    std::unique_ptr<TestPatternSource> mPattern; // upright, at the size before the turn
    SensorFrameConverter mConverter;
};

} // namespace platform
