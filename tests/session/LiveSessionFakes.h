#pragma once
// Fakes for the parts a live session owns: they record what the session asks of them and let a
// test play the publisher's and encoders' side.
#include <atomic>
#include <memory>
#include <mutex>
#include <vector>
#include "ZQLiveKit/ZQLiveSession.h"
#include "session/ZQLiveSessionImpl.h"

struct FakeSocket : ZVStreamSocket, std::enable_shared_from_this<FakeSocket> {
    void start() override { ++starts; }
    void stop() override { ++stops; }
    void sendFrame(std::shared_ptr<ZQFrame> frame) override {
        std::lock_guard lock(mutex);
        frames.push_back(std::move(frame));
    }
    void setDelegate(std::weak_ptr<ZVStreamSocketDelegate> d) override { delegate = std::move(d); }

    void report(ZQLiveState state) { delegate.lock()->socketStatus(shared_from_this(), state); }
    std::vector<std::uint64_t> timestamps() {
        std::lock_guard lock(mutex);
        std::vector<std::uint64_t> out;
        for (auto& f : frames) out.push_back(f->timestamp());
        return out;
    }

    std::shared_ptr<ZQLiveStreamInfo> info;
    std::int64_t interval = -1, count = -1;
    std::atomic<int> starts{0}, stops{0};
    std::mutex mutex;
    std::vector<std::shared_ptr<ZQFrame>> frames;
    std::weak_ptr<ZVStreamSocketDelegate> delegate;
};

struct FakeVideoEncoder : ZVVideoEncoding {
    void encodeVideoData(const std::shared_ptr<platform::PixelBuffer>&, std::uint64_t timeStamp) override {
        encoded.push_back(timeStamp);
    }
    void setDelegate(std::weak_ptr<ZVVideoEncodingDelegate> d) override { delegate = std::move(d); }
    std::int64_t videoBitRate() const override { return bitRate; }
    void setVideoBitRate(std::int64_t rate) override { bitRate = rate; }
    void stopEncoder() override {}

    void emit(std::uint64_t timestamp, bool key) {
        auto frame = std::make_shared<ZQVideoFrame>();
        frame->setTimestamp(timestamp);
        frame->setIsKeyFrame(key);
        delegate.lock()->videoEncoder(this, frame);
    }

    std::vector<std::uint64_t> encoded;
    std::atomic<std::int64_t> bitRate{0};
    std::weak_ptr<ZVVideoEncodingDelegate> delegate;
};

struct FakeAudioEncoder : ZVAudioEncoding {
    void encodeAudioData(std::span<const std::uint8_t>, std::uint64_t timeStamp) override { encoded.push_back(timeStamp); }
    void setDelegate(std::weak_ptr<ZVAudioEncodingDelegate> d) override { delegate = std::move(d); }
    void stopEncoder() override {}

    void emit(std::uint64_t timestamp) {
        auto frame = std::make_shared<ZQAudioFrame>();
        frame->setTimestamp(timestamp);
        delegate.lock()->audioEncoder(this, frame);
    }

    std::vector<std::uint64_t> encoded;
    std::weak_ptr<ZVAudioEncodingDelegate> delegate;
};

struct FakeAudioCapture : ZVAudioCaptureSource {
    void setDelegate(std::weak_ptr<ZVAudioCaptureDelegate> d) override { delegate = std::move(d); }
    bool running() const override { return isRunning; }
    void setRunning(bool r) override { isRunning = r; }
    bool muted() const override { return isMuted; }
    void setMuted(bool m) override { isMuted = m; }
    bool isRunning = false, isMuted = false;
    std::weak_ptr<ZVAudioCaptureDelegate> delegate;
};

// Everything the session hands out, with counters of what was made.
struct FakeParts {
    std::vector<std::shared_ptr<FakeSocket>> sockets;
    std::shared_ptr<FakeVideoEncoder> video = std::make_shared<FakeVideoEncoder>();
    std::shared_ptr<FakeAudioEncoder> audio = std::make_shared<FakeAudioEncoder>();
    std::shared_ptr<FakeAudioCapture> audioCapture = std::make_shared<FakeAudioCapture>();
    int audioCapturesMade = 0;

    ZQLiveSessionParts parts() {
        ZQLiveSessionParts p;
        p.makeSocket = [this](std::shared_ptr<ZQLiveStreamInfo> info, std::int64_t interval, std::int64_t count) {
            auto s = std::make_shared<FakeSocket>();
            s->info = std::move(info);
            s->interval = interval;
            s->count = count;
            sockets.push_back(s);
            return s;
        };
        p.makeVideoEncoder = [this](auto) { return video; };
        p.makeAudioEncoder = [this](auto) { return audio; };
        p.makeAudioCapture = [this](auto) {
            ++audioCapturesMade;
            return audioCapture;
        };
        return p;
    }
    FakeSocket& socket() { return *sockets.back(); }
};

struct RecordingSessionDelegate : ZQLiveSessionDelegate {
    void liveSessionLiveStateDidChange(ZQLiveSession& session, ZQLiveState state) override {
        states.push_back(state);
        sessionStateAtCall.push_back(session.state());
    }
    void liveSessionDebugInfo(ZQLiveSession&, std::shared_ptr<ZQLiveDebug> debugInfo) override {
        debugs.push_back(std::move(debugInfo));
    }
    void liveSessionErrorCode(ZQLiveSession&, std::uint64_t code) override { errors.push_back(code); }
    void liveSessionVideoBitRateDidChange(ZQLiveSession&, std::uint64_t bitRate) override {
        bitRates.push_back(bitRate);
    }

    std::vector<ZQLiveState> states;
    std::vector<ZQLiveState> sessionStateAtCall;
    std::vector<std::shared_ptr<ZQLiveDebug>> debugs;
    std::vector<std::uint64_t> errors;
    std::vector<std::uint64_t> bitRates;
};
