#include "tests/transport/FakeRtmpConnection.h"

#include <utility>

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
    mDropPending = true;
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
    return [ingest = shared_from_this()](RtmpConnection::ErrorHandler onError) -> std::unique_ptr<RtmpConnection> {
        int number = ++ingest->mMade;
        ++ingest->mAlive;
        return std::make_unique<FakeRtmpConnection>(ingest, number, std::move(onError));
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

bool FakeIngest::takeDrop() {
    std::lock_guard lock(mMutex);
    bool drop = mDropPending;
    mDropPending = false;
    return drop;
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

bool FakeRtmpConnection::connect(const std::string& url) {
    {
        std::lock_guard lock(mIngest->mMutex);
        mIngest->mUrls.push_back(url);
    }
    mConnected = mIngest->nextConnectResult();
    return mConnected;
}

bool FakeRtmpConnection::send(RtmpMessage& message) {
    if (!mConnected) return false;
    if (mIngest->takeDrop()) {
        mConnected = false;
        if (!mReported && mOnError) {
            mReported = true;
            mOnError(ErrorReport{kErrorSendFailed, "fake link dropped"});
        }
        return false;
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
    return true;
}

void FakeRtmpConnection::close() {
    mIngest->runCloseAction();
    mConnected = false;
    ++mIngest->mClosed;
}

} // namespace zqtest
