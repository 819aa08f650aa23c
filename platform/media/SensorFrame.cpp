#include "platform/media/SensorFrame.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include "platform/media/PixelBufferPool.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace platform {

QuarterTurn sensorTurn(CameraPosition position, std::int64_t orientation) {
    // The rotation table turns a back camera's picture right in portrait, left upside down, not at
    // all in landscape right and half way in landscape left; a front camera's the same way in
    // portrait and the other way round in landscape. The sensor sees the scene turned back.
    const bool back = position == CameraPosition::Back;
    switch (orientation) {
    case 1: return QuarterTurn::Left;
    case 2: return QuarterTurn::Right;
    case 3: return back ? QuarterTurn::None : QuarterTurn::Half;
    case 4: return back ? QuarterTurn::Half : QuarterTurn::None;
    default: return QuarterTurn::None;
    }
}

QuarterTurn quarterTurnFromDegrees(double clockwiseDegrees) {
    if (!std::isfinite(clockwiseDegrees)) return QuarterTurn::None;
    long quarters = std::lround(clockwiseDegrees / 90.0) % 4;
    if (quarters < 0) quarters += 4;
    return static_cast<QuarterTurn>(quarters);
}

SourcePicture sourcePicture(const AVFrame& frame) {
    SourcePicture picture;
    picture.format = frame.format;
    picture.width = frame.width;
    picture.height = frame.height;
    for (int p = 0; p < 4; ++p) {
        picture.data[p] = frame.data[p];
        picture.linesize[p] = frame.linesize[p];
    }
    return picture;
}

ColorDescription describeColor(int pixelFormat, int colorRange, int colorSpace, int width, int height) {
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(pixelFormat));
    if (desc && (desc->flags & AV_PIX_FMT_FLAG_RGB)) return {false, YCbCrMatrix::BT601};
    ColorDescription color;
    switch (pixelFormat) {
    case AV_PIX_FMT_YUVJ420P:
    case AV_PIX_FMT_YUVJ422P:
    case AV_PIX_FMT_YUVJ444P:
    case AV_PIX_FMT_YUVJ440P:
    case AV_PIX_FMT_YUVJ411P: color.fullRange = true; break;
    default: color.fullRange = colorRange == AVCOL_RANGE_JPEG; break;
    }
    switch (colorSpace) {
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
    case AVCOL_SPC_FCC: color.matrix = YCbCrMatrix::BT601; break;
    case AVCOL_SPC_UNSPECIFIED:
    case AVCOL_SPC_RESERVED: {
        const int longer = std::max(width, height), shorter = std::min(width, height);
        color.matrix = longer >= 1280 || shorter > 576 ? YCbCrMatrix::BT709 : YCbCrMatrix::BT601;
        break;
    }
    // BT.709 and the wide-gamut matrices (BT.2020, SMPTE 240M): BT.709 is the nearest we carry.
    default: color.matrix = YCbCrMatrix::BT709; break;
    }
    return color;
}

CropRect centreCrop(int width, int height, int shapeWidth, int shapeHeight, int alignX, int alignY) {
    CropRect crop{0, 0, width, height};
    if (width <= 0 || height <= 0 || shapeWidth <= 0 || shapeHeight <= 0) return crop;
    // Compare width:height with shapeWidth:shapeHeight in integers.
    const long long lhs = static_cast<long long>(width) * shapeHeight;
    const long long rhs = static_cast<long long>(height) * shapeWidth;
    if (lhs > rhs) { // too wide: keep the full height
        crop.width = static_cast<int>(std::llround(static_cast<double>(height) * shapeWidth / shapeHeight));
        crop.width = std::clamp(crop.width, 1, width);
        crop.x = (width - crop.width) / 2 / alignX * alignX;
    } else if (lhs < rhs) { // too tall: keep the full width
        crop.height = static_cast<int>(std::llround(static_cast<double>(width) * shapeHeight / shapeWidth));
        crop.height = std::clamp(crop.height, 1, height);
        crop.y = (height - crop.height) / 2 / alignY * alignY;
    }
    return crop;
}

namespace {

// Turns one plane of w x h elements of type T; tiles keep both sides in cache.
template <typename T>
void turnPlane(const std::uint8_t* src, std::size_t srcStride, int w, int h, std::uint8_t* dst, std::size_t dstStride,
               QuarterTurn turn) {
    constexpr int kTile = 32;
    auto at = [](const std::uint8_t* base, std::size_t stride, int x, int y) {
        return reinterpret_cast<const T*>(base + static_cast<std::size_t>(y) * stride) + x;
    };
    auto out = [](std::uint8_t* base, std::size_t stride, int x, int y) {
        return reinterpret_cast<T*>(base + static_cast<std::size_t>(y) * stride) + x;
    };
    for (int ty = 0; ty < h; ty += kTile) {
        for (int tx = 0; tx < w; tx += kTile) {
            const int yEnd = std::min(ty + kTile, h), xEnd = std::min(tx + kTile, w);
            for (int y = ty; y < yEnd; ++y) {
                const T* row = at(src, srcStride, 0, y);
                for (int x = tx; x < xEnd; ++x) {
                    switch (turn) {
                    case QuarterTurn::None: *out(dst, dstStride, x, y) = row[x]; break;
                    case QuarterTurn::Right: *out(dst, dstStride, h - 1 - y, x) = row[x]; break;
                    case QuarterTurn::Half: *out(dst, dstStride, w - 1 - x, h - 1 - y) = row[x]; break;
                    case QuarterTurn::Left: *out(dst, dstStride, y, w - 1 - x) = row[x]; break;
                    }
                }
            }
        }
    }
}

// The pixel formats the kit treats as their plain counterparts, keeping the range as declared
// (libswscale would otherwise expand or squeeze the range on the way to NV12).
AVPixelFormat withoutRangeVariant(AVPixelFormat format) {
    switch (format) {
    case AV_PIX_FMT_YUVJ420P: return AV_PIX_FMT_YUV420P;
    case AV_PIX_FMT_YUVJ422P: return AV_PIX_FMT_YUV422P;
    case AV_PIX_FMT_YUVJ444P: return AV_PIX_FMT_YUV444P;
    case AV_PIX_FMT_YUVJ440P: return AV_PIX_FMT_YUV440P;
    case AV_PIX_FMT_YUVJ411P: return AV_PIX_FMT_YUV411P;
    default: return format;
    }
}

} // namespace

void turnNv12(const PixelBuffer& from, PixelBuffer& to, QuarterTurn turn) {
    const int w = from.width(), h = from.height();
    turnPlane<std::uint8_t>(from.planeData(0), from.bytesPerRow(0), w, h, to.planeData(0), to.bytesPerRow(0), turn);
    turnPlane<std::uint16_t>(from.planeData(1), from.bytesPerRow(1), (w + 1) / 2, (h + 1) / 2, to.planeData(1),
                             to.bytesPerRow(1), turn);
}

SensorFrameConverter::SensorFrameConverter() = default;

SensorFrameConverter::~SensorFrameConverter() { sws_freeContext(mScaler); }

std::shared_ptr<PixelBuffer> SensorFrameConverter::convert(const SourcePicture& picture, int width, int height,
                                                           QuarterTurn turn, std::string* error) {
    auto fail = [error](std::string reason) -> std::shared_ptr<PixelBuffer> {
        if (error) *error = std::move(reason);
        return nullptr;
    };
    const auto format = withoutRangeVariant(static_cast<AVPixelFormat>(picture.format));
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(format);
    if (!desc || (desc->flags & (AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BITSTREAM)) || !sws_isSupportedInput(format))
        return fail(std::string("pictures in pixel format ") + (desc ? desc->name : "?") + " cannot be converted");
    if (!PixelBuffer::isValidSize(picture.width, picture.height) || !PixelBuffer::isValidSize(width, height))
        return fail("bad picture size " + std::to_string(picture.width) + "x" + std::to_string(picture.height));

    // What the sensor frame looks like before the turn.
    const bool swap = swapsSides(turn);
    const int uprightWidth = swap ? height : width, uprightHeight = swap ? width : height;
    const bool rgb = desc->flags & AV_PIX_FMT_FLAG_RGB;
    const bool palette = desc->flags & AV_PIX_FMT_FLAG_PAL;
    const int alignX = rgb ? 1 : 1 << desc->log2_chroma_w, alignY = rgb ? 1 : 1 << desc->log2_chroma_h;
    const CropRect crop = centreCrop(picture.width, picture.height, uprightWidth, uprightHeight, alignX, alignY);

    // Each plane starts at the crop's corner.
    const std::uint8_t* planes[4] = {};
    int strides[4] = {};
    for (int p = 0; p < 4; ++p) {
        planes[p] = picture.data[p];
        strides[p] = picture.linesize[p];
        if (!planes[p] || (palette && p == 1)) continue;
        for (int c = 0; c < desc->nb_components; ++c) {
            const AVComponentDescriptor& comp = desc->comp[c];
            if (comp.plane != p) continue;
            const bool chroma = !rgb && (c == 1 || c == 2);
            const int x = chroma ? crop.x >> desc->log2_chroma_w : crop.x;
            const int y = chroma ? crop.y >> desc->log2_chroma_h : crop.y;
            planes[p] += static_cast<std::ptrdiff_t>(y) * strides[p] + static_cast<std::ptrdiff_t>(x) * comp.step;
            break;
        }
    }

    auto ensurePool = [](std::unique_ptr<PixelBufferPool>& pool, int w, int h) {
        if (!pool || pool->width() != w || pool->height() != h)
            pool = std::make_unique<PixelBufferPool>(w, h, PixelFormat::NV12);
        return pool->take();
    };
    auto output = ensurePool(mOutputPool, width, height);
    auto scaled = turn == QuarterTurn::None ? output : ensurePool(mUprightPool, uprightWidth, uprightHeight);
    if (!output || !scaled) return fail("out of memory for pictures");

    if (format == AV_PIX_FMT_NV12 && crop.width == uprightWidth && crop.height == uprightHeight) {
        // NV12 at the right size is copied as it is (libswscale 6 also drops the chroma plane when
        // asked to copy NV12 to NV12 unscaled).
        for (int p = 0; p < 2; ++p)
            for (int row = 0; row < scaled->planeHeight(p); ++row)
                std::memcpy(scaled->planeData(p) + row * scaled->bytesPerRow(p),
                            planes[p] + static_cast<std::ptrdiff_t>(row) * strides[p],
                            static_cast<std::size_t>((uprightWidth + 1) / 2 * 2));
    } else {
        mScaler = sws_getCachedContext(mScaler, crop.width, crop.height, format, uprightWidth, uprightHeight,
                                       AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
        if (!mScaler) return fail("no scaler for this picture");
        std::uint8_t* dst[4] = {scaled->planeData(0), scaled->planeData(1), nullptr, nullptr};
        int dstStride[4] = {static_cast<int>(scaled->bytesPerRow(0)), static_cast<int>(scaled->bytesPerRow(1)), 0,
                            0};
        if (sws_scale(mScaler, planes, strides, 0, crop.height, dst, dstStride) <= 0) return fail("scaling failed");
    }
    if (turn != QuarterTurn::None) turnNv12(*scaled, *output, turn);
    return output;
}

std::shared_ptr<PixelBuffer> nv12ToBgra(const PixelBuffer& nv12, ColorDescription color) {
    if (nv12.format() != PixelFormat::NV12) return nullptr;
    auto bgra = PixelBuffer::create(nv12.width(), nv12.height(), PixelFormat::BGRA);
    if (!bgra) return nullptr;
    SwsContext* scaler = sws_getContext(nv12.width(), nv12.height(), AV_PIX_FMT_NV12, nv12.width(), nv12.height(),
                                        AV_PIX_FMT_BGRA, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                        nullptr, nullptr, nullptr);
    if (!scaler) return nullptr;
    const int* coefficients =
        sws_getCoefficients(color.matrix == YCbCrMatrix::BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(scaler, coefficients, color.fullRange ? 1 : 0, sws_getCoefficients(SWS_CS_DEFAULT), 1, 0,
                             1 << 16, 1 << 16);
    const std::uint8_t* src[4] = {nv12.planeData(0), nv12.planeData(1), nullptr, nullptr};
    int srcStride[4] = {static_cast<int>(nv12.bytesPerRow(0)), static_cast<int>(nv12.bytesPerRow(1)), 0, 0};
    std::uint8_t* dst[4] = {bgra->planeData(0), nullptr, nullptr, nullptr};
    int dstStride[4] = {static_cast<int>(bgra->bytesPerRow(0)), 0, 0, 0};
    const int rows = sws_scale(scaler, src, srcStride, 0, nv12.height(), dst, dstStride);
    sws_freeContext(scaler);
    return rows > 0 ? bgra : nullptr;
}

} // namespace platform
