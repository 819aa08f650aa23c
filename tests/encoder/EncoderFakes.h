#pragma once
#include <memory>
#include <mutex>
#include <vector>
#include "encoder/ZVAudioEncodingDelegate.h"
#include "encoder/ZVVideoEncodingDelegate.h"
#include "platform/media/AudioConverter.h"
#include "platform/media/VideoCompressionSession.h"

namespace zqtest {

// A compression session that records what it is asked and gives out what the test says.
class FakeCompressionSession final : public platform::VideoCompressionSession {
public:
    struct Encode {
        std::shared_ptr<platform::PixelBuffer> pixelBuffer;
        platform::MediaTime presentationTime;
        platform::MediaTime duration;
        bool forceKeyFrame;
        std::uint64_t frameContext;
    };

    FakeCompressionSession(int w, int h, OutputCallback cb) : width(w), height(h), callback(std::move(cb)) {}

    platform::MediaStatus setProperty(platform::VideoCompressionProperty key,
                                      const platform::VideoCompressionValue& value) override {
        properties.emplace_back(key, value);
        return platform::MediaStatus::Ok;
    }
    platform::MediaStatus prepareToEncodeFrames() override {
        ++prepared;
        return platform::MediaStatus::Ok;
    }
    platform::MediaStatus encodeFrame(std::shared_ptr<platform::PixelBuffer> pixelBuffer, platform::MediaTime pts,
                                      platform::MediaTime duration, bool forceKeyFrame, std::uint64_t context) override {
        encodes.push_back({std::move(pixelBuffer), pts, duration, forceKeyFrame, context});
        return encodeResult;
    }
    platform::MediaStatus completeFrames() override {
        ++completed;
        return platform::MediaStatus::Ok;
    }
    void invalidate() override { ++invalidated; }

    // The value last set for a property (throws if never set).
    const platform::VideoCompressionValue& last(platform::VideoCompressionProperty key) const {
        for (auto it = properties.rbegin(); it != properties.rend(); ++it)
            if (it->first == key) return it->second;
        throw std::runtime_error("property never set");
    }
    // Hands out one encoded picture as the session's thread would.
    void emit(std::uint64_t context, platform::MediaStatus status, const platform::CompressedSample* sample) {
        callback(context, status, sample);
    }

    const int width;
    const int height;
    const OutputCallback callback;
    std::vector<std::pair<platform::VideoCompressionProperty, platform::VideoCompressionValue>> properties;
    std::vector<Encode> encodes;
    int prepared = 0;
    int completed = 0;
    int invalidated = 0;
    platform::MediaStatus encodeResult = platform::MediaStatus::Ok;
};

// Makes fake sessions (or none, while `fail` is set) and keeps them for inspection.
struct FakeSessionFactory {
    std::vector<std::shared_ptr<FakeCompressionSession>> made;
    int attempts = 0;
    bool fail = false;

    platform::VideoCompressionSession::Factory factory() {
        return [this](int w, int h, platform::VideoCompressionSession::OutputCallback cb)
                   -> std::shared_ptr<platform::VideoCompressionSession> {
            ++attempts;
            if (fail) return nullptr;
            made.push_back(std::make_shared<FakeCompressionSession>(w, h, std::move(cb)));
            return made.back();
        };
    }
    FakeCompressionSession& current() { return *made.back(); }
};

// An AAC converter that gives out a fixed packet per block and records the blocks.
class FakeAudioConverter final : public platform::AudioConverter {
public:
    platform::MediaStatus setEncodeBitRate(std::uint32_t rate) override {
        bitRates.push_back(rate);
        return platform::MediaStatus::Ok;
    }
    platform::MediaStatus convert(std::span<const std::uint8_t> input, std::span<std::uint8_t> output,
                                  std::size_t* outputSize) override {
        blocks.emplace_back(input.begin(), input.end());
        *outputSize = 0;
        if (convertResult != platform::MediaStatus::Ok) return convertResult;
        std::copy(packet.begin(), packet.end(), output.begin());
        *outputSize = packet.size();
        return platform::MediaStatus::Ok;
    }

    std::vector<std::uint32_t> bitRates;
    std::vector<std::vector<std::uint8_t>> blocks;
    std::vector<std::uint8_t> packet{0x21, 0x10, 0x05};
    platform::MediaStatus convertResult = platform::MediaStatus::Ok;
};

struct FakeConverterFactory {
    struct Request {
        platform::AudioStreamDescription source;
        platform::AudioStreamDescription destination;
        std::vector<platform::AudioCodecDescription> codecs;
    };
    std::vector<Request> requests;
    FakeAudioConverter* converter = nullptr; // the one made, owned by the encoder
    bool fail = false;

    platform::AudioConverter::Factory factory() {
        return [this](const platform::AudioStreamDescription& s, const platform::AudioStreamDescription& d,
                      const std::vector<platform::AudioCodecDescription>& c) -> std::unique_ptr<platform::AudioConverter> {
            requests.push_back({s, d, c});
            if (fail) return nullptr;
            auto made = std::make_unique<FakeAudioConverter>();
            converter = made.get();
            return made;
        };
    }
};

template <typename Encoding, typename Frame>
struct Recorded {
    Encoding* encoder;
    std::shared_ptr<Frame> frame;
};

class RecordingVideoDelegate final : public ZVVideoEncodingDelegate {
public:
    void videoEncoder(ZVVideoEncoding* encoder, const std::shared_ptr<ZQVideoFrame>& frame) override {
        std::lock_guard lock(mutex);
        frames.push_back({encoder, frame});
    }
    std::vector<Recorded<ZVVideoEncoding, ZQVideoFrame>> snapshot() {
        std::lock_guard lock(mutex);
        return frames;
    }
    std::mutex mutex;
    std::vector<Recorded<ZVVideoEncoding, ZQVideoFrame>> frames;
};

class RecordingAudioDelegate final : public ZVAudioEncodingDelegate {
public:
    void audioEncoder(ZVAudioEncoding* encoder, const std::shared_ptr<ZQAudioFrame>& frame) override {
        frames.push_back({encoder, frame});
    }
    std::vector<Recorded<ZVAudioEncoding, ZQAudioFrame>> frames;
};

} // namespace zqtest
