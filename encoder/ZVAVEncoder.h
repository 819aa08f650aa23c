#pragma once
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "ZQLiveKit/ZQBytes.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Sync.h"
#include "encoder/ZVAccessUnitAssembler.h"
#include "encoder/ZVVideoEncoder.h"
#include "platform/media/FileHandle.h"
#include "platform/media/FileReadSource.h"
#include "platform/media/TemporaryDirectory.h"

// The file juggling behind the file-based H.264 encoder. Frames go into a movie file; a reader tails
// that file while it grows, cuts its media data into NAL units, groups them into access units and
// gives each the presentation time of the frame that produced it, from a queue of the times of the
// frames submitted. The first frame also goes alone into "params.mp4", whose avcC record gives the
// codec configuration; reading starts once that is known. The capture file ("capture1.mp4" …
// "capture5.mp4", then 1 again) is rotated when it passes 50 MiB or the bit rate changed: the old
// file is finished, read to the end of its media data and deleted, and reading goes on in the new one.
// A rotated file whose parameter sets differ from the known ones announces them through the params
// block before its first picture is delivered.
//
// Every encoder works in a fresh temporary directory of its own (mode 0700), removed when the encoder
// and its writers are gone.
//
// Threads: encodeFrame() on the submitting thread (the video-processing queue), under the encoder's
// lock; the file is read, and both blocks are called, on the encoder's serial read queue; writer
// completions run on the writers' threads and only hand work to the read queue. The other methods:
// any thread.
class ZVAVEncoder : public std::enable_shared_from_this<ZVAVEncoder> {
public:
    // (NAL units of one access unit, presentation time value or 0 when no time was left).
    using OutputBlock = std::function<void(std::vector<ZQBytes>&& nalUnits, std::int64_t pts)>;
    using ParamsBlock = std::function<void()>;
    // Makes the writer of one file (tests substitute other settings).
    using WriterFactory =
        std::function<std::shared_ptr<ZVVideoEncoder>(const std::string& path, int height, int width, std::int64_t bitrate)>;

    static constexpr std::uint64_t kMaxFileSize = 52428800; // 50 MiB
    static constexpr int kFileCount = 5;
    static constexpr const char* kParamsFileName = "params.mp4";

    // encoderForHeight:andWidth:bitrate: — nullptr when no temporary directory or file can be made.
    static std::shared_ptr<ZVAVEncoder> encoderForHeight(int height, int width, std::int64_t bitrate,
                                                         WriterFactory writerFactory = {});
    // Shuts down.
    ~ZVAVEncoder();
    ZVAVEncoder(const ZVAVEncoder&) = delete;
    ZVAVEncoder& operator=(const ZVAVEncoder&) = delete;

    // encodeWithBlock:onParams: — stores both blocks; the next frame goes to "params.mp4" too.
    void encodeWithBlock(OutputBlock block, ParamsBlock onParams);
    // encodeFrame: — one picture with its presentation time (value in its time scale, as the
    // output block gets it back).
    void encodeFrame(const platform::VideoSampleBuffer& sample);
    // getConfigData — a copy of the avcC record (empty until known).
    std::vector<std::uint8_t> getConfigData() const;
    // Stops reading and finishes both writers; waits (at most a few seconds) until they are done,
    // unless called on the read queue. Frames submitted later are dropped. Idempotent.
    void shutdown();

    std::int64_t bitrate() const;
    // A different rate applies from the next capture file, which the next frame starts.
    void setBitrate(std::int64_t bitrate);

    // "capture%d.mp4".
    static std::string captureFileName(int number);
    const std::string& temporaryDirectory() const { return mDirectory->path(); }
    int currentFile() const;
    // Path of the file the current writer writes.
    std::string currentPath() const;
    bool isSwapping() const;
    // True once the codec configuration is known and the capture file is being read.
    bool isReading() const;
    // Frame times queued and not yet matched with an access unit.
    std::size_t pendingTimeCount() const;
    // Frames the writer did not take (it was behind, or failed).
    std::uint64_t droppedFrameCount() const;

private:
    ZVAVEncoder(std::shared_ptr<platform::TemporaryDirectory> directory, int height, int width, std::int64_t bitrate,
                WriterFactory writerFactory);

    struct QueuedTime {
        std::uint64_t sequence;
        std::int64_t value;
    };

    // Read queue.
    void paramsWritten();
    void startReading(const std::shared_ptr<ZVVideoEncoder>& writer, bool checkParams);
    void fileUpdate();
    // Skips the atoms before the media data; true once in it. `available` shrinks by what was passed.
    bool seekMediaData(std::uint64_t& available);
    void readAndDeliver(std::uint64_t count);
    void checkParameterSets();
    void swapFiles(const std::string& oldPath, const std::shared_ptr<ZVVideoEncoder>& newWriter);
    void encodedFrame(std::vector<ZQBytes>&& nalUnits);
    void stopReading(const std::string& why);

    // Under mMutex.
    void rotateIfDue();

    std::shared_ptr<platform::FileReadSource> makeReadSource();
    std::string filePath(const std::string& name) const { return mDirectory->file(name); }

    const std::shared_ptr<platform::TemporaryDirectory> mDirectory;
    const int mHeight;
    const int mWidth;
    const WriterFactory mWriterFactory;
    // Every writer finishing (rotations and shutdown); shutdown waits for them.
    const std::shared_ptr<platform::DispatchGroup> mFinishing = platform::DispatchGroup::create();

    // The encoder's lock.
    mutable std::mutex mMutex;
    std::shared_ptr<ZVVideoEncoder> mHeaderWriter;
    std::shared_ptr<ZVVideoEncoder> mWriter;
    std::shared_ptr<platform::FileReadSource> mReadSource;
    bool mSwapping = false;
    int mCurrentFile = 1;
    std::vector<std::uint8_t> mAvcC;
    bool mNeedParams = false;
    bool mFailed = false; // no configuration, or the file cannot be read: frames are dropped
    bool mBitrateChanged = false;
    std::int64_t mBitrate = 0;
    bool mShutDown = false;
    bool mRotationFailureLogged = false;
    std::uint64_t mFramesSubmitted = 0;
    std::uint64_t mFramesDropped = 0; // not taken by the writer

    mutable std::mutex mBlockMutex;
    OutputBlock mOutputBlock; // guarded by mBlockMutex
    ParamsBlock mParamsBlock; // guarded by mBlockMutex

    mutable std::mutex mTimesMutex;
    std::deque<QueuedTime> mTimes; // guarded by mTimesMutex
    std::uint64_t mNextSequence = 0;

    // Owned by the read queue.
    std::shared_ptr<platform::FileHandle> mInputFile;
    std::shared_ptr<ZVVideoEncoder> mInputWriter;
    std::uint64_t mReadPosition = 0;
    bool mFoundMDAT = false;
    std::uint64_t mPosMDAT = 0;
    std::uint64_t mBytesToNextAtom = 0;
    bool mCheckParams = false;
    bool mReadStopped = false;
    ZVAccessUnitAssembler mAssembler;
    std::vector<std::uint8_t> mReadBuffer;

    // Declared last, so destroyed first: its queued tasks run (and find this object gone) before the
    // state they would touch is destroyed.
    std::shared_ptr<platform::DispatchQueue> mReadQueue;
};
