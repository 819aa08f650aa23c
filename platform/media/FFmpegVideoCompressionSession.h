#pragma once
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include "ZQPlatform/DispatchQueue.h"
#include "platform/media/FFmpegH264Encoder.h"
#include "platform/media/VideoCompressionSession.h"

namespace platform {

// The compression session over libavcodec. Frames are encoded on the session's serial queue, which
// also runs the output callback; encodeFrame() waits while kMaxFramesInFlight frames are queued, so a
// producer faster than the codec is slowed down instead of piling up pictures.
class FFmpegVideoCompressionSession final : public VideoCompressionSession,
                                            public std::enable_shared_from_this<FFmpegVideoCompressionSession> {
public:
    static constexpr int kMaxFramesInFlight = 3;

    FFmpegVideoCompressionSession(int width, int height, OutputCallback callback);
    ~FFmpegVideoCompressionSession() override;

    MediaStatus setProperty(VideoCompressionProperty key, const VideoCompressionValue& value) override;
    MediaStatus prepareToEncodeFrames() override;
    MediaStatus encodeFrame(std::shared_ptr<PixelBuffer> pixelBuffer, MediaTime presentationTime, MediaTime duration,
                            bool forceKeyFrame, std::uint64_t frameContext) override;
    MediaStatus completeFrames() override;
    void invalidate() override;
    std::string encoderName() const override;

private:
    struct Job {
        std::shared_ptr<PixelBuffer> pixelBuffer;
        MediaTime presentationTime;
        MediaTime duration;
        bool forceKeyFrame = false;
        std::uint64_t frameContext = 0;
    };
    struct Awaiting {
        std::uint64_t frameContext;
        std::int64_t pts;
        MediaTime presentationTime;
    };

    // On mQueue.
    void process(const Job& job);
    bool ensureEncoder();
    bool applyRateChange();
    std::int64_t codecTime(const Job& job);
    void deliver(FFmpegH264Encoder::Picture&& picture);
    void flushHeldFrames();
    // Marks the session failed and wakes a producer waiting for room. Any thread.
    void fail();

    const int mWidth;
    const int mHeight;
    const OutputCallback mCallback;
    const std::shared_ptr<DispatchQueue> mQueue;

    mutable std::mutex mMutex;
    std::condition_variable mSpace;
    H264EncoderSettings mSettings;       // guarded by mMutex
    std::uint64_t mSettingsVersion = 0;  // guarded by mMutex; bumped by live rate changes
    bool mOpened = false;                // guarded by mMutex
    bool mFailed = false;                // guarded by mMutex
    bool mInvalidated = false;           // guarded by mMutex
    int mInFlight = 0;                   // guarded by mMutex
    std::string mEncoderName;            // guarded by mMutex

    // Owned by mQueue.
    std::unique_ptr<FFmpegH264Encoder> mEncoder;
    std::uint64_t mAppliedVersion = 0;
    std::deque<Awaiting> mAwaiting; // sent to the codec, not yet back
    std::int64_t mLastPts = -1;
};

} // namespace platform
