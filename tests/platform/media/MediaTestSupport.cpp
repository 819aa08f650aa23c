#include "tests/platform/media/MediaTestSupport.h"

#include <algorithm>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace zqtest {

namespace {

// One libavcodec decoder: packets in, frames out.
class Decoder {
public:
    Decoder(AVCodecID id, std::span<const std::uint8_t> extradata) {
        const AVCodec* codec = avcodec_find_decoder(id);
        mContext = avcodec_alloc_context3(codec);
        mContext->thread_count = 1;
        if (!extradata.empty()) {
            mContext->extradata = static_cast<std::uint8_t*>(av_mallocz(extradata.size() + AV_INPUT_BUFFER_PADDING_SIZE));
            std::copy(extradata.begin(), extradata.end(), mContext->extradata);
            mContext->extradata_size = static_cast<int>(extradata.size());
        }
        avcodec_open2(mContext, codec, nullptr);
        mFrame = av_frame_alloc();
        mPacket = av_packet_alloc();
    }
    ~Decoder() {
        avcodec_free_context(&mContext);
        av_frame_free(&mFrame);
        av_packet_free(&mPacket);
    }

    // Sends one packet (an empty span ends the stream) and hands every frame that comes out to sink.
    template <typename Sink>
    bool decode(std::span<const std::uint8_t> packet, Sink sink) {
        int ret;
        if (packet.empty()) {
            ret = avcodec_send_packet(mContext, nullptr);
        } else {
            if (av_new_packet(mPacket, static_cast<int>(packet.size())) < 0) return false;
            std::copy(packet.begin(), packet.end(), mPacket->data);
            ret = avcodec_send_packet(mContext, mPacket);
            av_packet_unref(mPacket);
        }
        if (ret < 0) return false;
        while (avcodec_receive_frame(mContext, mFrame) == 0) {
            sink(mFrame);
            av_frame_unref(mFrame);
        }
        return true;
    }

private:
    AVCodecContext* mContext = nullptr;
    AVFrame* mFrame = nullptr;
    AVPacket* mPacket = nullptr;
};

void appendStartCode(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> nal) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
}

} // namespace

struct H264TestDecoder::Impl : Decoder {
    Impl() : Decoder(AV_CODEC_ID_H264, {}) {}
};

H264TestDecoder::H264TestDecoder() : mImpl(std::make_unique<Impl>()) {}
H264TestDecoder::~H264TestDecoder() = default;

bool H264TestDecoder::decode(std::span<const std::uint8_t> block, const std::vector<std::vector<std::uint8_t>>& parameterSets) {
    std::vector<std::uint8_t> annexB;
    for (const auto& set : parameterSets) appendStartCode(annexB, set);
    for (std::size_t pos = 0; pos + 4 <= block.size();) {
        std::size_t length = (std::size_t(block[pos]) << 24) | (block[pos + 1] << 16) | (block[pos + 2] << 8) | block[pos + 3];
        if (length > block.size() - pos - 4) return false;
        appendStartCode(annexB, block.subspan(pos + 4, length));
        pos += 4 + length;
    }
    if (annexB.empty()) return false;
    return mImpl->decode(annexB, [&](AVFrame* f) {
        mPictures.push_back({f->width, f->height, f->key_frame != 0, av_get_picture_type_char(f->pict_type)});
    });
}

void H264TestDecoder::flush() {
    mImpl->decode({}, [&](AVFrame* f) {
        mPictures.push_back({f->width, f->height, f->key_frame != 0, av_get_picture_type_char(f->pict_type)});
    });
}

struct AacTestDecoder::Impl : Decoder {
    explicit Impl(const std::vector<std::uint8_t>& asc) : Decoder(AV_CODEC_ID_AAC, asc) {}
};

AacTestDecoder::AacTestDecoder(std::vector<std::uint8_t> asc) : mImpl(std::make_unique<Impl>(asc)) {}
AacTestDecoder::~AacTestDecoder() = default;

bool AacTestDecoder::decode(std::span<const std::uint8_t> unit) {
    if (unit.empty()) return false;
    return mImpl->decode(unit, [&](AVFrame* f) {
        mFramesPerPacket = f->nb_samples;
        // The decoder gives planar float.
        auto* plane = reinterpret_cast<const float*>(f->extended_data[0]);
        mSamples.insert(mSamples.end(), plane, plane + f->nb_samples);
    });
}

std::shared_ptr<platform::PixelBuffer> noisePicture(int width, int height, int index, platform::PixelFormat format) {
    auto picture = platform::PixelBuffer::create(width, height, format);
    std::mt19937 grain(1000 + index);
    std::uniform_int_distribution<int> small(-12, 12);
    // A hashed texture of (x + index, y): the picture slides left one pixel a frame.
    auto value = [&](int x, int y) {
        std::uint32_t h = static_cast<std::uint32_t>((x + index) * 73856093u) ^ static_cast<std::uint32_t>(y * 19349663u);
        h ^= h >> 13;
        h *= 0x5bd1e995u;
        h ^= h >> 15;
        return std::clamp<int>(static_cast<int>(h & 0xFF) + small(grain), 0, 255);
    };
    for (int y = 0; y < height; ++y) {
        std::uint8_t* row = picture->planeData(0) + y * picture->bytesPerRow(0);
        for (int x = 0; x < width; ++x) {
            if (format == platform::PixelFormat::BGRA) {
                auto v = static_cast<std::uint8_t>(value(x, y));
                row[4 * x] = v;
                row[4 * x + 1] = static_cast<std::uint8_t>(255 - v);
                row[4 * x + 2] = v;
                row[4 * x + 3] = 255;
            } else {
                row[x] = static_cast<std::uint8_t>(value(x, y));
            }
        }
    }
    if (format == platform::PixelFormat::NV12) {
        for (int y = 0; y < picture->planeHeight(1); ++y)
            std::fill_n(picture->planeData(1) + y * picture->bytesPerRow(1), picture->bytesPerRow(1), 128);
    }
    return picture;
}

} // namespace zqtest
