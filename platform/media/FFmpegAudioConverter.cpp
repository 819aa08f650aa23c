#include <algorithm>
#include <deque>
#include "platform/media/AudioConverter.h"
#include "platform/media/FFmpegLog.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace platform {

namespace {

class FFmpegAudioConverter final : public AudioConverter {
public:
    ~FFmpegAudioConverter() override { closeCodec(); }

    static std::unique_ptr<FFmpegAudioConverter> open(const AudioStreamDescription& source) {
        std::unique_ptr<FFmpegAudioConverter> converter(new FFmpegAudioConverter());
        converter->mChannels = static_cast<int>(source.channelsPerFrame);
        converter->mSampleRate = static_cast<int>(source.sampleRate);
        if (!converter->openCodec(0)) return nullptr;
        return converter;
    }

    MediaStatus setEncodeBitRate(std::uint32_t bitsPerSecond) override {
        if (bitsPerSecond == 0) return MediaStatus::InvalidArgument;
        // The psychoacoustic model sizes itself for the rate when the codec opens, so before the
        // first packet the codec is opened again; later the rate control picks the new rate up.
        if (!mStarted) return openCodec(bitsPerSecond) ? MediaStatus::Ok : MediaStatus::EncoderFailed;
        mContext->bit_rate = bitsPerSecond;
        return MediaStatus::Ok;
    }

    MediaStatus convert(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                        std::size_t* outputSize) override {
        if (outputSize) *outputSize = 0;
        if (input.size() != static_cast<std::size_t>(kFramesPerPacket) * 2 * mChannels)
            return MediaStatus::InvalidArgument;
        if (!mContext) return MediaStatus::InvalidSession;
        mStarted = true;
        if (MediaStatus status = send(input); status != MediaStatus::Ok) return status;
        if (mPending.empty()) return MediaStatus::NoOutput;
        std::vector<std::uint8_t> packet = std::move(mPending.front());
        mPending.pop_front();
        if (packet.size() > output.size()) return MediaStatus::InvalidArgument;
        std::copy(packet.begin(), packet.end(), output.begin());
        if (outputSize) *outputSize = packet.size();
        return MediaStatus::Ok;
    }

private:
    static constexpr int kFramesPerPacket = 1024;

    FFmpegAudioConverter() = default;

    void closeCodec() {
        {
            // The codec keeps the last frames of its delay; closing without them is intended.
            ffmpeg::QuietLogScope quiet;
            avcodec_free_context(&mContext);
        }
        av_frame_free(&mFrame);
        av_packet_free(&mPacket);
        mPending.clear();
        mNextPts = 0;
    }

    // (Re)opens the codec; a rate of 0 lets it pick its default for the channel count.
    bool openCodec(std::int64_t bitRate) {
        closeCodec();
        const AVCodec* codec = avcodec_find_encoder_by_name("aac");
        if (!codec) return false;
        AVCodecContext* c = mContext = avcodec_alloc_context3(codec);
        if (!c) return false;
        c->sample_fmt = AV_SAMPLE_FMT_FLTP;
        c->sample_rate = mSampleRate;
        av_channel_layout_default(&c->ch_layout, mChannels);
        c->profile = FF_PROFILE_AAC_LOW;
        c->time_base = AVRational{1, mSampleRate};
        c->bit_rate = bitRate;
        bool opened;
        {
            // An unsupported rate is an expected refusal, reported by the result alone.
            ffmpeg::QuietLogScope quiet;
            opened = avcodec_open2(c, codec, nullptr) >= 0;
        }
        mFrame = av_frame_alloc();
        mPacket = av_packet_alloc();
        if (!opened || c->frame_size != kFramesPerPacket || !mFrame || !mPacket) {
            closeCodec();
            return false;
        }
        mFrame->format = AV_SAMPLE_FMT_FLTP;
        mFrame->nb_samples = kFramesPerPacket;
        mFrame->sample_rate = mSampleRate;
        if (av_channel_layout_copy(&mFrame->ch_layout, &c->ch_layout) < 0 || av_frame_get_buffer(mFrame, 0) < 0) {
            closeCodec();
            return false;
        }
        // One packet of silence takes up the codec's first-frame delay, so that from the first call
        // on every packet in gives a packet out.
        std::vector<std::uint8_t> silence(static_cast<std::size_t>(kFramesPerPacket) * 2 * mChannels);
        if (send(silence) != MediaStatus::Ok) {
            closeCodec();
            return false;
        }
        return true;
    }

    // Interleaved 16-bit in, planar float to the codec; packets it gives back wait in mPending.
    MediaStatus send(std::span<const std::uint8_t> pcm) {
        if (av_frame_make_writable(mFrame) < 0) return MediaStatus::EncoderFailed;
        for (int ch = 0; ch < mChannels; ++ch) {
            auto* plane = reinterpret_cast<float*>(mFrame->data[ch]);
            for (int i = 0; i < kFramesPerPacket; ++i) {
                std::size_t at = (static_cast<std::size_t>(i) * mChannels + ch) * 2;
                auto sample = static_cast<std::int16_t>(pcm[at] | (pcm[at + 1] << 8));
                plane[i] = static_cast<float>(sample) / 32768.0f;
            }
        }
        mFrame->pts = mNextPts;
        mNextPts += kFramesPerPacket;
        if (avcodec_send_frame(mContext, mFrame) < 0) return MediaStatus::EncoderFailed;
        for (;;) {
            int ret = avcodec_receive_packet(mContext, mPacket);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) return MediaStatus::Ok;
            if (ret < 0) return MediaStatus::EncoderFailed;
            mPending.emplace_back(mPacket->data, mPacket->data + mPacket->size);
            av_packet_unref(mPacket);
        }
    }

    AVCodecContext* mContext = nullptr;
    AVFrame* mFrame = nullptr;
    AVPacket* mPacket = nullptr;
    int mChannels = 0;
    int mSampleRate = 0;
    bool mStarted = false;
    std::int64_t mNextPts = 0;
    std::deque<std::vector<std::uint8_t>> mPending;
};

} // namespace

AudioConverter::~AudioConverter() = default;

std::unique_ptr<AudioConverter> AudioConverter::create(const AudioStreamDescription& source,
                                                       const AudioStreamDescription& destination,
                                                       const std::vector<AudioCodecDescription>& codecs) {
    ffmpeg::routeLogToConsole();
    if (!isInterleavedS16(source) || destination.formatID != AudioFormatID::MPEG4AAC ||
        destination.sampleRate != source.sampleRate || destination.channelsPerFrame != source.channelsPerFrame ||
        (destination.framesPerPacket != 0 && destination.framesPerPacket != 1024))
        return nullptr;
    for (const auto& codec : codecs) {
        if (codec.subType != AudioFormatID::MPEG4AAC || codec.manufacturer != AudioCodecManufacturer::SoftwareCodec)
            continue;
        if (auto converter = FFmpegAudioConverter::open(source)) return converter;
    }
    return nullptr;
}

} // namespace platform
