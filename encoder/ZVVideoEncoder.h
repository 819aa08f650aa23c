#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "platform/media/MovieFileWriter.h"

// One movie-file writer with one H.264 video input: a QuickTime-family (mp4) file at `path`,
// encoded at an average `bitrate` with a key frame at least every 60 frames, Baseline profile at
// level 4.1, no frame reordering, tuned for real time (one slice per picture, each picture on disk
// as soon as it is encoded). The file is created when the writer is made.
//
// Threads: any; the finish completion runs on the writer's own thread.
class ZVVideoEncoder {
public:
    static constexpr std::int64_t kMaxKeyFrameInterval = 60;

    // encoderForPath:Height:andWidth:bitrate: — nullptr when the file cannot be created.
    static std::shared_ptr<ZVVideoEncoder> encoderForPath(const std::string& path, int height, int width,
                                                          std::int64_t bitrate);
    // The same writer over explicit input settings (tests pick other codec settings or a queueing,
    // never-dropping input).
    static std::shared_ptr<ZVVideoEncoder> encoderForPath(const std::string& path,
                                                          const platform::MovieFileWriter::Input& input,
                                                          std::int64_t bitrate);
    // The input settings encoderForPath uses.
    static platform::MovieFileWriter::Input inputFor(int height, int width, std::int64_t bitrate);

    // encodeFrame: — false when the frame was not taken (no picture, the writer failed, or the
    // input is not ready for more); the first frame taken starts the file at its time.
    bool encodeFrame(const platform::VideoSampleBuffer& sample);
    // finishWithCompletionHandler: — finishes a writer that is writing; `handler` runs once it is
    // done (at once, on the writer's thread, for one that is not writing).
    void finishWithCompletionHandler(std::function<void()> handler);

    const std::string& path() const { return mWriter->path(); }
    std::int64_t bitrate() const { return mBitrate; }
    // The avcC record the file's track carries; empty until the first frame was taken.
    std::vector<std::uint8_t> configData() const { return mWriter->codecConfiguration(); }
    platform::MovieFileWriter::Status status() const { return mWriter->status(); }

private:
    ZVVideoEncoder(std::shared_ptr<platform::MovieFileWriter> writer, std::int64_t bitrate)
        : mWriter(std::move(writer)), mBitrate(bitrate) {}

    const std::shared_ptr<platform::MovieFileWriter> mWriter;
    const std::int64_t mBitrate;
};
