#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "ZQLiveKit/PixelBuffer.h"
#include "ZQLiveKit/ZQBytes.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Task.h"
#include "platform/media/MediaTypes.h"
#include "platform/media/VideoCompressionSession.h"

struct AVFormatContext;
struct AVIOContext;

namespace platform {

class FFmpegH264Encoder;

// One uncompressed picture with its timing (a CMSampleBuffer around a pixel buffer). A sample
// without a pixel buffer is not ready.
struct VideoSampleBuffer {
    std::shared_ptr<PixelBuffer> pixelBuffer;
    MediaTime presentationTime;
    MediaTime duration;
};

// A movie-file writer with one H.264 video input (an asset writer and its one writer input).
// Pictures are encoded by libavcodec (the encoder the probe chose, else libx264) on the writer's
// own queue and stored by libavformat's mp4 muxer as they come: ftyp, a placeholder and the media
// data atom first, each picture's length-prefixed NAL units (4-byte lengths) flushed to the file as
// soon as they are encoded, the movie atom with the codec configuration (avcC) when writing
// finishes. A reader tailing the file therefore finds whole pictures in the media data while it
// grows.
//
// Threads: every method may be called from any thread; appends are encoded in order on the writer's
// queue, and the finish completion runs there too.
class MovieFileWriter : public std::enable_shared_from_this<MovieFileWriter> {
public:
    enum class Status { Unknown, Writing, Completed, Failed };

    struct Input {
        int width = 0;
        int height = 0;
        H264EncoderSettings settings;
        // True: an append finding the encoder three pictures behind is refused (the picture is dropped
        // by the caller), as a live source wants. False: it waits until there is room.
        bool expectsMediaDataInRealTime = true;
    };

    // Makes the writer and creates the file at `path` (empty, mode 0600, replacing a file of that name
    // but not following a link). Null, with the reason, when the file cannot be created.
    static std::shared_ptr<MovieFileWriter> create(const std::string& path, const Input& input, std::string* reason);
    // A writer that was never finished leaves its file as far as it got.
    ~MovieFileWriter();
    MovieFileWriter(const MovieFileWriter&) = delete;
    MovieFileWriter& operator=(const MovieFileWriter&) = delete;

    const std::string& path() const { return mPath; }
    Status status() const;
    // Why the writer failed ("" while it has not).
    std::string error() const;

    // Starts writing (status Writing): the encoder opens and the file's header is written on the
    // writer's queue, ahead of the pictures appended meanwhile. Should either fail, the status
    // becomes Failed (the reason goes to the console). False when writing was started before.
    // `frameDuration`, the duration of the pictures to come, gives the codec its frame rate (rate
    // control and level) unless the input's settings name one.
    bool startWriting(MediaTime frameDuration = {});
    // The time that becomes time zero of the file; the first append's time when never called.
    void startSessionAtSourceTime(MediaTime time);
    // False while writing is not under way, or, for a real-time input, while the open encoder is behind.
    bool isReadyForMoreMediaData() const;
    // Queues one picture for encoding; false when it was not taken (not writing, not ready, no picture).
    bool appendSampleBuffer(const VideoSampleBuffer& sample);
    // Encodes what is still queued, drains the encoder, writes the movie atom and closes the file,
    // then calls `completion` on the writer's queue. A writer that is not writing completes at once.
    // Appends after this call are refused.
    void finishWriting(Task completion);

    // The avcC record the file's track carries (4-byte NAL lengths); empty until the encoder is open.
    // Set before any byte of the file's header is written: whoever sees the media data atom finds it.
    std::vector<std::uint8_t> codecConfiguration() const;
    // The encoder doing the work ("libx264", ...); empty before writing started.
    std::string encoderName() const;

private:
    MovieFileWriter(std::string path, Input input, int fd);
    // Writer queue.
    bool open(MediaTime frameDuration);
    void encode(const VideoSampleBuffer& sample);
    void finish();
    void fail(const std::string& why);
    bool writePicture(const std::vector<ZQBytes>& nalUnits, std::int64_t pts, bool keyFrame);
    void closeMuxer();

    const std::string mPath;
    const Input mInput;
    int mFd = -1;

    mutable std::mutex mMutex;
    std::condition_variable mRoom;
    Status mStatus = Status::Unknown; // guarded by mMutex
    bool mFinishing = false;          // guarded by mMutex
    int mPending = 0;                 // appends queued and not yet encoded; guarded by mMutex
    bool mOpen = false;               // the encoder is open; guarded by mMutex
    bool mHasSessionStart = false;    // guarded by mMutex
    MediaTime mSessionStart;          // guarded by mMutex
    std::string mError;               // guarded by mMutex
    std::vector<std::uint8_t> mCodecConfiguration; // set once by open(); guarded by mMutex
    std::string mEncoderName;                      // likewise

    // Made by open(), then used on the writer's queue only.
    std::unique_ptr<FFmpegH264Encoder> mEncoder;
    AVFormatContext* mMuxer = nullptr;
    AVIOContext* mIO = nullptr;
    std::int64_t mLastPts = -1;       // codec time base
    std::int64_t mFrameDuration = 0;  // codec time base

    // Declared last, so destroyed first: its tasks end before the state they use goes.
    std::shared_ptr<DispatchQueue> mQueue;
};

} // namespace platform
