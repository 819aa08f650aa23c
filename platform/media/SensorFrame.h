#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "ZQLiveKit/PixelBuffer.h"
#include "platform/media/CameraDevice.h"

struct AVFrame;
struct SwsContext;

namespace platform {

class PixelBufferPool;

// Clockwise quarter turns.
enum class QuarterTurn { None = 0, Right = 1, Half = 2, Left = 3 };

inline QuarterTurn operator+(QuarterTurn a, QuarterTurn b) {
    return static_cast<QuarterTurn>((static_cast<int>(a) + static_cast<int>(b)) % 4);
}
inline bool swapsSides(QuarterTurn turn) { return turn == QuarterTurn::Right || turn == QuarterTurn::Left; }

// The turn that makes an upright scene look as the sensor at `position` sees it with the phone held
// in `orientation`: the inverse of the camera's (unmirrored) rotation table, so that the table
// turns the picture upright again.
QuarterTurn sensorTurn(CameraPosition position, std::int64_t orientation);

// A turn by a whole number of degrees clockwise, rounded to the nearest quarter.
QuarterTurn quarterTurnFromDegrees(double clockwiseDegrees);

// A picture as a source gives it, in any pixel format libswscale reads (an AVPixelFormat value).
struct SourcePicture {
    int format = -1;
    const std::uint8_t* data[4] = {};
    int linesize[4] = {};
    int width = 0;
    int height = 0;
};

// A decoded libav picture as a source picture (pointing into it).
SourcePicture sourcePicture(const AVFrame& frame);

// Range and matrix of YCbCr pictures.
struct ColorDescription {
    bool fullRange = false;
    YCbCrMatrix matrix = YCbCrMatrix::BT601;
};

// What the NV12 pictures made from a source of this pixel format and colour tags carry. The
// conversion keeps a YCbCr source's range and matrix; RGB sources come out as video range BT.601
// (libswscale's conversion). Untagged YCbCr: video range (full range for the JPEG "J" formats);
// BT.709 for HD pictures (the longer side at least 1280 or the shorter above 576), else BT.601.
// `colorRange` and `colorSpace` are AVColorRange / AVColorSpace values.
ColorDescription describeColor(int pixelFormat, int colorRange, int colorSpace, int width, int height);

// The largest rectangle of the shape shapeWidth:shapeHeight centred in a width x height picture,
// with its origin on multiples of alignX / alignY (chroma subsampling).
struct CropRect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    friend bool operator==(const CropRect&, const CropRect&) = default;
};
CropRect centreCrop(int width, int height, int shapeWidth, int shapeHeight, int alignX = 2, int alignY = 2);

// Turns an NV12 picture; `to` must have the turned geometry (sides swapped for a quarter turn).
void turnNv12(const PixelBuffer& from, PixelBuffer& to, QuarterTurn turn);

// Makes sensor pictures from source pictures: centre-crops to the output's shape (as seen after the
// turn), scales with libswscale, turns, and writes NV12 into pooled buffers. Keeps its scaler and
// pools while the geometry stays. One thread at a time.
class SensorFrameConverter {
public:
    SensorFrameConverter();
    ~SensorFrameConverter();
    SensorFrameConverter(const SensorFrameConverter&) = delete;
    SensorFrameConverter& operator=(const SensorFrameConverter&) = delete;

    // `turn` applies to the picture as given. Null, with a reason, for a format libswscale does not
    // read or a bad size.
    std::shared_ptr<PixelBuffer> convert(const SourcePicture& picture, int width, int height, QuarterTurn turn,
                                         std::string* error);

private:
    SwsContext* mScaler = nullptr;
    std::unique_ptr<PixelBufferPool> mUprightPool; // scaled, before the turn
    std::unique_ptr<PixelBufferPool> mOutputPool;
};

// An NV12 picture as BGRA, converted with the given range and matrix (for snapshots and checks).
// Null for a picture that is not NV12.
std::shared_ptr<PixelBuffer> nv12ToBgra(const PixelBuffer& nv12, ColorDescription color);

} // namespace platform
