#pragma once
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include "ZQLiveKit/ZQLiveSession.h"
#include "session/ZQLiveSessionParts.h"

// The engine behind ZQLiveSession: the delegate of its publisher, encoders and capture sources.
// Publisher reports arrive on the send queue or the main queue, encoder output on the encoders'
// threads, capture output on the capture threads; delegate calls go out on the main queue.
struct ZQLiveSession::Impl final : ZVStreamSocketDelegate,
                                   ZVVideoEncodingDelegate,
                                   ZVAudioEncodingDelegate,
                                   ZVAudioCaptureDelegate,
                                   ZVVideoCaptureDelegate,
                                   std::enable_shared_from_this<ZQLiveSession::Impl> {
    Impl(std::shared_ptr<ZQLiveAudioConfiguration> audio, std::shared_ptr<ZQLiveVideoConfiguration> video,
         std::int64_t type);

    // Replaces how parts are made; only before the first part is made (tests).
    void setParts(ZQLiveSessionParts parts);

    bool hasAudio() const { return ZQLiveCaptureTypeHasAudio(captureType); }
    bool hasVideo() const { return ZQLiveCaptureTypeHasVideo(captureType); }
    bool avAlignment() const;
    std::uint64_t now() const;
    // The time a picture arrived: now, but strictly after the previous picture's.
    std::uint64_t pictureTime();
    // The time a block of PCM began: now, but never before the previous block has ended, so a
    // source that delivers in bursts keeps the spacing its samples imply.
    std::uint64_t audioTime(std::size_t bytes);

    // Parts, made on first use.
    std::shared_ptr<ZVStreamSocket> socket(const std::shared_ptr<ZQLiveStreamInfo>& info);
    std::shared_ptr<ZVStreamSocket> currentSocket() const;
    std::shared_ptr<ZVVideoEncoding> videoEncoder();
    std::shared_ptr<ZVAudioEncoding> audioEncoder();
    std::shared_ptr<ZVAudioCaptureSource> audioCapture(bool create);
    std::shared_ptr<ZVVideoCaptureSource> videoCapture(bool create);

    // Rebases the frame's timestamp to the run's first frame and hands it to the publisher.
    void pushSendBuffer(const std::shared_ptr<ZQFrame>& frame);
    std::uint64_t uploadTimestamp(std::uint64_t timestamp);
    void announce(const std::string& property) const;
    // Runs a delegate call on the main queue while the session lives.
    void onMainWithDelegate(std::function<void(ZQLiveSession&, ZQLiveSessionDelegate&)> call);

    // ZVStreamSocketDelegate
    void socketStatus(const std::shared_ptr<ZVStreamSocket>& socket, ZQLiveState status) override;
    void socketDidError(const std::shared_ptr<ZVStreamSocket>& socket, std::uint64_t errorCode) override;
    void socketDebug(const std::shared_ptr<ZVStreamSocket>& socket, std::shared_ptr<ZQLiveDebug> debugInfo) override;
    // Main queue: one bit-rate step at a time.
    void socketBufferStatus(const std::shared_ptr<ZVStreamSocket>& socket, ZVBufferState status) override;
    // Encoder delegates
    void videoEncoder(ZVVideoEncoding* encoder, const std::shared_ptr<ZQVideoFrame>& frame) override;
    void audioEncoder(ZVAudioEncoding* encoder, const std::shared_ptr<ZQAudioFrame>& frame) override;
    // Capture delegates
    void captureOutputAudioData(ZVAudioCaptureSource& capture, const ZQBytes& pcm) override;
    void captureOutputPixelBuffer(ZVVideoCaptureSource& capture,
                                  const std::shared_ptr<platform::PixelBuffer>& pixelBuffer) override;
    void captureOutputDidFailWithError(ZVVideoCaptureSource& capture, const std::string& reason) override;

    std::weak_ptr<ZQLiveSession> weakOwner;
    const std::shared_ptr<ZQLiveAudioConfiguration> audioConfiguration;
    const std::shared_ptr<ZQLiveVideoConfiguration> videoConfiguration;
    const std::int64_t captureType;

    mutable std::mutex mutex; // guards the parts, the delegate, the settings and the handlers below
    ZQLiveSessionParts parts;
    std::weak_ptr<ZQLiveSessionDelegate> delegate;
    std::shared_ptr<ZVStreamSocket> socketPart;
    std::shared_ptr<ZVVideoEncoding> videoEncoderPart;
    std::shared_ptr<ZVAudioEncoding> audioEncoderPart;
    std::shared_ptr<ZVAudioCaptureSource> audioCapturePart;
    std::shared_ptr<ZVVideoCaptureSource> videoCapturePart;
    std::shared_ptr<ZQLiveStreamInfo> streamInfo;
    std::shared_ptr<ZQLiveDebug> debugInfo;
    std::function<void(const std::string&)> propertyChangeHandler;
    std::function<void(const std::string&)> captureErrorHandler;
    std::uint64_t reconnectInterval = 0;
    std::uint64_t reconnectCount = 0;
    ZQLiveVideoEncoderType videoEncoderType = ZQLiveVideoEncoderType::Automatic;
    bool running = false;

    std::mutex timestampLock; // the check-and-set of the time base and every rebase
    std::uint64_t relativeTimestamps = 0;

    std::atomic<std::uint64_t> lastPictureTime{0};
    std::mutex audioTimeLock;
    double audioTimeEnd = 0; // ms: where the previous block of PCM ended
    std::atomic<bool> uploading{false};
    std::atomic<bool> hasCaptureAudio{false};
    std::atomic<bool> hasKeyFrameVideo{false};
    std::atomic<bool> adaptiveBitrate{false};
    std::atomic<bool> showDebugInfo{false};
    std::atomic<std::uint64_t> state{ZQLiveReady};
};

// The engine behind a session, for the kit's own code and tests (which install fakes through it).
struct ZQLiveSessionInternals {
    static ZQLiveSession::Impl& impl(ZQLiveSession& session) { return *session.mImpl; }
};
