#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Geometry.h"

// The publisher's statistics record, reported about once a second. "Window" is the publisher's
// current one-second statistics window. A fresh record has every number 0, no strings and
// isRtmp() false. A plain value: copy it to hand a snapshot to another thread.
class ZQLIVEKIT_EXPORT ZQLiveDebug {
public:
    ZQLiveDebug() = default;

    const std::optional<std::string>& streamId() const { return mStreamId; }
    void setStreamId(std::optional<std::string> streamId) { mStreamId = std::move(streamId); }
    const std::optional<std::string>& uploadUrl() const { return mUploadUrl; }
    void setUploadUrl(std::optional<std::string> uploadUrl) { mUploadUrl = std::move(uploadUrl); }
    // Carried; the publisher does not fill it in.
    platform::Size videoSize() const { return mVideoSize; }
    void setVideoSize(platform::Size videoSize) { mVideoSize = videoSize; }
    bool isRtmp() const { return mIsRtmp; }
    void setIsRtmp(bool isRtmp) { mIsRtmp = isRtmp; }
    // The TLS version of the current link ("TLS1.3", "TLS1.2"); none for plain RTMP or before the
    // first connect.
    const std::optional<std::string>& tlsVersion() const { return mTlsVersion; }
    void setTlsVersion(std::optional<std::string> version) { mTlsVersion = std::move(version); }
    bool isTls() const { return mTlsVersion.has_value(); }

    // Milliseconds since the window began.
    double elapsedMilli() const { return mElapsedMilli; }
    void setElapsedMilli(double value) { mElapsedMilli = value; }
    // Start of the window, media-clock milliseconds.
    double timeStamp() const { return mTimeStamp; }
    void setTimeStamp(double value) { mTimeStamp = value; }
    // Payload bytes of every frame taken for sending.
    double dataFlow() const { return mDataFlow; }
    void setDataFlow(double value) { mDataFlow = value; }
    // Payload bytes sent in this window, and in the last completed one.
    double bandwidth() const { return mBandwidth; }
    void setBandwidth(double value) { mBandwidth = value; }
    double currentBandwidth() const { return mCurrentBandwidth; }
    void setCurrentBandwidth(double value) { mCurrentBandwidth = value; }

    // Frames dropped by the send buffer, and frames taken from it for sending.
    std::int64_t dropFrame() const { return mDropFrame; }
    void setDropFrame(std::int64_t value) { mDropFrame = value; }
    std::int64_t totalFrame() const { return mTotalFrame; }
    void setTotalFrame(std::int64_t value) { mTotalFrame = value; }
    // Frames sent in this window, and in the last completed one.
    std::int64_t capturedAudioCount() const { return mCapturedAudioCount; }
    void setCapturedAudioCount(std::int64_t value) { mCapturedAudioCount = value; }
    std::int64_t capturedVideoCount() const { return mCapturedVideoCount; }
    void setCapturedVideoCount(std::int64_t value) { mCapturedVideoCount = value; }
    std::int64_t currentCapturedAudioCount() const { return mCurrentCapturedAudioCount; }
    void setCurrentCapturedAudioCount(std::int64_t value) { mCurrentCapturedAudioCount = value; }
    std::int64_t currentCapturedVideoCount() const { return mCurrentCapturedVideoCount; }
    void setCurrentCapturedVideoCount(std::int64_t value) { mCurrentCapturedVideoCount = value; }
    // Frames waiting in the send list.
    std::int64_t unSendCount() const { return mUnSendCount; }
    void setUnSendCount(std::int64_t value) { mUnSendCount = value; }

    // "丢掉的帧数:… 总帧数:… 上次的音频捕获个数:… 上次的视频捕获个数:… 未发送个数:… 总流量:…", the
    // data flow rounded to whole bytes.
    std::string description() const;

private:
    std::optional<std::string> mStreamId;
    std::optional<std::string> mUploadUrl;
    platform::Size mVideoSize;
    bool mIsRtmp = false;
    std::optional<std::string> mTlsVersion;
    double mElapsedMilli = 0;
    double mTimeStamp = 0;
    double mDataFlow = 0;
    double mBandwidth = 0;
    double mCurrentBandwidth = 0;
    std::int64_t mDropFrame = 0;
    std::int64_t mTotalFrame = 0;
    std::int64_t mCapturedAudioCount = 0;
    std::int64_t mCapturedVideoCount = 0;
    std::int64_t mCurrentCapturedAudioCount = 0;
    std::int64_t mCurrentCapturedVideoCount = 0;
    std::int64_t mUnSendCount = 0;
};
