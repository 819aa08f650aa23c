#include "tests/transport/FakeRtmpConnection.h"

#include <utility>
#include "transport/LinkInterrupt.h"
#include "transport/RtmpMessageBuilder.h"

namespace zqtest {

void FakeIngest::scriptConnects(std::initializer_list<bool> results) {
    std::lock_guard lock(mMutex);
    mScript.insert(mScript.end(), results);
}

void FakeIngest::setConnectByDefault(bool ok) {
    std::lock_guard lock(mMutex);
    mConnectByDefault = ok;
}

void FakeIngest::dropLink() {
    std::lock_guard lock(mMutex);
    mDropPending = RtmpConnection::Status::Failed;
}

void FakeIngest::stallLink() {
    std::lock_guard lock(mMutex);
    mDropPending = RtmpConnection::Status::Stalled;
}

void FakeIngest::duringNextConnect(std::function<void()> action, bool ignoreInterrupt) {
    std::lock_guard lock(mMutex);
    mConnectAction = std::move(action);
    mConnectIgnoresInterrupt = ignoreInterrupt;
}

bool FakeIngest::runConnectAction(LinkInterrupt& interrupt) {
    std::function<void()> action;
    bool ignoreInterrupt;
    {
        std::lock_guard lock(mMutex);
        action = std::exchange(mConnectAction, nullptr);
        ignoreInterrupt = mConnectIgnoresInterrupt;
    }
    if (!action) return true;
    action();
    return ignoreInterrupt || !interrupt.interrupted();
}

void FakeIngest::duringNextClose(std::function<void()> action) {
    std::lock_guard lock(mMutex);
    mCloseAction = std::move(action);
}

void FakeIngest::runCloseAction() {
    std::function<void()> action;
    {
        std::lock_guard lock(mMutex);
        action = std::exchange(mCloseAction, nullptr);
    }
    if (action) action();
}

RtmpConnectionFactory FakeIngest::factory() {
    return [ingest = shared_from_this()]() -> std::unique_ptr<RtmpConnection> {
        int number = ++ingest->mMade;
        ++ingest->mAlive;
        return std::make_unique<FakeRtmpConnection>(ingest, number);
    };
}

bool FakeIngest::nextConnectResult() {
    ++mAttempts;
    std::lock_guard lock(mMutex);
    if (mScript.empty()) return mConnectByDefault;
    bool ok = mScript.front();
    mScript.pop_front();
    return ok;
}

RtmpConnection::Status FakeIngest::takeDrop() {
    std::lock_guard lock(mMutex);
    return std::exchange(mDropPending, RtmpConnection::Status::Ok);
}

void FakeIngest::recordSent(SentMessage message) {
    std::lock_guard lock(mMutex);
    mSent.push_back(std::move(message));
}

std::vector<std::string> FakeIngest::urls() const {
    std::lock_guard lock(mMutex);
    return mUrls;
}

std::vector<SentMessage> FakeIngest::sent() const {
    std::lock_guard lock(mMutex);
    return mSent;
}

RtmpConnection::Settings FakeIngest::lastSettings() const {
    std::lock_guard lock(mMutex);
    return mLastSettings;
}

std::vector<std::uint32_t> FakeIngest::chunkSizes() const {
    std::lock_guard lock(mMutex);
    return mChunkSizes;
}

RtmpConnection::Result FakeRtmpConnection::connect(const std::string& url, const Settings& settings,
                                                   LinkInterrupt& interrupt) {
    mInterrupt = &interrupt;
    {
        std::lock_guard lock(mIngest->mMutex);
        mIngest->mUrls.push_back(url);
        mIngest->mLastSettings = settings;
    }
    if (!mIngest->runConnectAction(interrupt)) {
        ++mIngest->mAttempts;
        return Result{Status::Interrupted, "fake connect interrupted"};
    }
    mConnected = mIngest->nextConnectResult();
    if (!mConnected) return Result{Status::Failed, "fake connect refused"};
    return {};
}

RtmpConnection::Result FakeRtmpConnection::setChunkSize(std::uint32_t size) {
    RtmpMessage message = RtmpMessageBuilder::setChunkSize(size);
    Result result = send(message);
    if (result.ok()) {
        std::lock_guard lock(mIngest->mMutex);
        mIngest->mChunkSizes.push_back(size);
    }
    return result;
}

RtmpConnection::Result FakeRtmpConnection::send(RtmpMessage& message) {
    if (!mConnected) return Result{Status::NotConnected, "not connected"};
    if (mInterrupt && mInterrupt->interrupted()) {
        mConnected = false;
        return Result{Status::Interrupted, "fake link interrupted"};
    }
    if (auto drop = mIngest->takeDrop(); drop != Status::Ok) {
        mConnected = false;
        return Result{drop, drop == Status::Stalled ? "fake link stalled" : "fake link dropped"};
    }
    SentMessage sent;
    sent.connection = mNumber;
    sent.packetType = message.packetType();
    sent.channel = message.channel();
    sent.headerType = message.headerType();
    sent.timestamp = message.timestamp();
    sent.absoluteTimestamp = message.hasAbsoluteTimestamp();
    sent.streamId = message.streamId();
    sent.body.assign(message.body(), message.body() + message.bodySize());
    mIngest->recordSent(std::move(sent));
    return {};
}

void FakeRtmpConnection::close() {
    mIngest->runCloseAction();
    mConnected = false;
    ++mIngest->mClosed;
}

} // namespace zqtest
