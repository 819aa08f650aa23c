#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "ZQPlatform/NotificationCenter.h"
#include "encoder/ZVVideoEncoding.h"
#include "platform/media/VideoCompressionSession.h"

// The H.264 encoder over the platform's compression session (FFmpeg: a hardware encoder where one
// works, else libx264). Each encoded picture is walked NAL unit by NAL unit, and every unit goes to
// the delegate as one ZQVideoFrame with the picture's timestamp and key-frame flag and the SPS/PPS
// of the first key frame. While the application is inactive frames are dropped; on its return the
// session is rebuilt.
//
// Threads: encodeVideoData() on the capture's delivery thread, one call at a time; the delegate on
// the compression session's thread; the notification handlers on the thread that posts them (the
// main thread); the other methods on any thread.
class ZVHardwareVideoEncoder final : public ZVVideoEncoding,
                                     public std::enable_shared_from_this<ZVHardwareVideoEncoder> {
public:
    // initWithVideoStreamConfiguration: — builds the session and starts observing the application's
    // lifecycle. `sessionFactory` makes the compression sessions (the FFmpeg one when empty).
    static std::shared_ptr<ZVHardwareVideoEncoder> create(std::shared_ptr<ZQLiveVideoConfiguration> configuration,
                                                          platform::VideoCompressionSession::Factory sessionFactory = {});
    // Completes pending frames, invalidates the session, stops observing.
    ~ZVHardwareVideoEncoder() override;

    void encodeVideoData(const std::shared_ptr<platform::PixelBuffer>& pixelBuffer, std::uint64_t timeStamp) override;
    // setDelegate: and setH264Delegate: write the same reference.
    void setDelegate(std::weak_ptr<ZVVideoEncodingDelegate> delegate) override { setH264Delegate(std::move(delegate)); }
    void setH264Delegate(std::weak_ptr<ZVVideoEncodingDelegate> delegate);
    std::weak_ptr<ZVVideoEncodingDelegate> h264Delegate() const;
    // Completes the pending frames; the session stays usable.
    void stopEncoder() override;
    // The rate last applied (bits per second).
    std::int64_t videoBitRate() const override { return mCurrentVideoBitRate.load(); }
    // Changes the rate of the running session without rebuilding it; ignored in the background.
    void setVideoBitRate(std::int64_t videoBitRate) override;

    // Tears the session down and builds it again from the configuration (dropping any bit-rate
    // change made since the last build).
    void resetCompressionSession();
    // UIApplicationWillResignActiveNotification / UIApplicationDidBecomeActiveNotification.
    void willEnterBackground(const platform::Notification& notification);
    void willEnterForeground(const platform::Notification& notification);

    const std::shared_ptr<ZQLiveVideoConfiguration>& configuration() const { return mConfiguration; }
    // Frames submitted since the encoder was made (never reset).
    std::int64_t frameCount() const { return mFrameCount.load(); }
    bool isBackGround() const { return mIsBackGround.load(); }
    ZQBytes sps() const;
    ZQBytes pps() const;

private:
    ZVHardwareVideoEncoder(std::shared_ptr<ZQLiveVideoConfiguration> configuration,
                           platform::VideoCompressionSession::Factory sessionFactory);
    std::shared_ptr<platform::VideoCompressionSession> compressionSession() const;
    // VideoCompressonOutputCallback: on the session's thread.
    void compressionOutput(std::uint64_t frameContext, platform::MediaStatus status,
                           const platform::CompressedSample* sample);

    const std::shared_ptr<ZQLiveVideoConfiguration> mConfiguration;
    const platform::VideoCompressionSession::Factory mSessionFactory;

    mutable std::mutex mSessionMutex;
    std::shared_ptr<platform::VideoCompressionSession> mCompressionSession; // guarded by mSessionMutex
    std::mutex mResetMutex; // one rebuild at a time

    std::atomic<std::int64_t> mFrameCount{0};
    std::atomic<bool> mIsBackGround{false};
    std::atomic<std::int64_t> mCurrentVideoBitRate{0};

    mutable std::mutex mMutex;
    ZQBytes mSps;                                     // guarded by mMutex
    ZQBytes mPps;                                     // guarded by mMutex
    std::weak_ptr<ZVVideoEncodingDelegate> mDelegate; // guarded by mMutex

    platform::NotificationCenter::Registration mResignActiveObserver;
    platform::NotificationCenter::Registration mBecomeActiveObserver;
};
