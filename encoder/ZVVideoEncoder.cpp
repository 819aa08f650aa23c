#include "encoder/ZVVideoEncoder.h"

#include "ZQPlatform/Console.h"

using namespace platform;

MovieFileWriter::Input ZVVideoEncoder::inputFor(int height, int width, std::int64_t bitrate) {
    MovieFileWriter::Input input;
    input.width = width;
    input.height = height;
    input.settings.averageBitRate = bitrate;
    input.settings.maxKeyFrameInterval = kMaxKeyFrameInterval;
    input.settings.profileLevel = H264ProfileLevel::Baseline41;
    input.settings.allowFrameReordering = false;
    input.settings.realTime = true;
    input.expectsMediaDataInRealTime = true;
    return input;
}

std::shared_ptr<ZVVideoEncoder> ZVVideoEncoder::encoderForPath(const std::string& path, int height, int width,
                                                               std::int64_t bitrate) {
    return encoderForPath(path, inputFor(height, width, bitrate), bitrate);
}

std::shared_ptr<ZVVideoEncoder> ZVVideoEncoder::encoderForPath(const std::string& path,
                                                               const MovieFileWriter::Input& input,
                                                               std::int64_t bitrate) {
    std::string reason;
    auto writer = MovieFileWriter::create(path, input, &reason);
    if (!writer) {
        Console::log("File-based encoder: " + reason);
        return nullptr;
    }
    return std::shared_ptr<ZVVideoEncoder>(new ZVVideoEncoder(std::move(writer), bitrate));
}

bool ZVVideoEncoder::encodeFrame(const VideoSampleBuffer& sample) {
    if (!sample.pixelBuffer) return false; // the sample's data is not ready
    if (mWriter->status() == MovieFileWriter::Status::Unknown) {
        // The codec opens on the writer's thread; this frame waits for it there.
        if (!mWriter->startWriting(sample.duration)) return false;
        mWriter->startSessionAtSourceTime(sample.presentationTime);
    }
    if (mWriter->status() != MovieFileWriter::Status::Writing) return false;
    // Refused when a live input is not ready for more (the encoder is behind): the frame is dropped.
    return mWriter->appendSampleBuffer(sample);
}

void ZVVideoEncoder::finishWithCompletionHandler(std::function<void()> handler) {
    mWriter->finishWriting(std::move(handler));
}
