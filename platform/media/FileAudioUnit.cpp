#include <algorithm>
#include <cstring>
#include <optional>
#include "platform/media/AudioInputUnits.h"
#include "platform/media/FFmpegLog.h"
#include "platform/media/InputAudioUnit.h"
#include "platform/media/RealTimePacer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/channel_layout.h>
#include <libswresample/swresample.h>
}

namespace platform {

namespace {

// Reads an audio file as interleaved signed 16-bit PCM at a given rate and channel count, from
// the start again whenever it ends. One thread at a time.
class LoopingAudioReader {
public:
    ~LoopingAudioReader() {
        swr_free(&mResampler);
        av_channel_layout_uninit(&mSeenLayout);
        av_frame_free(&mFrame);
        av_packet_free(&mPacket);
        avcodec_free_context(&mDecoder);
        avformat_close_input(&mFormat);
    }

    bool open(const std::string& path, int sampleRate, int channels, std::string* error) {
        ffmpeg::routeLogToConsole();
        mChannels = channels;
        mSampleRate = sampleRate;
        const std::string what = "cannot read audio file '" + path + "': ";
        int rc = avformat_open_input(&mFormat, path.c_str(), nullptr, nullptr);
        if (rc < 0) return fail(error, what + ffmpeg::errorText(rc));
        if ((rc = avformat_find_stream_info(mFormat, nullptr)) < 0) return fail(error, what + ffmpeg::errorText(rc));
        const AVCodec* codec = nullptr;
        mStream = av_find_best_stream(mFormat, AVMEDIA_TYPE_AUDIO, -1, -1, &codec, 0);
        if (mStream < 0 || !codec) return fail(error, what + "no audio stream it can decode");
        mDecoder = avcodec_alloc_context3(codec);
        mFrame = av_frame_alloc();
        mPacket = av_packet_alloc();
        if (!mDecoder || !mFrame || !mPacket) return fail(error, what + "out of memory");
        avcodec_parameters_to_context(mDecoder, mFormat->streams[mStream]->codecpar);
        if ((rc = avcodec_open2(mDecoder, codec, nullptr)) < 0) return fail(error, what + ffmpeg::errorText(rc));
        // A file that ends before its first sample would loop without end: refuse it now.
        if (!fill(1, error)) return fail(error, what + *error);
        return true;
    }

    // Writes `frames` frames into `into`, looping at the end of the file. False with the reason
    // when the file gives no more (a read error, or a pass without a single sample).
    bool read(std::uint8_t* into, std::size_t frames, std::string* error) {
        // What libav* had to say about the file (a damaged packet, a short file) it said on the
        // first pass; the loop does not repeat it.
        std::optional<ffmpeg::QuietLogScope> quiet;
        if (mLooped) quiet.emplace();
        if (!fill(frames, error)) return false;
        const std::size_t bytes = frames * frameBytes();
        std::memcpy(into, mPending.data() + mOffset, bytes);
        mOffset += bytes;
        return true;
    }

private:
    static bool fail(std::string* error, std::string text) {
        *error = std::move(text);
        return false;
    }

    std::size_t frameBytes() const { return 2 * static_cast<std::size_t>(mChannels); }
    std::size_t pendingFrames() const { return (mPending.size() - mOffset) / frameBytes(); }

    bool fill(std::size_t frames, std::string* error) {
        if (mOffset > 0 && pendingFrames() < frames) {
            mPending.erase(mPending.begin(), mPending.begin() + static_cast<std::ptrdiff_t>(mOffset));
            mOffset = 0;
        }
        while (pendingFrames() < frames) {
            int rc = avcodec_receive_frame(mDecoder, mFrame);
            if (rc == 0) {
                if (!convert(error)) return false;
                continue;
            }
            if (rc == AVERROR_EOF) {
                if (!rewind(error)) return false;
                continue;
            }
            if (rc != AVERROR(EAGAIN)) return fail(error, "decoding failed: " + ffmpeg::errorText(rc));
            rc = av_read_frame(mFormat, mPacket);
            if (rc == AVERROR_EOF) {
                avcodec_send_packet(mDecoder, nullptr); // drain; the decoder then answers EOF
                continue;
            }
            if (rc < 0) return fail(error, "reading failed: " + ffmpeg::errorText(rc));
            if (mPacket->stream_index == mStream) {
                rc = avcodec_send_packet(mDecoder, mPacket);
                // A damaged packet is skipped, as players do; the next one decodes again.
                if (rc < 0 && rc != AVERROR(EAGAIN) && rc != AVERROR_INVALIDDATA) {
                    av_packet_unref(mPacket);
                    return fail(error, "decoding failed: " + ffmpeg::errorText(rc));
                }
            }
            av_packet_unref(mPacket);
        }
        return true;
    }

    // One pass over the file ended: start it again.
    bool rewind(std::string* error) {
        // A pass without a single sample would loop without end.
        if (!mProducedThisPass) return fail(error, "the file holds no audio samples");
        mProducedThisPass = false;
        mLooped = true;
        int rc = av_seek_frame(mFormat, mStream, mFormat->streams[mStream]->start_time == AV_NOPTS_VALUE
                                                     ? 0
                                                     : mFormat->streams[mStream]->start_time,
                               AVSEEK_FLAG_BACKWARD);
        if (rc < 0) return fail(error, "cannot loop back to the start: " + ffmpeg::errorText(rc));
        avcodec_flush_buffers(mDecoder);
        return true;
    }

    bool convert(std::string* error) {
        if (!mResampler || mFrame->format != mInputFormat || mFrame->sample_rate != mInputRate ||
            av_channel_layout_compare(&mFrame->ch_layout, &mSeenLayout) != 0) {
            if (!openResampler(error)) return false;
        }
        int capacity = swr_get_out_samples(mResampler, mFrame->nb_samples);
        if (capacity <= 0) return true;
        std::size_t at = mPending.size();
        mPending.resize(at + static_cast<std::size_t>(capacity) * frameBytes());
        std::uint8_t* out = mPending.data() + at;
        int converted = swr_convert(mResampler, &out, capacity, const_cast<const std::uint8_t**>(mFrame->extended_data),
                                    mFrame->nb_samples);
        av_frame_unref(mFrame);
        if (converted < 0) {
            mPending.resize(at);
            return fail(error, "conversion failed: " + ffmpeg::errorText(converted));
        }
        mPending.resize(at + static_cast<std::size_t>(converted) * frameBytes());
        if (converted > 0) mProducedThisPass = true;
        return true;
    }

    bool openResampler(std::string* error) {
        swr_free(&mResampler);
        av_channel_layout_copy(&mSeenLayout, &mFrame->ch_layout);
        // Files without a channel mask give an unordered layout: take the usual one for the count.
        AVChannelLayout inLayout{}, outLayout{};
        if (mFrame->ch_layout.order == AV_CHANNEL_ORDER_UNSPEC)
            av_channel_layout_default(&inLayout, mFrame->ch_layout.nb_channels);
        else
            av_channel_layout_copy(&inLayout, &mFrame->ch_layout);
        av_channel_layout_default(&outLayout, mChannels);
        int rc = swr_alloc_set_opts2(&mResampler, &outLayout, AV_SAMPLE_FMT_S16, mSampleRate, &inLayout,
                                     static_cast<AVSampleFormat>(mFrame->format), mFrame->sample_rate, 0, nullptr);
        av_channel_layout_uninit(&inLayout);
        av_channel_layout_uninit(&outLayout);
        if (rc < 0 || (rc = swr_init(mResampler)) < 0)
            return fail(error, "cannot convert the audio: " + ffmpeg::errorText(rc));
        mInputFormat = mFrame->format;
        mInputRate = mFrame->sample_rate;
        return true;
    }

    AVFormatContext* mFormat = nullptr;
    AVCodecContext* mDecoder = nullptr;
    AVPacket* mPacket = nullptr;
    AVFrame* mFrame = nullptr;
    SwrContext* mResampler = nullptr;
    AVChannelLayout mSeenLayout{}; // of the frames the resampler was made for
    int mInputFormat = -1;
    int mInputRate = 0;
    int mStream = -1;
    int mChannels = 0;
    int mSampleRate = 0;
    std::vector<std::uint8_t> mPending; // converted PCM not yet handed out, from mOffset on
    std::size_t mOffset = 0;
    bool mProducedThisPass = false;
    bool mLooped = false;
};

// A file as the microphone: decoded and converted to the stream format, paced in real time,
// looped. A file that stops giving audio mid-run is reported lost once and delivery ends.
class FileAudioUnit final : public InputAudioUnit {
public:
    explicit FileAudioUnit(std::string path) : InputAudioUnit("LineIn", path), mPath(std::move(path)) {}
    ~FileAudioUnit() override { stop(); }

private:
    bool openSource(const AudioStreamDescription& format, std::size_t* periodFrames, std::string* error) override {
        mReader = std::make_unique<LoopingAudioReader>();
        if (!mReader->open(mPath, static_cast<int>(format.sampleRate), static_cast<int>(format.channelsPerFrame),
                           error)) {
            mReader.reset();
            return false;
        }
        *periodFrames = kInputPeriodFrames;
        return true;
    }

    bool startSource(std::string*) override {
        mFailed = false;
        mPacer = std::make_unique<RealTimePacer>("zq.mic.file", static_cast<double>(kInputPeriodFrames) / format().sampleRate,
                                                 [this](std::uint64_t) { tick(); });
        return mPacer->start();
    }

    void stopSource() override {
        if (mPacer) mPacer->stop();
        mPacer.reset();
    }

    void tick() {
        if (mFailed) return;
        std::string error;
        if (!mReader->read(periodBuffer().data(), kInputPeriodFrames, &error)) {
            mFailed = true;
            reportLost(error);
            return;
        }
        deliverPeriod();
    }

    const std::string mPath;
    std::unique_ptr<LoopingAudioReader> mReader;
    std::unique_ptr<RealTimePacer> mPacer;
    bool mFailed = false; // delivery thread only, once started
};

} // namespace

std::unique_ptr<AudioUnit> makeFileAudioUnit(const std::string& path) { return std::make_unique<FileAudioUnit>(path); }

} // namespace platform
