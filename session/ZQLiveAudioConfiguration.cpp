#include "ZQLiveKit/ZQLiveAudioConfiguration.h"

#include <functional>
#include "ZQPlatform/Format.h"
#include "session/ZQConfigurationArchive.h"

namespace {

constexpr const char* kArchiveType = "ZQLiveAudioConfiguration";

std::string hexText(const std::array<std::uint8_t, 2>& bytes) {
    return platform::stringWithFormat("%02x%02x", bytes[0], bytes[1]);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

} // namespace

std::shared_ptr<ZQLiveAudioConfiguration> ZQLiveAudioConfiguration::defaultConfiguration() {
    return defaultConfigurationForQuality(ZQLiveAudioQualityHigh);
}

std::shared_ptr<ZQLiveAudioConfiguration> ZQLiveAudioConfiguration::defaultConfigurationForQuality(
    std::uint64_t quality) {
    auto configuration = std::make_shared<ZQLiveAudioConfiguration>();
    configuration->setNumberOfChannels(2);
    switch (quality) {
    case ZQLiveAudioQualityLow:
        configuration->setAudioBitrate(64000);
        configuration->setAudioSampleRate(16000);
        break;
    case ZQLiveAudioQualityMedium:
        configuration->setAudioBitrate(96000);
        configuration->setAudioSampleRate(44100);
        break;
    case ZQLiveAudioQualityHigh:
        configuration->setAudioBitrate(128000);
        configuration->setAudioSampleRate(44100);
        break;
    case ZQLiveAudioQualityVeryHigh:
        configuration->setAudioBitrate(128000);
        configuration->setAudioSampleRate(48000);
        break;
    default:
        configuration->setAudioBitrate(96000);
        configuration->setAudioSampleRate(44100);
        break;
    }
    return configuration;
}

std::shared_ptr<ZQLiveAudioConfiguration> ZQLiveAudioConfiguration::copy() const {
    return std::make_shared<ZQLiveAudioConfiguration>(*this);
}

void ZQLiveAudioConfiguration::setNumberOfChannels(std::uint64_t numberOfChannels) {
    mNumberOfChannels = numberOfChannels;
    updateAsc();
}

void ZQLiveAudioConfiguration::setAudioSampleRate(std::uint64_t audioSampleRate) {
    mAudioSampleRate = audioSampleRate;
    updateAsc();
}

std::uint8_t ZQLiveAudioConfiguration::sampleRateIndex(std::uint64_t sampleRate) {
    switch (sampleRate) {
    case 96000: return 0;
    case 88200: return 1;
    case 64000: return 2;
    case 48000: return 3;
    case 44100: return 4;
    case 32000: return 5;
    case 24000: return 6;
    case 22050: return 7;
    case 16000: return 8;
    case 12000: return 9;
    case 11025: return 10;
    case 8000: return 11;
    case 7350: return 12;
    default: return 15;
    }
}

void ZQLiveAudioConfiguration::updateAsc() {
    // AudioSpecificConfig: 5 bits object type (2, AAC LC), 4 bits sampling-frequency index,
    // 4 bits channel configuration, 3 zero bits.
    std::uint8_t index = sampleRateIndex(mAudioSampleRate);
    mAsc[0] = static_cast<std::uint8_t>(0x10 | ((index >> 1) & 0x07));
    mAsc[1] = static_cast<std::uint8_t>(((index & 1) << 7) | ((mNumberOfChannels << 3) & 0x78));
}

bool operator==(const ZQLiveAudioConfiguration& a, const ZQLiveAudioConfiguration& b) {
    return &a == &b || (a.mNumberOfChannels == b.mNumberOfChannels && a.mAudioBitrate == b.mAudioBitrate &&
                        a.mAsc == b.mAsc && a.mAudioSampleRate == b.mAudioSampleRate);
}

std::size_t ZQLiveAudioConfiguration::hash() const {
    std::hash<std::uint64_t> h;
    return h(mNumberOfChannels) ^ h(mAudioSampleRate) ^ h((std::uint64_t{mAsc[0]} << 8) | mAsc[1]) ^ h(mAudioBitrate);
}

std::string ZQLiveAudioConfiguration::description() const {
    std::string text = platform::stringWithFormat("<ZQLiveAudioConfiguration: %p>", static_cast<const void*>(this));
    text += platform::stringWithFormat(" numberOfChannels:%llu", static_cast<unsigned long long>(mNumberOfChannels));
    text += platform::stringWithFormat(" audioSampleRate:%llu", static_cast<unsigned long long>(mAudioSampleRate));
    text += platform::stringWithFormat(" audioBitrate:%llu", static_cast<unsigned long long>(mAudioBitrate));
    text += " audioHeader:" + hexText(mAsc);
    return text;
}

nlohmann::json ZQLiveAudioConfiguration::archive() const {
    return {{"type", kArchiveType},
            {"numberOfChannels", mNumberOfChannels},
            {"audioSampleRate", mAudioSampleRate},
            {"audioBitrate", mAudioBitrate},
            {"asc", hexText(mAsc)}};
}

std::shared_ptr<ZQLiveAudioConfiguration> ZQLiveAudioConfiguration::unarchive(const nlohmann::json& archive) {
    if (!zqsession::archiveHasType(archive, kArchiveType)) return nullptr;
    auto configuration = std::make_shared<ZQLiveAudioConfiguration>();
    if (!zqsession::readUnsigned(archive, "numberOfChannels", configuration->mNumberOfChannels) ||
        !zqsession::readUnsigned(archive, "audioSampleRate", configuration->mAudioSampleRate) ||
        !zqsession::readUnsigned(archive, "audioBitrate", configuration->mAudioBitrate)) {
        return nullptr;
    }
    // The archived bytes are kept as they are, even when they disagree with the rate and channels.
    if (auto asc = archive.find("asc"); asc != archive.end()) {
        if (!asc->is_string()) return nullptr;
        const auto& text = asc->get_ref<const std::string&>();
        if (text.size() != 4) return nullptr;
        for (std::size_t i = 0; i < 2; ++i) {
            int high = hexDigit(text[2 * i]), low = hexDigit(text[2 * i + 1]);
            if (high < 0 || low < 0) return nullptr;
            configuration->mAsc[i] = static_cast<std::uint8_t>(high << 4 | low);
        }
    }
    return configuration;
}
