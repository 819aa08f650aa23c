#pragma once
#include <memory>
#include <vector>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "encoder/ZVAudioEncoding.h"
#include "platform/media/AudioConverter.h"

// The AAC encoder over the platform's audio converter (libavcodec's AAC-LC encoder). PCM arrives in
// pieces of any size; it is gathered into blocks of exactly 1024 sample frames (bufferLength bytes),
// each block becomes one raw AAC access unit, and what is left over waits for the next call. Every
// frame made by one call carries that call's timestamp.
//
// Threads: one caller at a time, on any thread (the audio capture's); the delegate is called on
// that thread before encodeAudioData() returns.
class ZVHardwareAudioEncoder final : public ZVAudioEncoding {
public:
    // initWithAudioStreamConfiguration: — the converter is made on the first encodeAudioData().
    // `converterFactory` makes it (the libavcodec one when empty).
    static std::shared_ptr<ZVHardwareAudioEncoder> create(std::shared_ptr<ZQLiveAudioConfiguration> configuration,
                                                          platform::AudioConverter::Factory converterFactory = {});
    ZVHardwareAudioEncoder(std::shared_ptr<ZQLiveAudioConfiguration> configuration,
                           platform::AudioConverter::Factory converterFactory = {});

    void encodeAudioData(std::span<const std::uint8_t> data, std::uint64_t timeStamp) override;
    // Does nothing: carried-over PCM waits for the next call.
    void stopEncoder() override {}
    // setDelegate: and setAacDeleage: write the same reference.
    void setDelegate(std::weak_ptr<ZVAudioEncodingDelegate> delegate) override { mAacDeleage = std::move(delegate); }
    void setAacDeleage(std::weak_ptr<ZVAudioEncodingDelegate> delegate) { mAacDeleage = std::move(delegate); }
    const std::weak_ptr<ZVAudioEncodingDelegate>& aacDeleage() const { return mAacDeleage; }
    ZQBytes adtsData(std::int64_t channel, std::int64_t rawDataLength) override;

    // The MPEG-4 sampling-frequency index; 15 for a rate outside the table.
    static std::uint8_t sampleRateIndex(std::uint64_t sampleRate) {
        return ZQLiveAudioConfiguration::sampleRateIndex(sampleRate);
    }

    // Makes the converter if there is none yet; always answers true (a failure is retried next call).
    bool createAudioConvert();

    const std::shared_ptr<ZQLiveAudioConfiguration>& configuration() const { return mConfiguration; }
    bool hasConverter() const { return mConverter != nullptr; }
    // Bytes carried over to the next call.
    std::uint64_t leftLength() const { return mLeftLength; }

private:
    // Encodes the bufferLength bytes at `block` and hands the packet on.
    void encodeBuffer(const std::uint8_t* block, std::uint64_t timeStamp);
    // Keeps leftBuf and aacBuf at bufferLength bytes, should the configuration's channels change.
    void fitBuffers(std::size_t bufferLength);

    const std::shared_ptr<ZQLiveAudioConfiguration> mConfiguration;
    const platform::AudioConverter::Factory mConverterFactory;
    std::unique_ptr<platform::AudioConverter> mConverter; // m_converter
    std::vector<std::uint8_t> mLeftBuf;
    std::vector<std::uint8_t> mAacBuf;
    std::uint64_t mLeftLength = 0;
    std::weak_ptr<ZVAudioEncodingDelegate> mAacDeleage;
};
