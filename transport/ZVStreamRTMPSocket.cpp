#include "transport/ZVStreamRTMPSocket.h"

#include "ZQLiveKit/ZQAudioFrame.h"
#include "ZQLiveKit/ZQVideoFrame.h"
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/Exception.h"
#include "ZQPlatform/RunLoop.h"
#include "platform/foundation/DispatchCheck.h"
#include "transport/RtmpMessageBuilder.h"

ZVStreamSocketDelegate::~ZVStreamSocketDelegate() = default;
void ZVStreamSocketDelegate::socketStatus(const std::shared_ptr<ZVStreamSocket>&, ZQLiveState) {}
void ZVStreamSocketDelegate::socketDidError(const std::shared_ptr<ZVStreamSocket>&, std::uint64_t) {}
void ZVStreamSocketDelegate::socketDebug(const std::shared_ptr<ZVStreamSocket>&, std::shared_ptr<ZQLiveDebug>) {}
void ZVStreamSocketDelegate::socketBufferStatus(const std::shared_ptr<ZVStreamSocket>&, ZVBufferState) {}

ZVStreamSocket::~ZVStreamSocket() = default;

std::shared_ptr<ZVStreamRTMPSocket> ZVStreamRTMPSocket::create(std::shared_ptr<ZQLiveStreamInfo> stream,
                                                               std::int64_t reconnectInterval,
                                                               std::int64_t reconnectCount) {
    return create(std::move(stream), reconnectInterval, reconnectCount, makeLibRtmpConnection);
}

std::shared_ptr<ZVStreamRTMPSocket> ZVStreamRTMPSocket::create(std::shared_ptr<ZQLiveStreamInfo> stream,
                                                               std::int64_t reconnectInterval,
                                                               std::int64_t reconnectCount,
                                                               RtmpConnectionFactory connectionFactory) {
    if (!stream) throw platform::Exception("ZVStreamRtmpSocket init error", "stream is nil");
    std::shared_ptr<ZVStreamRTMPSocket> socket(
        new ZVStreamRTMPSocket(std::move(stream), reconnectInterval, reconnectCount, std::move(connectionFactory)));
    // Made here rather than on first use, which could race between the encoder threads; the buffer
    // holds its delegate weakly.
    socket->mBuffer = ZVStreamingBuffer::create();
    socket->mBuffer->setDelegate(socket);
    return socket;
}

ZVStreamRTMPSocket::ZVStreamRTMPSocket(std::shared_ptr<ZQLiveStreamInfo> stream, std::int64_t reconnectInterval,
                                       std::int64_t reconnectCount, RtmpConnectionFactory connectionFactory)
    : mStream(std::move(stream)),
      mReconnectInterval(reconnectInterval > 0 ? reconnectInterval : kDefaultReconnectInterval),
      mReconnectCount(reconnectCount > 0 ? reconnectCount : kDefaultReconnectCount),
      mConnectionFactory(std::move(connectionFactory)),
      mSendQueue(platform::DispatchQueue::createSerial("com.zqlivekit.rtmp.send")) {}

ZVStreamRTMPSocket::~ZVStreamRTMPSocket() {
    // A timed attempt holds this object weakly and would find it gone; cancel it all the same.
    platform::RunLoop::main().cancelPreviousPerformRequests(this);
}

// MARK: - Public operations

void ZVStreamRTMPSocket::start() {
    mSendQueue->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->startStep();
    });
}

void ZVStreamRTMPSocket::stop() {
    // The owner usually lets go of the publisher right after asking it to stop; the step keeps it
    // alive until the connection is closed and Stop is reported.
    mSendQueue->async([self = shared_from_this()] { self->stopStep(); });
}

void ZVStreamRTMPSocket::sendFrame(std::shared_ptr<ZQFrame> frame) {
    if (!frame) return;
    mBuffer->appendObject(std::move(frame));
    if (!mIsSending.load()) queueSendStep();
}

void ZVStreamRTMPSocket::setDelegate(std::weak_ptr<ZVStreamSocketDelegate> delegate) {
    std::lock_guard lock(mDelegateMutex);
    mDelegate = std::move(delegate);
}

void ZVStreamRTMPSocket::reconnect() {
    mSendQueue->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->reconnectRequest();
    });
}

void ZVStreamRTMPSocket::streamingBufferBufferState(const std::shared_ptr<ZVStreamingBuffer>&, ZVBufferState state) {
    auto self = weak_from_this().lock();
    if (!self) return;
    if (auto target = delegate()) target->socketBufferStatus(self, state);
}

// MARK: - Delegate

std::shared_ptr<ZVStreamSocketDelegate> ZVStreamRTMPSocket::delegate() const {
    std::lock_guard lock(mDelegateMutex);
    return mDelegate.lock();
}

void ZVStreamRTMPSocket::reportStatus(ZQLiveState status) {
    if (auto target = delegate()) target->socketStatus(shared_from_this(), status);
}

// MARK: - Start, stop, connect

void ZVStreamRTMPSocket::startStep() {
    ZQ_DCHECK_ON(mSendQueue);
    if (!mStream || mIsConnecting || mConnection || !mStream->url()) return;
    ZQLiveDebug& debug = debugInfo();
    debug.setStreamId(mStream->streamId());
    debug.setUploadUrl(mStream->url());
    debug.setIsRtmp(true);
    mIsConnecting = true;
    reportStatus(ZQLivePending);
    connect();
}

int ZVStreamRTMPSocket::connect() {
    ZQ_DCHECK_ON(mSendQueue);
    // A fresh handle for every connect: a handle that has seen a failure is never used again.
    mConnection = mConnectionFactory([this](const RtmpConnection::ErrorReport& report) {
        // Raised from inside mConnection->send(), on the send queue. The request runs at once rather
        // than queued: it then lands before a stop queued behind the failing step (a stop must leave
        // no attempt behind), and the step that met the dead link sees the request's flags.
        ZQ_DCHECK_ON(mSendQueue);
        if (report.code < 0) {
            platform::Console::log("RTMP error " + std::to_string(report.code) + ": " + report.message);
            reconnectRequest();
        }
    });
    const auto& url = mStream->url();
    if (!mConnection || !url || !mConnection->connect(*url)) {
        platform::Console::log("RTMP connect failed: " + url.value_or(""));
        closeConnection();
        reconnectRequest();
        return -1;
    }
    reportStatus(ZQLiveStart);
    RtmpMessage metaData = RtmpMessageBuilder::metaData(RtmpMessageBuilder::metaDataFor(*mStream));
    sendMessage(metaData);
    if (!mConnection->isConnected()) {
        // The link died under the metadata; the error report has made the reconnect request.
        return -1;
    }
    mIsConnected = true;
    mIsSending.store(false);
    mIsConnecting = false;
    mIsReconnecting = false;
    // Frames that waited while the link was down go out now (steps do not spin while it is down).
    queueSendStep();
    return 0;
}

void ZVStreamRTMPSocket::closeConnection() {
    if (!mConnection) return;
    mConnection->close();
    mConnection.reset();
}

void ZVStreamRTMPSocket::stopStep() {
    ZQ_DCHECK_ON(mSendQueue);
    reportStatus(ZQLiveStop);
    closeConnection();
    mIsSending.store(false);
    mIsConnected = false;
    mIsConnecting = false;
    mIsReconnecting = false;
    mSendVideoHead = false;
    mSendAudioHead = false;
    mDebugInfo.reset();
    mBuffer->removeAllObject();
    mRetryTimes4netWorkBreaken = 0;
    // No attempt may run after a stop: cancel the timed one, and make one already handed to this
    // queue find itself stale.
    platform::RunLoop::main().cancelPreviousPerformRequests(this);
    ++mRunGeneration;
}

// MARK: - Reconnection

void ZVStreamRTMPSocket::reconnectRequest() {
    ZQ_DCHECK_ON(mSendQueue);
    std::int64_t made = mRetryTimes4netWorkBreaken++;
    if (made < mReconnectCount && !mIsReconnecting) {
        mIsConnected = false;
        mIsConnecting = false;
        mIsReconnecting = true;
        platform::RunLoop::main().performAfter(
            this, static_cast<double>(mReconnectInterval),
            [weak = weak_from_this(), generation = mRunGeneration] {
                if (auto self = weak.lock()) self->reconnectAttemptDue(generation);
            });
        return;
    }
    if (mRetryTimes4netWorkBreaken >= mReconnectCount) {
        reportStatus(ZQLiveError);
        if (auto target = delegate()) target->socketDidError(shared_from_this(), ZQLiveSocketErrorReconnectExhausted);
    }
}

void ZVStreamRTMPSocket::reconnectAttemptDue(std::uint64_t generation) {
    platform::RunLoop::main().cancelPreviousPerformRequests(this);
    // The connect may block for the link time-out: it runs on the send queue, never on the main
    // loop, and the queue also keeps it apart from a stop.
    mSendQueue->async([weak = weak_from_this(), generation] {
        if (auto self = weak.lock()) self->reconnectAttempt(generation);
    });
}

void ZVStreamRTMPSocket::reconnectAttempt(std::uint64_t generation) {
    ZQ_DCHECK_ON(mSendQueue);
    if (generation != mRunGeneration) return; // stopped since the attempt was timed
    mIsReconnecting = false;
    if (mIsConnected) return;
    closeConnection();
    mSendAudioHead = false;
    mSendVideoHead = false;
    reportStatus(ZQLiveReconnecting);
    connect();
}

// MARK: - Send loop

void ZVStreamRTMPSocket::queueSendStep() {
    mSendQueue->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->sendStep();
    });
}

// The flag goes down on the send queue itself and the next step is queued from here: a hop through
// another queue to lower it would only add latency, and a stop or start queued meanwhile still runs
// before the next step.
void ZVStreamRTMPSocket::finishSendStep() {
    mIsSending.store(false);
    queueSendStep();
}

void ZVStreamRTMPSocket::sendStep() {
    ZQ_DCHECK_ON(mSendQueue);
    if (mIsSending.load() || mBuffer->listCount() == 0) return;
    mIsSending.store(true);
    if (!mIsConnected || mIsReconnecting || mIsConnecting || !mConnection) {
        // The link is not up: end without queueing another step. The frames wait in the buffer
        // (which drops by its own rules); a successful connect queues the next step.
        mIsSending.store(false);
        return;
    }
    std::shared_ptr<ZQFrame> frame = mBuffer->popFirstObject();
    if (!frame) {
        mIsSending.store(false);
        return;
    }
    bool taken;
    bool isAudio = false;
    if (const ZQVideoFrame* video = frame->asVideoFrame()) {
        taken = sendVideo(*video);
    } else if (const ZQAudioFrame* audio = frame->asAudioFrame()) {
        isAudio = true;
        taken = sendAudio(*audio);
    } else {
        taken = false; // a bare ZQFrame carries nothing the stream can use
    }
    if (taken) updateStatistics(*frame, isAudio);
    finishSendStep();
}

bool ZVStreamRTMPSocket::sendVideo(const ZQVideoFrame& frame) {
    if (!mSendVideoHead) {
        mSendVideoHead = true;
        std::string reason;
        auto header = RtmpMessageBuilder::videoHeader(frame, &reason);
        if (!header) {
            // Discarded; this connection goes without an AVC sequence header.
            platform::Console::log("RTMP video frame discarded, no AVC sequence header: " + reason);
            return false;
        }
        sendMessage(*header);
        return true;
    }
    RtmpMessage message = RtmpMessageBuilder::video(frame);
    sendMessage(message);
    return true;
}

bool ZVStreamRTMPSocket::sendAudio(const ZQAudioFrame& frame) {
    if (!mSendAudioHead) {
        mSendAudioHead = true;
        auto header = RtmpMessageBuilder::audioHeader(frame);
        if (!header) {
            platform::Console::log("RTMP audio frame discarded, no AAC sequence header: no AudioSpecificConfig");
            return false;
        }
        sendMessage(*header);
        return true;
    }
    RtmpMessage message = RtmpMessageBuilder::audio(frame);
    sendMessage(message);
    return true;
}

void ZVStreamRTMPSocket::sendMessage(RtmpMessage& message) {
    if (!mConnection || !mConnection->isConnected()) return;
    message.setStreamId(mConnection->streamId());
    mConnection->send(message);
}

// MARK: - Statistics

ZQLiveDebug& ZVStreamRTMPSocket::debugInfo() {
    if (!mDebugInfo) mDebugInfo = std::make_shared<ZQLiveDebug>();
    return *mDebugInfo;
}

void ZVStreamRTMPSocket::updateStatistics(const ZQFrame& frame, bool isAudio) {
    ZQLiveDebug& debug = debugInfo();
    const double bytes = static_cast<double>(frame.data().size());
    const double now = platform::mediaTime() * 1000.0;
    debug.setTotalFrame(debug.totalFrame() + 1);
    debug.setDropFrame(debug.dropFrame() + mBuffer->takeLastDropFrames());
    debug.setDataFlow(debug.dataFlow() + bytes);
    debug.setElapsedMilli(now - debug.timeStamp());
    if (debug.elapsedMilli() < 1000) {
        debug.setBandwidth(debug.bandwidth() + bytes);
        if (isAudio)
            debug.setCapturedAudioCount(debug.capturedAudioCount() + 1);
        else
            debug.setCapturedVideoCount(debug.capturedVideoCount() + 1);
        debug.setUnSendCount(static_cast<std::int64_t>(mBuffer->listCount()));
        return;
    }
    // The window is over. The frame that closes it counts in neither window.
    debug.setCurrentBandwidth(debug.bandwidth());
    debug.setCurrentCapturedAudioCount(debug.capturedAudioCount());
    debug.setCurrentCapturedVideoCount(debug.capturedVideoCount());
    if (auto target = delegate()) {
        // A copy: the delegate may read it on another thread while this queue goes on counting.
        target->socketDebug(shared_from_this(), std::make_shared<ZQLiveDebug>(debug));
    }
    debug.setBandwidth(0);
    debug.setCapturedAudioCount(0);
    debug.setCapturedVideoCount(0);
    debug.setTimeStamp(now);
}
