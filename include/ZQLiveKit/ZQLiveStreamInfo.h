#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"

// Where to publish and with which configurations. The facade sets url(); the session replaces both
// configurations with its own when it starts a run; the publisher reads url(), streamId() and the
// configurations. Plain fields without locking: filled before it is handed to the publisher.
class ZQLIVEKIT_EXPORT ZQLiveStreamInfo {
public:
    ZQLiveStreamInfo() = default;

    // Copied into the publisher's statistics record.
    const std::optional<std::string>& streamId() const { return mStreamId; }
    void setStreamId(std::optional<std::string> streamId) { mStreamId = std::move(streamId); }

    // Carried; the publisher does not read host() or port().
    const std::optional<std::string>& host() const { return mHost; }
    void setHost(std::optional<std::string> host) { mHost = std::move(host); }
    std::int64_t port() const { return mPort; }
    void setPort(std::int64_t port) { mPort = port; }

    // The full RTMP publish URL as librtmp parses it; the publisher will not start without one.
    const std::optional<std::string>& url() const { return mUrl; }
    void setUrl(std::optional<std::string> url) { mUrl = std::move(url); }

    const std::shared_ptr<ZQLiveAudioConfiguration>& audioConfiguration() const { return mAudioConfiguration; }
    void setAudioConfiguration(std::shared_ptr<ZQLiveAudioConfiguration> configuration) {
        mAudioConfiguration = std::move(configuration);
    }
    const std::shared_ptr<ZQLiveVideoConfiguration>& videoConfiguration() const { return mVideoConfiguration; }
    void setVideoConfiguration(std::shared_ptr<ZQLiveVideoConfiguration> configuration) {
        mVideoConfiguration = std::move(configuration);
    }

private:
    std::optional<std::string> mStreamId;
    std::optional<std::string> mHost;
    std::int64_t mPort = 0;
    std::optional<std::string> mUrl;
    std::shared_ptr<ZQLiveAudioConfiguration> mAudioConfiguration;
    std::shared_ptr<ZQLiveVideoConfiguration> mVideoConfiguration;
};
