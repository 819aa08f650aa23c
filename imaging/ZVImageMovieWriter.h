#pragma once
#include <functional>
#include <string>
#include "imaging/ZVImageOutput.h"

// The local-recording target. Recording is not offered: every recording operation only writes its
// "无用方法…" console line, no file is written, and frames given to it are neither locked nor kept.
class ZVImageMovieWriter : public ZVImageInput {
public:
    // initWithMovieURL:size: (writes "无用方法initWithMovieURL").
    ZVImageMovieWriter(std::string movieURL, platform::Size size);

    void startRecording();
    void finishRecording();
    void finishRecordingWithCompletionHandler(std::function<void()> handler);
    void cancelRecording();
    void processAudioBuffer();

    bool encodingLiveVideo() const { return mEncodingLiveVideo; }
    void setEncodingLiveVideo(bool value) { mEncodingLiveVideo = value; }
    bool shouldPassthroughAudio() const { return mShouldPassthroughAudio; }
    void setShouldPassthroughAudio(bool value) { mShouldPassthroughAudio = value; }
    const std::string& movieURL() const { return mMovieURL; }

    // ZVImageInput
    void newFrameReadyAtTime(double frameTime, int textureIndex) override;
    void setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer>, int) override {}
    int nextAvailableTextureIndex() override { return 0; }
    void setInputSize(platform::Size, int) override {}
    void setInputRotation(int, int) override {}
    platform::Size maximumOutputSize() override { return mSize; }
    void endProcessing() override {}
    bool shouldIgnoreUpdatesToThisTarget() const override { return false; }
    bool enabled() const override { return true; }
    bool wantsMonochromeInput() override { return false; }
    void setCurrentlyReceivingMonochromeInput(bool) override {}

private:
    std::string mMovieURL;
    platform::Size mSize;
    bool mEncodingLiveVideo = false;
    bool mShouldPassthroughAudio = false;
};
