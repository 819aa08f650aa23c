#include "imaging/ZVImageMovieWriter.h"

#include "ZQPlatform/Console.h"

ZVImageMovieWriter::ZVImageMovieWriter(std::string movieURL, platform::Size size)
    : mMovieURL(std::move(movieURL)), mSize(size) {
    platform::Console::log("无用方法initWithMovieURL");
}

void ZVImageMovieWriter::startRecording() { platform::Console::log("无用方法startRecording"); }

void ZVImageMovieWriter::finishRecording() { finishRecordingWithCompletionHandler(nullptr); }

void ZVImageMovieWriter::finishRecordingWithCompletionHandler(std::function<void()> handler) {
    (void)handler;
    platform::Console::log("无用方法finishRecordingWithCompletionHandler");
}

void ZVImageMovieWriter::cancelRecording() { platform::Console::log("无用方法cancelRecording"); }

void ZVImageMovieWriter::processAudioBuffer() { platform::Console::log("无用方法processAudioBuffer"); }

void ZVImageMovieWriter::newFrameReadyAtTime(double frameTime, int textureIndex) {
    (void)frameTime;
    (void)textureIndex;
    platform::Console::log("无用方法newFrameReadyAtTime");
}
