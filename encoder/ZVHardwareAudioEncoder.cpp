#include "encoder/ZVHardwareAudioEncoder.h"

#include <algorithm>

using namespace platform;

std::shared_ptr<ZVHardwareAudioEncoder> ZVHardwareAudioEncoder::create(
    std::shared_ptr<ZQLiveAudioConfiguration> configuration, AudioConverter::Factory converterFactory) {
    return std::make_shared<ZVHardwareAudioEncoder>(std::move(configuration), std::move(converterFactory));
}

ZVHardwareAudioEncoder::ZVHardwareAudioEncoder(std::shared_ptr<ZQLiveAudioConfiguration> configuration,
                                               AudioConverter::Factory converterFactory)
    : mConfiguration(configuration ? std::move(configuration) : std::make_shared<ZQLiveAudioConfiguration>()),
      mConverterFactory(converterFactory ? std::move(converterFactory) : AudioConverter::Factory(AudioConverter::create)),
      mLeftBuf(mConfiguration->bufferLength()),
      mAacBuf(mConfiguration->bufferLength()) {}

bool ZVHardwareAudioEncoder::createAudioConvert() {
    if (mConverter) return true;
    const auto channels = static_cast<std::uint32_t>(mConfiguration->numberOfChannels());
    const auto sampleRate = static_cast<double>(mConfiguration->audioSampleRate());

    AudioStreamDescription source = interleavedS16(sampleRate, channels);

    AudioStreamDescription destination;
    destination.sampleRate = sampleRate;
    destination.formatID = AudioFormatID::MPEG4AAC;
    destination.framesPerPacket = 1024;
    destination.channelsPerFrame = channels;

    // Software first: the platform takes the first codec it can use.
    const std::vector<AudioCodecDescription> codecs = {
        {AudioFormatID::MPEG4AAC, AudioCodecManufacturer::SoftwareCodec},
        {AudioFormatID::MPEG4AAC, AudioCodecManufacturer::HardwareCodec},
    };
    mConverter = mConverterFactory(source, destination, codecs);
    if (mConverter) mConverter->setEncodeBitRate(static_cast<std::uint32_t>(mConfiguration->audioBitrate()));
    return true;
}

void ZVHardwareAudioEncoder::fitBuffers(std::size_t bufferLength) {
    if (mLeftBuf.size() == bufferLength) return;
    mLeftBuf.resize(bufferLength);
    mAacBuf.resize(bufferLength);
    mLeftLength = std::min<std::uint64_t>(mLeftLength, bufferLength == 0 ? 0 : bufferLength - 1);
}

void ZVHardwareAudioEncoder::encodeAudioData(std::span<const std::uint8_t> data, std::uint64_t timeStamp) {
    createAudioConvert();
    const std::size_t bufferLength = mConfiguration->bufferLength();
    // Without channels there is no block to fill; nothing can be encoded or kept.
    if (bufferLength == 0) return;
    fitBuffers(bufferLength);

    if (mLeftLength + data.size() < bufferLength) {
        std::copy(data.begin(), data.end(), mLeftBuf.begin() + static_cast<std::ptrdiff_t>(mLeftLength));
        mLeftLength += data.size();
        return;
    }
    const std::size_t total = mLeftLength + data.size();
    std::vector<std::uint8_t> gathered(total);
    std::copy_n(mLeftBuf.begin(), mLeftLength, gathered.begin());
    std::copy(data.begin(), data.end(), gathered.begin() + static_cast<std::ptrdiff_t>(mLeftLength));
    for (std::size_t i = 0; i < total / bufferLength; ++i) encodeBuffer(gathered.data() + i * bufferLength, timeStamp);
    mLeftLength = total % bufferLength;
    std::fill(mLeftBuf.begin(), mLeftBuf.end(), 0);
    std::copy_n(gathered.end() - static_cast<std::ptrdiff_t>(mLeftLength), mLeftLength, mLeftBuf.begin());
}

void ZVHardwareAudioEncoder::encodeBuffer(const std::uint8_t* block, std::uint64_t timeStamp) {
    if (!mConverter) return;
    std::size_t size = 0;
    MediaStatus status = mConverter->convert({block, mLeftBuf.size()}, mAacBuf, &size);
    if (status != MediaStatus::Ok) return;

    auto frame = std::make_shared<ZQAudioFrame>();
    frame->setTimestamp(timeStamp);
    frame->setData(ZQBytes(mAacBuf.data(), size));
    const auto& asc = mConfiguration->asc();
    frame->setAudioInfo(ZQBytes{asc[0], asc[1]});
    if (auto delegate = mAacDeleage.lock()) delegate->audioEncoder(this, frame);
}

ZQBytes ZVHardwareAudioEncoder::adtsData(std::int64_t channel, std::int64_t rawDataLength) {
    const std::int64_t frameLength = rawDataLength + 7; // the header counts itself
    const std::int64_t index = sampleRateIndex(mConfiguration->audioSampleRate());
    return ZQBytes{
        0xFF,
        0xF9, // sync word end, MPEG-2, layer 0, no CRC
        static_cast<std::uint8_t>(0x40 + (index << 2) + (channel >> 2)), // AAC LC (written as 1), private bit 0
        static_cast<std::uint8_t>(((channel & 3) << 6) + (frameLength >> 11)),
        static_cast<std::uint8_t>((frameLength >> 3) & 0xFF),
        static_cast<std::uint8_t>(((frameLength & 7) << 5) + 0x1F),
        0xFC, // buffer fullness 0x7FF, one raw data block
    };
}
