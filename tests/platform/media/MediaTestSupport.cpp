#include "tests/platform/media/MediaTestSupport.h"

#include <algorithm>
#include <random>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace zqtest {

struct H264TestDecoder::Impl {
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
};

H264TestDecoder::H264TestDecoder() : mImpl(std::make_unique<Impl>()) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_H264);
    mImpl->context = avcodec_alloc_context3(codec);
    mImpl->context->thread_count = 1;
    avcodec_open2(mImpl->context, codec, nullptr);
    mImpl->frame = av_frame_alloc();
    mImpl->packet = av_packet_alloc();
}

H264TestDecoder::~H264TestDecoder() {
    avcodec_free_context(&mImpl->context);
    av_frame_free(&mImpl->frame);
    av_packet_free(&mImpl->packet);
}

namespace {

void appendStartCode(std::vector<std::uint8_t>& out, std::span<const std::uint8_t> nal) {
    out.insert(out.end(), {0, 0, 0, 1});
    out.insert(out.end(), nal.begin(), nal.end());
}

template <typename Sink>
void drainFrames(AVCodecContext* context, AVFrame* frame, Sink sink) {
    while (avcodec_receive_frame(context, frame) == 0) {
        sink(frame);
        av_frame_unref(frame);
    }
}

} // namespace

bool H264TestDecoder::decode(std::span<const std::uint8_t> block, const std::vector<std::vector<std::uint8_t>>& parameterSets) {
    std::vector<std::uint8_t> annexB;
    for (const auto& set : parameterSets) appendStartCode(annexB, set);
    for (std::size_t pos = 0; pos + 4 <= block.size();) {
        std::size_t length = (std::size_t(block[pos]) << 24) | (block[pos + 1] << 16) | (block[pos + 2] << 8) | block[pos + 3];
        if (length > block.size() - pos - 4) return false;
        appendStartCode(annexB, block.subspan(pos + 4, length));
        pos += 4 + length;
    }
    if (av_new_packet(mImpl->packet, static_cast<int>(annexB.size())) < 0) return false;
    std::copy(annexB.begin(), annexB.end(), mImpl->packet->data);
    int ret = avcodec_send_packet(mImpl->context, mImpl->packet);
    av_packet_unref(mImpl->packet);
    if (ret < 0) return false;
    drainFrames(mImpl->context, mImpl->frame, [&](AVFrame* f) {
        mPictures.push_back({f->width, f->height, f->key_frame != 0, av_get_picture_type_char(f->pict_type)});
    });
    return true;
}

void H264TestDecoder::flush() {
    avcodec_send_packet(mImpl->context, nullptr);
    drainFrames(mImpl->context, mImpl->frame, [&](AVFrame* f) {
        mPictures.push_back({f->width, f->height, f->key_frame != 0, av_get_picture_type_char(f->pict_type)});
    });
}

struct AacTestDecoder::Impl {
    AVCodecContext* context = nullptr;
    AVFrame* frame = nullptr;
    AVPacket* packet = nullptr;
};

AacTestDecoder::AacTestDecoder(std::vector<std::uint8_t> asc) : mImpl(std::make_unique<Impl>()) {
    const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    mImpl->context = avcodec_alloc_context3(codec);
    mImpl->context->extradata = static_cast<std::uint8_t*>(av_mallocz(asc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    std::copy(asc.begin(), asc.end(), mImpl->context->extradata);
    mImpl->context->extradata_size = static_cast<int>(asc.size());
    avcodec_open2(mImpl->context, codec, nullptr);
    mImpl->frame = av_frame_alloc();
    mImpl->packet = av_packet_alloc();
}

AacTestDecoder::~AacTestDecoder() {
    avcodec_free_context(&mImpl->context);
    av_frame_free(&mImpl->frame);
    av_packet_free(&mImpl->packet);
}

bool AacTestDecoder::decode(std::span<const std::uint8_t> unit) {
    if (av_new_packet(mImpl->packet, static_cast<int>(unit.size())) < 0) return false;
    std::copy(unit.begin(), unit.end(), mImpl->packet->data);
    int ret = avcodec_send_packet(mImpl->context, mImpl->packet);
    av_packet_unref(mImpl->packet);
    if (ret < 0) return false;
    drainFrames(mImpl->context, mImpl->frame, [&](AVFrame* f) {
        mFramesPerPacket = f->nb_samples;
        // The decoder gives planar float.
        auto* plane = reinterpret_cast<const float*>(f->extended_data[0]);
        mSamples.insert(mSamples.end(), plane, plane + f->nb_samples);
    });
    return true;
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
