#include "platform/media/FFmpegH264Encoder.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include "ZQPlatform/Console.h"
#include "platform/media/FFmpegLog.h"
#include "platform/media/H264EncoderProbe.h"
#include "platform/media/H264NalUnits.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/error.h>
#include <libavutil/hwcontext.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace platform {

using ffmpeg::errorText;

namespace {

constexpr const char* kDefaultX264Preset = "veryfast";

bool takesFormat(const AVCodec* codec, AVPixelFormat format) {
    if (!codec->pix_fmts) return false;
    for (const AVPixelFormat* p = codec->pix_fmts; *p != AV_PIX_FMT_NONE; ++p)
        if (*p == format) return true;
    return false;
}

// An option a codec may lack (each back end has its own set): a missing one is not an error.
void setOption(AVCodecContext* context, const char* name, const char* value) {
    av_opt_set(context->priv_data, name, value, 0);
}

const char* profileName(H264ProfileLevel profile) {
    switch (profile) {
    case H264ProfileLevel::BaselineAutoLevel:
    case H264ProfileLevel::Baseline41: return "baseline";
    case H264ProfileLevel::MainAutoLevel: return "main";
    case H264ProfileLevel::HighAutoLevel: return "high";
    }
    return "main";
}

int profileValue(H264ProfileLevel profile, bool vaapi) {
    switch (profile) {
    // VA-API drivers only offer the constrained form of Baseline.
    case H264ProfileLevel::BaselineAutoLevel:
    case H264ProfileLevel::Baseline41:
        return vaapi ? FF_PROFILE_H264_CONSTRAINED_BASELINE : FF_PROFILE_H264_BASELINE;
    case H264ProfileLevel::MainAutoLevel: return FF_PROFILE_H264_MAIN;
    case H264ProfileLevel::HighAutoLevel: return FF_PROFILE_H264_HIGH;
    }
    return FF_PROFILE_UNKNOWN;
}

void releasePixelBuffer(void* opaque, std::uint8_t*) { delete static_cast<std::shared_ptr<PixelBuffer>*>(opaque); }

} // namespace

std::unique_ptr<FFmpegH264Encoder> FFmpegH264Encoder::open(const std::string& codecName, int width, int height,
                                                           const H264EncoderSettings& settings,
                                                           std::string* reason) {
    ffmpeg::routeLogToConsole();
    auto fail = [&](std::string why) -> std::unique_ptr<FFmpegH264Encoder> {
        if (reason) *reason = codecName + ": " + std::move(why);
        return nullptr;
    };
    const AVCodec* codec = avcodec_find_encoder_by_name(codecName.c_str());
    if (!codec) return fail("not in this libavcodec");
    // 4:2:0 needs even sides; an odd column or row is scaled away.
    width &= ~1;
    height &= ~1;
    if (width < 2 || height < 2) return fail("picture too small");

    std::unique_ptr<FFmpegH264Encoder> encoder(new FFmpegH264Encoder());
    encoder->mName = codecName;
    encoder->mWidth = width;
    encoder->mHeight = height;
    const bool vaapi = codecName == "h264_vaapi";

    AVCodecContext* c = avcodec_alloc_context3(codec);
    if (!c) return fail("out of memory");
    encoder->mContext = c;
    c->width = width;
    c->height = height;
    c->time_base = AVRational{1, kTimeBase};
    if (settings.expectedFrameRate > 0) c->framerate = av_d2q(settings.expectedFrameRate, 100000);
    // Without a limit the codec keeps its own default distance.
    if (auto interval = settings.effectiveKeyFrameInterval(); interval > 0)
        c->gop_size = static_cast<int>(std::min<std::int64_t>(interval, INT_MAX));
    if (settings.averageBitRate > 0) c->bit_rate = settings.averageBitRate;
    if (auto peak = settings.peakBitRate(); peak > 0) {
        c->rc_max_rate = peak;
        c->rc_buffer_size = static_cast<int>(std::min<std::int64_t>(settings.rateBufferBits(), INT_MAX));
    }
    if (!settings.allowFrameReordering) c->max_b_frames = 0;
    // Parameter sets travel beside the pictures, not inside them.
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    c->thread_count = 0;
    // swscale converts with BT.601 limited-range coefficients; say so in the stream.
    c->colorspace = AVCOL_SPC_SMPTE170M;
    c->color_primaries = AVCOL_PRI_SMPTE170M;
    c->color_trc = AVCOL_TRC_SMPTE170M;
    c->color_range = AVCOL_RANGE_MPEG;
    if (settings.profileLevel) {
        c->profile = profileValue(*settings.profileLevel, vaapi);
        if (!vaapi) setOption(c, "profile", profileName(*settings.profileLevel));
        if (*settings.profileLevel == H264ProfileLevel::Baseline41) c->level = 41;
    }
    if (settings.usesCabac())
        setOption(c, "coder", "cabac");
    else if (settings.entropyMode == H264EntropyMode::CAVLC)
        setOption(c, "coder", "cavlc");

    if (codecName == "libx264") {
        std::string preset = settings.speedPreset;
        if (preset.empty()) {
            const char* env = std::getenv("ZQLIVEKIT_X264_PRESET");
            preset = env && *env ? env : kDefaultX264Preset;
        }
        if (av_opt_set(c->priv_data, "preset", preset.c_str(), 0) < 0) return fail("unknown preset " + preset);
        if (settings.realTime) {
            setOption(c, "tune", "zerolatency");
            // Zero-latency tuning splits each picture into one slice per thread, and every slice is
            // its own NAL unit; the kit sends one NAL unit per video message, so a picture must be
            // one slice. Frame threads keep the cores busy instead, at a delay of a frame or two.
            setOption(c, "x264-params", "sliced-threads=0");
        }
        setOption(c, "forced-idr", "1");
    } else if (codecName == "h264_nvenc") {
        if (settings.realTime) {
            setOption(c, "tune", "ll");
            setOption(c, "zerolatency", "1");
            setOption(c, "delay", "0");
        }
        setOption(c, "forced-idr", "1");
    }

    if (vaapi) {
        int ret = av_hwdevice_ctx_create(&encoder->mHardwareDevice, AV_HWDEVICE_TYPE_VAAPI, nullptr, nullptr, 0);
        if (ret < 0) return fail("no VA-API device (" + errorText(ret) + ")");
        encoder->mHardwareFrames = av_hwframe_ctx_alloc(encoder->mHardwareDevice);
        if (!encoder->mHardwareFrames) return fail("out of memory");
        auto* frames = reinterpret_cast<AVHWFramesContext*>(encoder->mHardwareFrames->data);
        frames->format = AV_PIX_FMT_VAAPI;
        frames->sw_format = AV_PIX_FMT_NV12;
        frames->width = width;
        frames->height = height;
        frames->initial_pool_size = 8;
        if ((ret = av_hwframe_ctx_init(encoder->mHardwareFrames)) < 0)
            return fail("no VA-API frames (" + errorText(ret) + ")");
        c->hw_frames_ctx = av_buffer_ref(encoder->mHardwareFrames);
        c->pix_fmt = AV_PIX_FMT_VAAPI;
        encoder->mPixelFormat = AV_PIX_FMT_NV12;
    } else {
        AVPixelFormat format = takesFormat(codec, AV_PIX_FMT_NV12)      ? AV_PIX_FMT_NV12
                               : takesFormat(codec, AV_PIX_FMT_YUV420P) ? AV_PIX_FMT_YUV420P
                                                                        : AV_PIX_FMT_NONE;
        if (format == AV_PIX_FMT_NONE) return fail("takes neither NV12 nor YUV420P");
        c->pix_fmt = format;
        encoder->mPixelFormat = format;
    }

    if (int ret = avcodec_open2(c, codec, nullptr); ret < 0) return fail("does not open (" + errorText(ret) + ")");

    auto sets = h264::parameterSetsFromExtradata({c->extradata, static_cast<std::size_t>(std::max(0, c->extradata_size))});
    encoder->takeParameterSets(sets.sps, sets.pps);

    encoder->mPacket = av_packet_alloc();
    encoder->mConverted = av_frame_alloc();
    if (!encoder->mPacket || !encoder->mConverted) return fail("out of memory");
    encoder->mConverted->format = encoder->mPixelFormat;
    encoder->mConverted->width = width;
    encoder->mConverted->height = height;
    if (av_frame_get_buffer(encoder->mConverted, 0) < 0) return fail("out of memory");
    return encoder;
}

std::unique_ptr<FFmpegH264Encoder> FFmpegH264Encoder::openPreferred(int width, int height,
                                                                    const H264EncoderSettings& settings) {
    std::vector<std::string> names{H264EncoderProbe::choice().name};
    if (names.front() != H264EncoderProbe::kSoftwareEncoder) names.push_back(H264EncoderProbe::kSoftwareEncoder);
    for (const auto& name : names) {
        std::string reason;
        if (auto encoder = open(name, width, height, settings, &reason)) return encoder;
        Console::log("H.264 encoder " + reason);
    }
    return nullptr;
}

FFmpegH264Encoder::~FFmpegH264Encoder() {
    avcodec_free_context(&mContext);
    av_buffer_unref(&mHardwareFrames);
    av_buffer_unref(&mHardwareDevice);
    sws_freeContext(mScaler);
    av_frame_free(&mConverted);
    av_packet_free(&mPacket);
}

bool FFmpegH264Encoder::supportsLiveRateChange() const {
    // Both wrappers compare the context's rate fields with what they run at before every picture.
    return mName == "libx264" || mName == "h264_nvenc";
}

void FFmpegH264Encoder::updateRate(const H264EncoderSettings& settings) {
    mDeferredPeak = 0;
    const std::int64_t peak = settings.peakBitRate();
    const int buffer = static_cast<int>(std::min<std::int64_t>(settings.rateBufferBits(), INT_MAX));
    if (settings.averageBitRate > 0 && peak > 0 && peak < mContext->bit_rate) {
        // libx264 takes a new peak before a new average; a peak below the running average would make
        // it fall back to constant rate for a picture. So the average goes first, the peak a picture later.
        mContext->bit_rate = settings.averageBitRate;
        mDeferredPeak = peak;
        mDeferredBuffer = buffer;
        return;
    }
    if (settings.averageBitRate > 0) mContext->bit_rate = settings.averageBitRate;
    if (peak > 0) {
        mContext->rc_max_rate = peak;
        mContext->rc_buffer_size = buffer;
    }
}

bool FFmpegH264Encoder::prepareFrame(const std::shared_ptr<PixelBuffer>& buffer, AVFrame*& out) {
    out = av_frame_alloc();
    if (!out) return false;
    const bool sameSize = buffer->width() == mWidth && buffer->height() == mHeight;
    if (sameSize && buffer->format() == PixelFormat::NV12 && mPixelFormat == AV_PIX_FMT_NV12) {
        // Already what the codec takes: hand it the buffer's planes, keeping the buffer alive for as
        // long as the codec holds the frame.
        auto* hold = new std::shared_ptr<PixelBuffer>(buffer);
        std::size_t size = buffer->bytesPerRow(0) * buffer->planeHeight(0) + buffer->bytesPerRow(1) * buffer->planeHeight(1);
        out->buf[0] = av_buffer_create(const_cast<std::uint8_t*>(buffer->planeData(0)), static_cast<int>(size),
                                       releasePixelBuffer, hold, AV_BUFFER_FLAG_READONLY);
        if (!out->buf[0]) {
            delete hold;
            av_frame_free(&out);
            return false;
        }
        out->format = AV_PIX_FMT_NV12;
        out->width = mWidth;
        out->height = mHeight;
        for (int plane = 0; plane < 2; ++plane) {
            out->data[plane] = buffer->planeData(plane);
            out->linesize[plane] = static_cast<int>(buffer->bytesPerRow(plane));
        }
        return true;
    }

    AVPixelFormat source = buffer->format() == PixelFormat::BGRA ? AV_PIX_FMT_BGRA : AV_PIX_FMT_NV12;
    mScaler = sws_getCachedContext(mScaler, buffer->width(), buffer->height(), source, mWidth, mHeight,
                                   static_cast<AVPixelFormat>(mPixelFormat), SWS_BILINEAR, nullptr, nullptr, nullptr);
    // The codec may still hold the last picture; then this gives the frame fresh memory.
    if (!mScaler || av_frame_make_writable(mConverted) < 0) {
        av_frame_free(&out);
        return false;
    }
    const std::uint8_t* planes[4] = {buffer->planeData(0), buffer->planeData(1), nullptr, nullptr};
    int strides[4] = {static_cast<int>(buffer->bytesPerRow(0)), static_cast<int>(buffer->bytesPerRow(1)), 0, 0};
    sws_scale(mScaler, planes, strides, 0, buffer->height(), mConverted->data, mConverted->linesize);
    if (av_frame_ref(out, mConverted) < 0) {
        av_frame_free(&out);
        return false;
    }
    return true;
}

MediaStatus FFmpegH264Encoder::encode(const std::shared_ptr<PixelBuffer>& buffer, std::int64_t pts,
                                      bool forceKeyFrame, const PictureSink& sink) {
    if (!buffer) return MediaStatus::InvalidArgument;
    AVFrame* frame = nullptr;
    if (!prepareFrame(buffer, frame)) return MediaStatus::EncoderFailed;
    frame->pts = pts;
    frame->pict_type = forceKeyFrame ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    if (mHardwareFrames) {
        AVFrame* surface = av_frame_alloc();
        bool ok = surface && av_hwframe_get_buffer(mHardwareFrames, surface, 0) >= 0 &&
                  av_hwframe_transfer_data(surface, frame, 0) >= 0 && av_frame_copy_props(surface, frame) >= 0;
        av_frame_free(&frame);
        if (!ok) {
            av_frame_free(&surface);
            return MediaStatus::EncoderFailed;
        }
        frame = surface;
    }
    int ret = avcodec_send_frame(mContext, frame);
    if (mDeferredPeak > 0 && ret >= 0) {
        mContext->rc_max_rate = mDeferredPeak;
        mContext->rc_buffer_size = mDeferredBuffer;
        mDeferredPeak = 0;
    }
    if (ret == AVERROR(EAGAIN)) {
        // The codec wants its output taken first.
        if (receive(sink) != MediaStatus::Ok) {
            av_frame_free(&frame);
            return MediaStatus::EncoderFailed;
        }
        ret = avcodec_send_frame(mContext, frame);
    }
    av_frame_free(&frame);
    if (ret < 0) return MediaStatus::EncoderFailed;
    return receive(sink);
}

MediaStatus FFmpegH264Encoder::drain(const PictureSink& sink) {
    int ret = avcodec_send_frame(mContext, nullptr);
    if (ret < 0 && ret != AVERROR_EOF) return MediaStatus::EncoderFailed;
    return receive(sink);
}

MediaStatus FFmpegH264Encoder::receive(const PictureSink& sink) {
    for (;;) {
        int ret = avcodec_receive_packet(mContext, mPacket);
        if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return MediaStatus::Ok;
        if (ret < 0) return MediaStatus::EncoderFailed;
        Picture picture;
        picture.isKeyFrame = (mPacket->flags & AV_PKT_FLAG_KEY) != 0;
        picture.pts = mPacket->pts;
        // The packet moves into a holder that its NAL units share: they reach the publisher without
        // a copy, and the codec's buffer is freed with the last frame made from it.
        std::shared_ptr<AVPacket> packet(av_packet_alloc(), [](AVPacket* p) { av_packet_free(&p); });
        if (!packet) return MediaStatus::EncoderFailed;
        av_packet_move_ref(packet.get(), mPacket);
        if (!packet->buf && av_packet_make_refcounted(packet.get()) < 0) return MediaStatus::EncoderFailed;
        ZQBytes whole(packet, packet->data, static_cast<std::size_t>(packet->size));
        std::vector<std::vector<std::uint8_t>> sps, pps;
        for (auto nal : h264::splitAnnexB({whole.data(), whole.size()})) {
            switch (h264::nalType(nal)) {
            case h264::kNalSps: sps.emplace_back(nal.begin(), nal.end()); break;
            case h264::kNalPps: pps.emplace_back(nal.begin(), nal.end()); break;
            case h264::kNalAccessUnitDelimiter: break;
            default: picture.nalUnits.push_back(whole.slice(static_cast<std::size_t>(nal.data() - whole.data()), nal.size()));
            }
        }
        takeParameterSets(sps, pps);
        if (!picture.nalUnits.empty()) sink(std::move(picture));
    }
}

void FFmpegH264Encoder::takeParameterSets(const std::vector<std::vector<std::uint8_t>>& sps,
                                          const std::vector<std::vector<std::uint8_t>>& pps) {
    if (sps.empty() && pps.empty()) return;
    mParameterSets.resize(2);
    if (!sps.empty()) mParameterSets[0] = sps.front();
    if (!pps.empty()) mParameterSets[1] = pps.front();
}

} // namespace platform
