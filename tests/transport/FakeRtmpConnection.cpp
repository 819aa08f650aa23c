#include "tests/transport/FakeRtmpConnection.h"

#include <chrono>
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

void FakeIngest::holdNextConnect(bool ignoreInterrupt) {
    std::lock_guard lock(mMutex);
    mHoldConnect = true;
    mConnectIgnoresInterrupt = ignoreInterrupt;
}

void FakeIngest::waitUntilConnectHeld() {
    std::unique_lock lock(mMutex);
    mCond.wait(lock, [&] { return mConnectHeld; });
}

void FakeIngest::releaseConnect() {
    std::lock_guard lock(mMutex);
    mHoldConnect = false;
    mCond.notify_all();
}

bool FakeIngest::holdConnectIfAsked(LinkInterrupt& interrupt) {
    std::unique_lock lock(mMutex);
    if (!mHoldConnect) return true;
    mConnectHeld = true;
    mCond.notify_all();
    bool interrupted = false;
    while (mHoldConnect) {
        if (!mConnectIgnoresInterrupt && interrupt.interrupted()) {
            interrupted = true;
            mHoldConnect = false;
            break;
        }
        // The interrupt has no hook into this wait: look at it every few milliseconds, as a real
        // connector's poll would see its descriptor.
        mCond.wait_for(lock, std::chrono::milliseconds(2));
    }
    mConnectHeld = false;
    return !interrupted;
}

void FakeIngest::holdNextClose() {
    std::lock_guard lock(mMutex);
    mHoldClose = true;
}

void FakeIngest::waitUntilCloseHeld() {
    std::unique_lock lock(mMutex);
    mCond.wait(lock, [&] { return mCloseHeld; });
}

void FakeIngest::releaseClose() {
    std::lock_guard lock(mMutex);
    mHoldClose = false;
    mCond.notify_all();
}

void FakeIngest::blockIfHeld() {
    std::unique_lock lock(mMutex);
    if (!mHoldClose) return;
    mCloseHeld = true;
    mCond.notify_all();
    mCond.wait(lock, [&] { return !mHoldClose; });
    mCloseHeld = false;
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
    if (!mIngest->holdConnectIfAsked(interrupt)) {
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
    mIngest->blockIfHeld();
    mConnected = false;
    ++mIngest->mClosed;
}

} // namespace zqtest
