#include "platform/media/ImageCodec.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "platform/media/FFmpegLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace platform {

namespace {

constexpr std::uint8_t kPngSignature[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
constexpr std::uint8_t kJpegSignature[] = {0xFF, 0xD8, 0xFF};
// Image files beyond this are not pictures a camera path or a watermark needs.
constexpr off_t kMaxFileBytes = 256 * 1024 * 1024;

template <std::size_t N>
bool startsWith(std::span<const std::uint8_t> bytes, const std::uint8_t (&signature)[N]) {
    return bytes.size() >= N && std::memcmp(bytes.data(), signature, N) == 0;
}

// Whether a JPEG's last scan is followed by its end-of-image marker. The decoder makes up the rest
// of a picture cut short, so a truncated file would otherwise decode to a half-grey image. Markers
// cannot occur inside entropy-coded data, so searching for them is safe.
bool jpegIsComplete(std::span<const std::uint8_t> bytes) {
    std::size_t scan = bytes.size();
    for (std::size_t i = bytes.size(); i-- > 1;) {
        if (bytes[i - 1] == 0xFF && bytes[i] == 0xDA) {
            scan = i + 1;
            break;
        }
    }
    for (std::size_t i = scan; i + 1 < bytes.size(); ++i)
        if (bytes[i] == 0xFF && bytes[i + 1] == 0xD9) return true;
    return false;
}

// Converts between two packed or planar pictures of the same size with libswscale.
bool convertPicture(const std::uint8_t* const src[4], const int srcStride[4], AVPixelFormat srcFormat, int width,
                    int height, std::uint8_t* const dst[4], const int dstStride[4], AVPixelFormat dstFormat) {
    SwsContext* scaler = sws_getContext(width, height, srcFormat, width, height, dstFormat,
                                        SWS_POINT | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT, nullptr, nullptr, nullptr);
    if (!scaler) return false;
    const int rows = sws_scale(scaler, src, srcStride, 0, height, dst, dstStride);
    sws_freeContext(scaler);
    return rows > 0;
}

} // namespace

StillImageDecoder::StillImageDecoder(Codec codec) : mCodec(codec) {}

StillImageDecoder::~StillImageDecoder() {
    av_packet_free(&mPacket);
    av_frame_free(&mFrame);
    avcodec_free_context(&mContext);
}

bool StillImageDecoder::ensureOpen(std::string* error) {
    if (mContext) return true;
    ffmpeg::routeLogToConsole();
    const AVCodec* codec = avcodec_find_decoder(mCodec == Codec::Jpeg ? AV_CODEC_ID_MJPEG : AV_CODEC_ID_PNG);
    if (!codec) {
        if (error) *error = "this libavcodec has no image decoder for it";
        return false;
    }
    mContext = avcodec_alloc_context3(codec);
    mFrame = av_frame_alloc();
    mPacket = av_packet_alloc();
    if (!mContext || !mFrame || !mPacket) {
        if (error) *error = "out of memory";
        return false;
    }
    mContext->thread_count = 1; // one picture at a time, no frame delay
    mContext->max_pixels = kMaxPixels;
    if (int ret = avcodec_open2(mContext, codec, nullptr); ret < 0) {
        avcodec_free_context(&mContext);
        if (error) *error = "the image decoder does not open (" + ffmpeg::errorText(ret) + ")";
        return false;
    }
    return true;
}

const AVFrame* StillImageDecoder::decode(std::span<const std::uint8_t> bytes, std::string* error) {
    if (!ensureOpen(error)) return nullptr;
    av_frame_unref(mFrame);
    if (bytes.empty() || bytes.size() > static_cast<std::size_t>(INT32_MAX) - AV_INPUT_BUFFER_PADDING_SIZE) {
        if (error) *error = "no image data";
        return nullptr;
    }
    // The decoders read a little past the end: the packet carries zeroed padding.
    if (av_new_packet(mPacket, static_cast<int>(bytes.size())) < 0) {
        if (error) *error = "out of memory";
        return nullptr;
    }
    std::memcpy(mPacket->data, bytes.data(), bytes.size());
    int ret = avcodec_send_packet(mContext, mPacket);
    av_packet_unref(mPacket);
    if (ret >= 0) {
        ret = avcodec_receive_frame(mContext, mFrame);
        if (ret == AVERROR(EAGAIN)) {
            // Nothing came out of a complete image: drain, then make the decoder reusable.
            avcodec_send_packet(mContext, nullptr);
            ret = avcodec_receive_frame(mContext, mFrame);
            avcodec_flush_buffers(mContext);
        }
    }
    if (ret < 0 || mFrame->width <= 0 || mFrame->height <= 0) {
        if (error)
            *error = "the image does not decode (" + ffmpeg::errorText(ret < 0 ? ret : AVERROR_INVALIDDATA) + ")";
        av_frame_unref(mFrame);
        return nullptr;
    }
    // A JPEG cut short still yields a picture, grey where data is missing; the decoder flags it.
    if (mFrame->decode_error_flags || (mFrame->flags & AV_FRAME_FLAG_CORRUPT)) {
        if (error) *error = "the image is corrupt or truncated";
        av_frame_unref(mFrame);
        return nullptr;
    }
    return mFrame;
}

std::shared_ptr<PixelBuffer> decodeImage(std::span<const std::uint8_t> bytes, std::string* error) {
    StillImageDecoder::Codec codec;
    if (startsWith(bytes, kPngSignature)) {
        codec = StillImageDecoder::Codec::Png;
    } else if (startsWith(bytes, kJpegSignature)) {
        codec = StillImageDecoder::Codec::Jpeg;
        if (!jpegIsComplete(bytes)) {
            if (error) *error = "the image is truncated (no end-of-image marker)";
            return nullptr;
        }
    } else {
        if (error) *error = "not a PNG or JPEG image";
        return nullptr;
    }
    StillImageDecoder decoder(codec);
    const AVFrame* frame = decoder.decode(bytes, error);
    if (!frame) return nullptr;
    auto picture = PixelBuffer::create(frame->width, frame->height, PixelFormat::BGRA);
    if (!picture) {
        if (error) *error = "image too large";
        return nullptr;
    }
    std::uint8_t* dst[4] = {picture->planeData(0), nullptr, nullptr, nullptr};
    const int dstStride[4] = {static_cast<int>(picture->bytesPerRow(0)), 0, 0, 0};
    if (!convertPicture(frame->data, frame->linesize, static_cast<AVPixelFormat>(frame->format), frame->width,
                        frame->height, dst, dstStride, AV_PIX_FMT_BGRA)) {
        const char* name = av_get_pix_fmt_name(static_cast<AVPixelFormat>(frame->format));
        if (error) *error = std::string("images in pixel format ") + (name ? name : "?") + " are not supported";
        return nullptr;
    }
    return picture;
}

std::shared_ptr<PixelBuffer> decodeImageFile(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& reason) -> std::shared_ptr<PixelBuffer> {
        if (error) *error = path + ": " + reason;
        return nullptr;
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(std::strerror(errno));
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return fail("not a regular file");
    }
    if (info.st_size > kMaxFileBytes) {
        ::close(fd);
        return fail("file too large for an image");
    }
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(info.st_size));
    std::size_t done = 0;
    int failure = 0;
    while (done < bytes.size()) {
        ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failure = n < 0 ? errno : EIO; // an error, or the file shrank while read
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    ::close(fd);
    if (failure) return fail(std::strerror(failure));
    std::string reason;
    auto picture = decodeImage(bytes, &reason);
    return picture ? picture : fail(reason);
}

bool encodePng(const PixelBuffer& bgra, std::vector<std::uint8_t>* png, std::string* error) {
    auto fail = [error](std::string reason) {
        if (error) *error = std::move(reason);
        return false;
    };
    if (bgra.format() != PixelFormat::BGRA) return fail("a PNG is written from a BGRA picture");
    ffmpeg::routeLogToConsole();
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
    if (!codec) return fail("this libavcodec has no PNG encoder");
    AVCodecContext* context = avcodec_alloc_context3(codec);
    AVFrame* frame = av_frame_alloc();
    AVPacket* packet = av_packet_alloc();
    auto cleanUp = [&] {
        av_packet_free(&packet);
        av_frame_free(&frame);
        avcodec_free_context(&context);
    };
    if (!context || !frame || !packet) {
        cleanUp();
        return fail("out of memory");
    }
    context->width = bgra.width();
    context->height = bgra.height();
    context->pix_fmt = AV_PIX_FMT_RGBA;
    context->time_base = {1, 1};
    int ret = avcodec_open2(context, codec, nullptr);
    if (ret >= 0) {
        frame->format = AV_PIX_FMT_RGBA;
        frame->width = bgra.width();
        frame->height = bgra.height();
        ret = av_frame_get_buffer(frame, 0);
    }
    if (ret >= 0) {
        const std::uint8_t* src[4] = {bgra.planeData(0), nullptr, nullptr, nullptr};
        const int srcStride[4] = {static_cast<int>(bgra.bytesPerRow(0)), 0, 0, 0};
        if (!convertPicture(src, srcStride, AV_PIX_FMT_BGRA, bgra.width(), bgra.height(), frame->data,
                            frame->linesize, AV_PIX_FMT_RGBA))
            ret = AVERROR(EINVAL);
    }
    if (ret >= 0) ret = avcodec_send_frame(context, frame);
    if (ret >= 0) ret = avcodec_receive_packet(context, packet);
    if (ret >= 0) png->assign(packet->data, packet->data + packet->size);
    cleanUp();
    return ret >= 0 ? true : fail("PNG encoding failed (" + ffmpeg::errorText(ret) + ")");
}

bool writePngFile(const PixelBuffer& bgra, const std::string& path, std::string* error) {
    std::vector<std::uint8_t> png;
    if (!encodePng(bgra, &png, error)) return false;
    auto fail = [&](const std::string& reason) {
        if (error) *error = path + ": " + reason;
        return false;
    };
    const std::string temporary = path + ".tmp-" + std::to_string(::getpid());
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return fail(std::strerror(errno));
    std::size_t done = 0;
    int failure = 0;
    while (done < png.size()) {
        ssize_t n = ::write(fd, png.data() + done, png.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            failure = n < 0 ? errno : EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    if (::close(fd) != 0 && !failure) failure = errno;
    if (!failure && std::rename(temporary.c_str(), path.c_str()) != 0) failure = errno;
    if (failure) {
        ::unlink(temporary.c_str());
        return fail(std::strerror(failure));
    }
    return true;
}

} // namespace platform
