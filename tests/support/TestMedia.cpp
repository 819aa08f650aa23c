#include "tests/support/TestMedia.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>
#include "tests/support/TestUtil.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
#include <libavutil/crc.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace zqtest {
namespace {

struct CodecContextDeleter {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct FrameDeleter {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct PacketDeleter {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using CodecContext = std::unique_ptr<AVCodecContext, CodecContextDeleter>;
using Frame = std::unique_ptr<AVFrame, FrameDeleter>;
using Packet = std::unique_ptr<AVPacket, PacketDeleter>;

// Splits Annex B into NAL units (without start codes).
std::vector<std::pair<const uint8_t*, size_t>> splitAnnexB(const uint8_t* data, size_t size) {
    std::vector<std::pair<const uint8_t*, size_t>> units;
    auto startCodeAt = [&](size_t i) -> size_t {
        if (i + 3 <= size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1) return 3;
        if (i + 4 <= size && data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 0 && data[i + 3] == 1) return 4;
        return 0;
    };
    size_t i = 0;
    size_t begin = std::string::npos;
    while (i < size) {
        size_t code = startCodeAt(i);
        if (code) {
            if (begin != std::string::npos) units.push_back({data + begin, i - begin});
            i += code;
            begin = i;
        } else {
            ++i;
        }
    }
    if (begin != std::string::npos && begin < size) units.push_back({data + begin, size - begin});
    return units;
}

void encodeVideo(const TestMediaOptions& options, TestMedia& media) {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) throw std::runtime_error("libx264 encoder not available");
    CodecContext context(avcodec_alloc_context3(codec));
    context->width = options.width;
    context->height = options.height;
    context->pix_fmt = AV_PIX_FMT_YUV420P;
    context->time_base = AVRational{1, options.frameRate};
    context->framerate = AVRational{options.frameRate, 1};
    context->gop_size = options.keyFrameInterval;
    context->max_b_frames = 0;
    context->bit_rate = 400000;
    context->thread_count = 1; // one slice per picture
    av_opt_set(context->priv_data, "preset", "ultrafast", 0);
    av_opt_set(context->priv_data, "tune", "zerolatency", 0);
    av_opt_set(context->priv_data, "profile", "baseline", 0);
    if (avcodec_open2(context.get(), codec, nullptr) < 0) throw std::runtime_error("cannot open libx264");

    Frame picture(av_frame_alloc());
    picture->format = AV_PIX_FMT_YUV420P;
    picture->width = options.width;
    picture->height = options.height;
    av_frame_get_buffer(picture.get(), 0);
    Packet packet(av_packet_alloc());

    ZQBytes sps, pps;
    auto drain = [&] {
        while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
            auto timestamp = static_cast<uint64_t>(packet->pts * 1000 / options.frameRate);
            for (auto [data, size] : splitAnnexB(packet->data, static_cast<size_t>(packet->size))) {
                int type = data[0] & 0x1F;
                if (type == 7) {
                    sps = ZQBytes(data, size);
                } else if (type == 8) {
                    pps = ZQBytes(data, size);
                } else if (type == 1 || type == 5) {
                    auto frame = std::make_shared<ZQVideoFrame>();
                    frame->setTimestamp(timestamp);
                    frame->setData(ZQBytes(data, size));
                    frame->setIsKeyFrame(type == 5);
                    frame->setSps(sps);
                    frame->setPps(pps);
                    media.video.push_back(frame);
                }
            }
            av_packet_unref(packet.get());
        }
    };
    int frames = static_cast<int>(options.seconds * options.frameRate);
    for (int n = 0; n < frames; ++n) {
        av_frame_make_writable(picture.get());
        for (int y = 0; y < options.height; ++y)
            for (int x = 0; x < options.width; ++x)
                picture->data[0][y * picture->linesize[0] + x] = static_cast<uint8_t>(x + y + n * 3);
        for (int y = 0; y < options.height / 2; ++y)
            for (int x = 0; x < options.width / 2; ++x) {
                picture->data[1][y * picture->linesize[1] + x] = static_cast<uint8_t>(128 + y + n * 2);
                picture->data[2][y * picture->linesize[2] + x] = static_cast<uint8_t>(64 + x + n * 5);
            }
        picture->pts = n;
        avcodec_send_frame(context.get(), picture.get());
        drain();
    }
    avcodec_send_frame(context.get(), nullptr);
    drain();
}

void encodeAudio(const TestMediaOptions& options, TestMedia& media) {
    const AVCodec* codec = avcodec_find_encoder_by_name("aac");
    if (!codec) throw std::runtime_error("aac encoder not available");
    CodecContext context(avcodec_alloc_context3(codec));
    context->sample_rate = options.sampleRate;
    context->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&context->ch_layout, options.channels);
    context->bit_rate = 128000;
    context->time_base = AVRational{1, options.sampleRate};
    context->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; // AudioSpecificConfig in extradata, raw AUs out
    if (avcodec_open2(context.get(), codec, nullptr) < 0) throw std::runtime_error("cannot open aac");
    ZQBytes asc(context->extradata, static_cast<size_t>(context->extradata_size));

    Frame block(av_frame_alloc());
    block->format = AV_SAMPLE_FMT_FLTP;
    block->nb_samples = context->frame_size;
    av_channel_layout_copy(&block->ch_layout, &context->ch_layout);
    block->sample_rate = options.sampleRate;
    av_frame_get_buffer(block.get(), 0);
    Packet packet(av_packet_alloc());

    uint64_t produced = 0;
    auto drain = [&] {
        while (avcodec_receive_packet(context.get(), packet.get()) == 0) {
            // Own timestamps, one access unit after the other (the encoder's priming is ignored).
            auto frame = std::make_shared<ZQAudioFrame>();
            frame->setTimestamp(produced * 1024 * 1000 / static_cast<uint64_t>(options.sampleRate));
            frame->setData(ZQBytes(packet->data, static_cast<size_t>(packet->size)));
            frame->setAudioInfo(asc);
            media.audio.push_back(frame);
            ++produced;
            av_packet_unref(packet.get());
        }
    };
    int64_t total = static_cast<int64_t>(options.seconds * options.sampleRate);
    for (int64_t start = 0; start < total; start += context->frame_size) {
        av_frame_make_writable(block.get());
        for (int c = 0; c < options.channels; ++c) {
            auto* samples = reinterpret_cast<float*>(block->data[c]);
            for (int i = 0; i < context->frame_size; ++i)
                samples[i] = 0.3f * static_cast<float>(std::sin(2 * M_PI * 440.0 * static_cast<double>(start + i) /
                                                                options.sampleRate));
        }
        block->pts = start;
        avcodec_send_frame(context.get(), block.get());
        drain();
    }
    avcodec_send_frame(context.get(), nullptr);
    drain();
}

} // namespace

std::vector<std::shared_ptr<ZQFrame>> TestMedia::interleaved() const {
    std::vector<std::shared_ptr<ZQFrame>> all;
    all.insert(all.end(), video.begin(), video.end());
    all.insert(all.end(), audio.begin(), audio.end());
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a->timestamp() < b->timestamp(); });
    return all;
}

TestMedia makeTestMedia(const TestMediaOptions& options) {
    av_log_set_level(AV_LOG_ERROR); // the encoders' statistics are noise in test output
    TestMedia media;
    encodeVideo(options, media);
    encodeAudio(options, media);
    return media;
}

nlohmann::json probeMedia(const std::string& path) {
    std::string out;
    int status = runCommand("ffprobe -v error -print_format json -show_streams -show_format '" + path + "'", &out);
    if (status != 0) return nullptr;
    return nlohmann::json::parse(out, nullptr, false);
}

std::vector<std::int64_t> packetTimestamps(const std::string& path, const std::string& kind) {
    std::string out;
    runCommand("ffprobe -v error -select_streams " + kind +
                   " -show_entries packet=pts -of csv=p=0 '" + path + "'",
               &out);
    std::vector<std::int64_t> timestamps;
    size_t pos = 0;
    while (pos < out.size()) {
        size_t end = out.find('\n', pos);
        if (end == std::string::npos) end = out.size();
        std::string line = out.substr(pos, end - pos);
        if (!line.empty() && line != "N/A") timestamps.push_back(std::stoll(line));
        pos = end + 1;
    }
    return timestamps;
}

std::vector<PacketDigest> packetDigests(const std::string& path, const std::string& kind) {
    std::string out;
    runCommand("ffprobe -v error -select_streams " + kind +
                   " -show_data_hash CRC32 -show_entries packet=pts,size,data_hash -of json '" + path + "'",
               &out);
    std::vector<PacketDigest> digests;
    auto parsed = nlohmann::json::parse(out, nullptr, false);
    if (!parsed.is_object() || !parsed["packets"].is_array()) return digests;
    for (const auto& packet : parsed["packets"]) {
        PacketDigest digest;
        digest.timestamp = packet.value("pts", std::int64_t{-1});
        digest.size = static_cast<std::size_t>(std::stoul(packet.value("size", std::string("0"))));
        digest.hash = packet.value("data_hash", std::string());
        digests.push_back(digest);
    }
    return digests;
}

std::string crc32Hash(const std::uint8_t* data, std::size_t size) {
    std::uint32_t crc = av_crc(av_crc_get_table(AV_CRC_32_IEEE_LE), UINT32_MAX, data, size) ^ UINT32_MAX;
    char text[32];
    std::snprintf(text, sizeof text, "CRC32:%08x", crc);
    return text;
}

std::string decodeErrors(const std::string& path) {
    std::string out;
    // framecrc keeps each stream's own time base: the null muxer would rescale video to 1/frame-rate
    // and call two pictures stamped closer than one frame interval "non monotonically increasing".
    int status = runCommand("ffmpeg -nostdin -v error -i '" + path + "' -f framecrc - 2>&1 >/dev/null", &out);
    if (status != 0 && out.empty()) out = "ffmpeg exited with status " + std::to_string(status);
    return out;
}

} // namespace zqtest
