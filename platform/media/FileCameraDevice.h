#pragma once
#include <memory>
#include <string>
#include "platform/media/PacedCameraDevice.h"

struct AVFrame;

namespace platform {

// A camera that plays a video file (libavformat + libavcodec), looped, in real time: at the file's
// own frame rate, or at the asked one by showing whichever picture is due (so the file never plays
// faster or slower than it was recorded). Pictures are turned upright by the file's display matrix
// (a phone recording stored sideways), then shown as the sensor would see them (see CameraDevice),
// centre-cropped and scaled (libswscale) to NV12. Range and matrix come from the stream's colour
// tags (see describeColor for untagged streams).
//
// Failures: a missing, unreadable or corrupt file, or one without a decodable video picture, fails
// open() with the reason. A file that stops giving pictures mid-run (a read error, or a whole pass
// without one, as when it was truncated) ends delivery with one loss report.
class FileCameraDevice final : public PacedCameraDevice {
public:
    FileCameraDevice(std::string path, CameraPosition position,
                     std::shared_ptr<PacerClock> clock = PacerClock::monotonic());
    ~FileCameraDevice() override;

    std::string name() const override { return mPath; }

protected:
    bool openSource(int width, int height, std::string* error) override;
    double nativeFrameRate() const override;
    ColorDescription color() const override;
    void restart() override;
    std::shared_ptr<PixelBuffer> makePicture(std::uint64_t index, double seconds, QuarterTurn turn,
                                             std::string* lost) override;

private:
    struct Reader;
    std::shared_ptr<PixelBuffer> convert(const AVFrame* frame, int width, int height, QuarterTurn turn,
                                         std::string* error);

    const std::string mPath;
    std::unique_ptr<Reader> mReader;
    SensorFrameConverter mConverter;
};

} // namespace platform
