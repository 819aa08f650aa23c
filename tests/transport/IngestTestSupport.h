#pragma once
// Helpers of the tests that publish to a real ingest (plain and TLS).
#include <chrono>
#include <csignal>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <pthread.h>
#include <string>
#include <thread>
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "tests/support/TestMedia.h"

namespace zqtest {

// Polls `done` every 10 ms for up to `seconds` of real time.
inline bool waitFor(const std::function<bool()>& done, double seconds) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (std::chrono::steady_clock::now() < deadline) {
        if (done()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// SIGPIPE must be able to kill this process for the tests to prove it never arrives.
inline void expectSigpipeDeadly() {
    struct sigaction action {};
    sigaction(SIGPIPE, nullptr, &action);
    ASSERT_EQ(action.sa_handler, SIG_DFL);
    sigset_t mask;
    pthread_sigmask(SIG_SETMASK, nullptr, &mask);
    ASSERT_EQ(sigismember(&mask, SIGPIPE), 0);
}

// Stream info for `url` whose configurations describe the test media.
inline std::shared_ptr<ZQLiveStreamInfo> streamTo(const std::string& url, const TestMediaOptions& media) {
    auto stream = std::make_shared<ZQLiveStreamInfo>();
    stream->setUrl(url);
    auto video = std::make_shared<ZQLiveVideoConfiguration>();
    video->setVideoSize({static_cast<double>(media.width), static_cast<double>(media.height)});
    video->setVideoFrameRate(static_cast<std::uint64_t>(media.frameRate));
    video->setVideoBitRate(400000);
    auto audio = std::make_shared<ZQLiveAudioConfiguration>();
    audio->setNumberOfChannels(static_cast<std::uint64_t>(media.channels));
    audio->setAudioSampleRate(static_cast<std::uint64_t>(media.sampleRate));
    audio->setAudioBitrate(128000);
    stream->setVideoConfiguration(video);
    stream->setAudioConfiguration(audio);
    return stream;
}

} // namespace zqtest
