#include "platform/media/FileCameraDevice.h"

#include <cerrno>
#include <cmath>
#include <cstring>
#include <sys/stat.h>
#include <utility>
#include "platform/media/FFmpegLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/display.h>
}

namespace platform {

namespace {

constexpr double kTimeSlack = 0.001;   // rounding between stream stamps and the pacer's grid
constexpr double kMaxLag = 1.0;        // a playback this far behind skips ahead instead of catching up
constexpr double kDefaultFrameRate = 25;

double usableRate(AVRational rate) {
    if (rate.num <= 0 || rate.den <= 0) return 0;
    double value = av_q2d(rate);
    return value >= 1 && value <= 240 ? value : 0;
}

} // namespace

// The demuxer and decoder of one file, with the picture on show and the one after it. Times are
// scene seconds: from the first picture, growing across loops.
struct FileCameraDevice::Reader {
    AVFormatContext* format = nullptr;
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = nullptr;
    AVFrame* current = nullptr;
    AVFrame* next = nullptr;
    double currentTime = 0;
    double nextTime = 0;
    int stream = -1;
    double timeBase = 0;
    double frameRate = kDefaultFrameRate;
    QuarterTurn upright = QuarterTurn::None;
    ColorDescription color;

    // The pass (one play through the file) being decoded.
    double loopOffset = 0;
    double passStart = NAN;
    double lastRaw = NAN;
    int passPictures = 0;
    bool draining = false;
    double shift = 0; // playback seconds + shift = scene seconds

    ~Reader() {
        av_frame_free(&current);
        av_frame_free(&next);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
        avformat_close_input(&format);
    }

    bool open(const std::string& path, std::string* error) {
        auto fail = [&](const std::string& reason) {
            if (error) *error = path + ": " + reason;
            return false;
        };
        ffmpeg::routeLogToConsole();
        // Only regular files: a FIFO or a device could block the open for ever.
        struct stat info {};
        if (::stat(path.c_str(), &info) != 0) return fail(std::strerror(errno));
        if (!S_ISREG(info.st_mode)) return fail("not a regular file");
        if (int ret = avformat_open_input(&format, path.c_str(), nullptr, nullptr); ret < 0)
            return fail("cannot open (" + ffmpeg::errorText(ret) + ")");
        if (int ret = avformat_find_stream_info(format, nullptr); ret < 0)
            return fail("not a video file (" + ffmpeg::errorText(ret) + ")");
        const AVCodec* codec = nullptr;
        stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
        if (stream < 0)
            return fail(stream == AVERROR_DECODER_NOT_FOUND ? "no decoder for its video" : "no video stream");
        AVStream* video = format->streams[stream];
        // Only the video stream is read.
        for (unsigned i = 0; i < format->nb_streams; ++i)
            if (static_cast<int>(i) != stream) format->streams[i]->discard = AVDISCARD_ALL;
        timeBase = av_q2d(video->time_base);
        frameRate = usableRate(video->avg_frame_rate);
        if (frameRate == 0) frameRate = usableRate(video->r_frame_rate);
        if (frameRate == 0) frameRate = kDefaultFrameRate;
        if (const auto* matrix = reinterpret_cast<const std::int32_t*>(
                av_stream_get_side_data(video, AV_PKT_DATA_DISPLAYMATRIX, nullptr)))
            upright = quarterTurnFromDegrees(-av_display_rotation_get(matrix));

        decoder = avcodec_alloc_context3(codec);
        packet = av_packet_alloc();
        current = av_frame_alloc();
        next = av_frame_alloc();
        if (!decoder || !packet || !current || !next) return fail("out of memory");
        if (int ret = avcodec_parameters_to_context(decoder, video->codecpar); ret < 0)
            return fail("bad stream parameters (" + ffmpeg::errorText(ret) + ")");
#ifdef ZQ_TSAN
        // libavcodec is not instrumented: the reference counts its frame threads share look like
        // races to ThreadSanitizer, so its builds decode on one thread.
        decoder->thread_count = 1;
#else
        decoder->thread_count = 2;
#endif
        if (int ret = avcodec_open2(decoder, codec, nullptr); ret < 0)
            return fail("its decoder does not open (" + ffmpeg::errorText(ret) + ")");

        std::string reason;
        if (!decodeNext(current, &currentTime, &reason) || !decodeNext(next, &nextTime, &reason))
            return fail("no picture decodes (" + reason + ")");
        if (current->width <= 0 || current->height <= 0) return fail("pictures without a size");
        color = describeColor(current->format, current->color_range, current->colorspace, current->width,
                              current->height);
        return true;
    }

    // Decodes the next picture, going back to the start at the end of the file. False with the
    // reason when the file gives no more.
    bool decodeNext(AVFrame* frame, double* time, std::string* lost) {
        for (;;) {
            int ret = avcodec_receive_frame(decoder, frame);
            if (ret >= 0) {
                const std::int64_t stamp = frame->best_effort_timestamp;
                double raw = stamp != AV_NOPTS_VALUE ? static_cast<double>(stamp) * timeBase
                                                     : (std::isnan(lastRaw) ? 0 : lastRaw + 1 / frameRate);
                // Within a pass, time only goes forward.
                if (!std::isnan(lastRaw) && raw <= lastRaw) raw = lastRaw + 1 / frameRate;
                if (std::isnan(passStart)) passStart = raw;
                lastRaw = raw;
                ++passPictures;
                *time = raw - passStart + loopOffset;
                return true;
            }
            if (ret == AVERROR_EOF) {
                if (passPictures == 0) {
                    *lost = "the file gives no pictures any more";
                    return false;
                }
                loopOffset += lastRaw - passStart + 1 / frameRate;
                passStart = lastRaw = NAN;
                passPictures = 0;
                const AVStream* video = format->streams[stream];
                const std::int64_t start = video->start_time != AV_NOPTS_VALUE ? video->start_time : 0;
                if (int seek = av_seek_frame(format, stream, start, AVSEEK_FLAG_BACKWARD); seek < 0) {
                    *lost = "cannot go back to the start (" + ffmpeg::errorText(seek) + ")";
                    return false;
                }
                avcodec_flush_buffers(decoder);
                draining = false;
                continue;
            }
            if (ret != AVERROR(EAGAIN) || draining) {
                *lost = "decoding failed (" + ffmpeg::errorText(ret) + ")";
                return false;
            }
            ret = av_read_frame(format, packet);
            if (ret == AVERROR_EOF) {
                avcodec_send_packet(decoder, nullptr); // drain what the decoder holds
                draining = true;
                continue;
            }
            if (ret < 0) {
                *lost = "the file can no longer be read (" + ffmpeg::errorText(ret) + ")";
                return false;
            }
            // A packet that does not decode is skipped; a pass without any picture ends playback.
            if (packet->stream_index == stream) avcodec_send_packet(decoder, packet);
            av_packet_unref(packet);
        }
    }

    // The picture due `seconds` into playback; null with *lost set when the file gives no more.
    const AVFrame* pictureAt(double seconds, std::string* lost) {
        double t = seconds + shift;
        if (t - nextTime > kMaxLag) { // stalled: go on from the next picture
            shift -= t - nextTime;
            t = nextTime;
        }
        while (nextTime <= t + kTimeSlack) {
            std::swap(current, next);
            currentTime = nextTime;
            av_frame_unref(next);
            if (!decodeNext(next, &nextTime, lost)) return nullptr;
        }
        return current;
    }
};

FileCameraDevice::FileCameraDevice(std::string path, CameraPosition position, std::shared_ptr<PacerClock> clock)
    : PacedCameraDevice(position, "zq.camera.file", std::move(clock)), mPath(std::move(path)) {}

FileCameraDevice::~FileCameraDevice() { stop(); }

bool FileCameraDevice::openSource(int width, int height, std::string* error) {
    auto reader = std::make_unique<Reader>();
    if (!reader->open(mPath, error)) return false;
    mReader = std::move(reader);
    // A picture the converter cannot take fails here rather than mid-run.
    std::string reason;
    if (!convert(mReader->current, width, height, QuarterTurn::None, &reason)) {
        mReader.reset();
        if (error) *error = mPath + ": " + reason;
        return false;
    }
    return true;
}

double FileCameraDevice::nativeFrameRate() const { return mReader ? mReader->frameRate : kDefaultFrameRate; }

ColorDescription FileCameraDevice::color() const { return mReader ? mReader->color : ColorDescription{}; }

void FileCameraDevice::restart() {
    if (mReader) mReader->shift = mReader->currentTime;
}

std::shared_ptr<PixelBuffer> FileCameraDevice::makePicture(std::uint64_t, double seconds, QuarterTurn turn,
                                                           std::string* lost) {
    const AVFrame* frame = mReader->pictureAt(seconds, lost);
    if (!frame) return nullptr;
    std::string error;
    auto output = convert(frame, width(), height(), mReader->upright + turn, &error);
    if (!output) *lost = error;
    return output;
}

std::shared_ptr<PixelBuffer> FileCameraDevice::convert(const AVFrame* frame, int width, int height, QuarterTurn turn,
                                                       std::string* error) {
    return mConverter.convert(sourcePicture(*frame), width, height, turn, error);
}

} // namespace platform
