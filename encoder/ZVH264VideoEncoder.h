#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "encoder/ZVAVEncoder.h"
#include "encoder/ZVVideoEncoding.h"

// The file-based H.264 encoder, for systems below 8.0 that offer no direct compression session: it
// reaches the encoder through a movie-file writer (ZVAVEncoder) and turns the access units read back
// from the growing file into ZQVideoFrame objects for its delegate.
//
// Each frame carries exactly one NAL unit, without start code or length, and the SPS and PPS (also
// bare) from the codec configuration; SEI units are not sent. Access units that arrive without a
// time (orphans) wait for the next timed one and are then delivered between it and the previous one.
//
// Threads: encodeVideoData() on the capture's delivery thread (the video-processing queue); the
// delegate is called on the file reader's queue; the other methods on any thread.
class ZVH264VideoEncoder final : public ZVVideoEncoding, public std::enable_shared_from_this<ZVH264VideoEncoder> {
public:
    static constexpr std::int32_t kTimescale = 1000;
    // Orphans beyond this many are dropped, oldest first (a time queue that stays empty).
    static constexpr std::size_t kMaxOrphanedFrames = 120;

    // initWithVideoStreamConfiguration: — starts the file encoder at the configuration's size and
    // bit rate. `writerFactory` replaces the movie-file writers (tests).
    static std::shared_ptr<ZVH264VideoEncoder> create(std::shared_ptr<ZQLiveVideoConfiguration> configuration,
                                                      ZVAVEncoder::WriterFactory writerFactory = {});
    // Shuts the file encoder down (its files and folder go with it).
    ~ZVH264VideoEncoder() override;

    void encodeVideoData(const std::shared_ptr<platform::PixelBuffer>& pixelBuffer, std::uint64_t timeStamp) override;
    // setDelegate: and setH264Delegate: write the same reference.
    void setDelegate(std::weak_ptr<ZVVideoEncodingDelegate> delegate) override { setH264Delegate(std::move(delegate)); }
    void setH264Delegate(std::weak_ptr<ZVVideoEncodingDelegate> delegate);
    std::weak_ptr<ZVVideoEncodingDelegate> h264Delegate() const;
    std::int64_t videoBitRate() const override { return mCurrentVideoBitRate.load(); }
    // Takes effect with a new capture file, which the next submitted frame starts.
    void setVideoBitRate(std::int64_t videoBitRate) override;
    // Stops the file encoder; later frames are dropped.
    void shutdown();

    // The output block: one access unit read from the file with its time value (0: none was left).
    // Called on the file reader's queue.
    void deliverAccessUnit(std::vector<ZQBytes> nalUnits, std::int64_t timeValue);
    // Takes the first SPS and PPS of an avcC record (the params block passes the file encoder's).
    void buildParameterSets(const std::vector<std::uint8_t>& avcC);

    const std::shared_ptr<ZQLiveVideoConfiguration>& configuration() const { return mConfiguration; }
    std::int64_t frameCount() const { return mFrameCount.load(); }
    ZQBytes sps() const;
    ZQBytes pps() const;
    // Time of the last delivered access unit (nullopt before the first).
    std::optional<std::int64_t> lastPTS() const;
    // The file encoder (nullptr when it could not be started).
    const std::shared_ptr<ZVAVEncoder>& encoder() const { return mEncoder; }

private:
    explicit ZVH264VideoEncoder(std::shared_ptr<ZQLiveVideoConfiguration> configuration);
    void deliverList(const std::vector<ZQBytes>& nalUnits, std::int64_t time);

    const std::shared_ptr<ZQLiveVideoConfiguration> mConfiguration;
    std::shared_ptr<ZVAVEncoder> mEncoder; // set once by create()
    std::atomic<std::int64_t> mFrameCount{0};
    std::atomic<std::int64_t> mCurrentVideoBitRate{0};

    mutable std::mutex mMutex;
    std::weak_ptr<ZVVideoEncodingDelegate> mDelegate; // guarded by mMutex
    ZQBytes mSps;                                     // guarded by mMutex
    ZQBytes mPps;                                     // guarded by mMutex
    bool mHasParameterSets = false;                   // guarded by mMutex
    std::optional<std::int64_t> mLastPTS;             // guarded by mMutex

    // The reader's queue only.
    std::vector<ZQBytes> mOrphanedFrames;
    bool mOrphanOverflowLogged = false;
};
