#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "transport/RtmpConnection.h"

namespace zqtest {

// A message as the fake ingest received it.
struct SentMessage {
    int connection = 0; // which connection (1 = the first made) carried it
    std::uint8_t packetType = 0;
    int channel = 0;
    std::uint8_t headerType = 0;
    std::uint32_t timestamp = 0;
    bool absoluteTimestamp = false;
    std::int32_t streamId = 0;
    std::vector<std::uint8_t> body;
};

// The far side of every FakeRtmpConnection a publisher makes: scripts connect results and link
// failures, and records what arrives. Thread-safe (the publisher calls from its send queue).
class FakeIngest : public std::enable_shared_from_this<FakeIngest> {
public:
    // Connect results to hand out in order; once used up, every connect gets `connectByDefault`.
    void scriptConnects(std::initializer_list<bool> results);
    void setConnectByDefault(bool ok);
    // The next send on the open connection fails and the link goes down (peer gone).
    void dropLink();
    // The next send on the open connection fails as a stall would.
    void stallLink();
    // Runs `action` inside the next close(), on the publisher's send queue, as if the stop spent
    // that long there (e.g. virtual time moving on meanwhile).
    void duringNextClose(std::function<void()> action);
    // Runs `action` inside the next connect(), on the publisher's send queue, as if the connect spent
    // that long there (a stop() called meanwhile, say). The connect then ends Interrupted when its
    // link was interrupted, unless `ignoreInterrupt` (a connect that completes just as a stop
    // arrives), and otherwise as scripted.
    void duringNextConnect(std::function<void()> action, bool ignoreInterrupt = false);

    RtmpConnectionFactory factory();

    int connectionsMade() const { return mMade; }
    int connectAttempts() const { return mAttempts; }
    int connectionsClosed() const { return mClosed; }
    int connectionsAlive() const { return mAlive; }
    std::vector<std::string> urls() const;
    std::vector<SentMessage> sent() const;
    // The settings of the last connect, and the chunk sizes set, in order.
    RtmpConnection::Settings lastSettings() const;
    std::vector<std::uint32_t> chunkSizes() const;
    std::int32_t streamIdOf(int connection) const { return 100 + connection; }

private:
    friend class FakeRtmpConnection;
    bool nextConnectResult();
    RtmpConnection::Status takeDrop();
    void runCloseAction();
    // Runs the action of duringNextConnect(); false when the connect is to end interrupted.
    bool runConnectAction(LinkInterrupt& interrupt);
    void recordSent(SentMessage message);

    mutable std::mutex mMutex;
    std::condition_variable mCond;
    std::deque<bool> mScript;
    bool mConnectByDefault = true;
    RtmpConnection::Status mDropPending = RtmpConnection::Status::Ok;
    std::function<void()> mCloseAction;
    std::function<void()> mConnectAction;
    bool mConnectIgnoresInterrupt = false;
    RtmpConnection::Settings mLastSettings;
    std::vector<std::uint32_t> mChunkSizes;
    std::atomic<int> mMade{0};
    std::atomic<int> mAttempts{0};
    std::atomic<int> mClosed{0};
    std::atomic<int> mAlive{0};
    std::vector<std::string> mUrls;
    std::vector<SentMessage> mSent;
};

class FakeRtmpConnection final : public RtmpConnection {
public:
    FakeRtmpConnection(std::shared_ptr<FakeIngest> ingest, int number) : mIngest(std::move(ingest)), mNumber(number) {}
    ~FakeRtmpConnection() override { --mIngest->mAlive; }

    Result connect(const std::string& url, const Settings& settings, LinkInterrupt& interrupt) override;
    bool isConnected() const override { return mConnected; }
    std::int32_t streamId() const override { return mConnected ? mIngest->streamIdOf(mNumber) : 0; }
    Result send(RtmpMessage& message) override;
    Result setChunkSize(std::uint32_t size) override;
    void close() override;

private:
    std::shared_ptr<FakeIngest> mIngest;
    int mNumber;
    LinkInterrupt* mInterrupt = nullptr;
    bool mConnected = false;
};

} // namespace zqtest
