#include "transport/ZVStreamRTMPSocket.h"

#include <algorithm>
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
      mRun(std::make_shared<LinkInterrupt>()),
      mSendQueue(platform::DispatchQueue::createSerial("com.zqlivekit.rtmp.send")) {}

ZVStreamRTMPSocket::~ZVStreamRTMPSocket() {
    // A timed attempt holds this object weakly and would find it gone; cancel it all the same.
    platform::RunLoop::main().cancelPreviousPerformRequests(this);
    // Queued steps find this object gone; a closing connection must not wait for the network.
    currentRun()->interrupt();
}

RtmpConnection::Settings ZVStreamRTMPSocket::linkSettingsFor(const ZQLiveStreamInfo& stream) {
    // Enough for small streams on links with a long round trip; the kernel doubles what it is given.
    constexpr std::uint64_t kMinSendBuffer = 16 * 1024;
    std::uint64_t bitsPerSecond = 0;
    if (const auto& video = stream.videoConfiguration())
        bitsPerSecond += std::max(video->videoBitRate(), video->videoMaxBitRate());
    if (const auto& audio = stream.audioConfiguration()) bitsPerSecond += audio->audioBitrate();
    // A quarter of a second of the stream, which the kernel's doubling (for its bookkeeping) makes
    // about half a second queued: enough to keep the link busy, little enough that the backlog waits
    // in the send buffer, where it is dropped by its rules and seen by the adaptive bit rate. On a
    // link four times slower than the stream that half second is still two seconds of latency.
    std::uint64_t bytes = std::max(kMinSendBuffer, bitsPerSecond / 8 / 4);
    RtmpConnection::Settings settings;
    settings.sendBufferBytes = static_cast<int>(std::min<std::uint64_t>(bytes, 64u << 20));
    return settings;
}

ZVStreamRTMPSocket::Run ZVStreamRTMPSocket::currentRun() const {
    std::lock_guard lock(mRunMutex);
    return mRun;
}

// MARK: - Public operations

void ZVStreamRTMPSocket::start() {
    mSendQueue->async([weak = weak_from_this(), run = currentRun()] {
        if (auto self = weak.lock()) self->startStep(run);
    });
}

void ZVStreamRTMPSocket::stop() {
    // The run ends here, on the caller's thread: whatever the send queue is blocked in returns now,
    // so the stop step behind it runs promptly. Later starts belong to the next run.
    {
        std::lock_guard lock(mRunMutex);
        mRun->interrupt();
        mRun = std::make_shared<LinkInterrupt>();
    }
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
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
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
    ZQ_DCHECK_ON(mSendQueue);
    if (auto target = delegate()) target->socketStatus(shared_from_this(), status);
}

// MARK: - Start, stop, connect

void ZVStreamRTMPSocket::startStep(const Run& run) {
    ZQ_DCHECK_ON(mSendQueue);
    // A stop came after this start: the run is over before it began.
    if (run->interrupted()) return;
    if (!mStream || mIsConnecting || mConnection || !mStream->url()) return;
    ZQLiveDebug& debug = debugInfo();
    debug.setStreamId(mStream->streamId());
    debug.setUploadUrl(mStream->url());
    debug.setIsRtmp(true);
    mIsConnecting = true;
    reportStatus(ZQLivePending);
    connect(run);
}

int ZVStreamRTMPSocket::connect(const Run& run) {
    ZQ_DCHECK_ON(mSendQueue);
    // A fresh handle for every connect: a handle that has seen a failure is never used again.
    mConnection = mConnectionFactory();
    mConnectionRun = run;
    const auto& url = mStream->url();
    RtmpConnection::Result result{RtmpConnection::Status::Failed, "no connection"};
    if (mConnection && url) result = mConnection->connect(*url, linkSettingsFor(*mStream), *run);
    if (run->interrupted()) {
        // Stopped while connecting: whatever the connect came to is of no use; the stop step that
        // follows reports and cleans up.
        closeConnection();
        return -1;
    }
    if (!result.ok()) {
        platform::Console::log("RTMP connect failed: " + url.value_or("") + ": " + result.reason);
        closeConnection();
        reconnectRequest();
        return -1;
    }
    std::string tls = mConnection->tlsVersion();
    debugInfo().setTlsVersion(tls.empty() ? std::nullopt : std::optional<std::string>(tls));
    reportStatus(ZQLiveStart);
    RtmpMessage metaData = RtmpMessageBuilder::metaData(RtmpMessageBuilder::metaDataFor(*mStream));
    result = sendMessage(metaData);
    // Right after the metadata: larger chunks, far fewer writes per frame; every message's bytes
    // stay the same.
    if (result.ok()) result = mConnection->setChunkSize(kChunkSize);
    if (!result.ok()) {
        // The link died under the first messages (or the run was stopped meanwhile).
        if (result.status != RtmpConnection::Status::Interrupted) {
            platform::Console::log("RTMP link lost: " + result.reason);
            reconnectRequest();
        }
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
    ZQ_DCHECK_ON(mSendQueue);
    if (!mConnection) return;
    mConnection->close();
    mConnection.reset();
}

void ZVStreamRTMPSocket::stopStep() {
    ZQ_DCHECK_ON(mSendQueue);
    reportFinalStatistics();
    reportStatus(ZQLiveStop);
    closeConnection();
    mConnectionRun.reset();
    mIsSending.store(false);
    mIsConnected = false;
    mIsConnecting = false;
    mIsReconnecting = false;
    mSendVideoHead = false;
    mSendAudioHead = false;
    mDebugInfo.reset();
    mBuffer->removeAllObject();
    mRetryTimes4netWorkBreaken = 0;
    // No attempt may run after a stop: cancel the timed one; one already handed to this queue finds
    // its run over.
    platform::RunLoop::main().cancelPreviousPerformRequests(this);
}

// MARK: - Reconnection

void ZVStreamRTMPSocket::reconnectRequest() {
    ZQ_DCHECK_ON(mSendQueue);
    std::int64_t made = mRetryTimes4netWorkBreaken++;
    if (made < mReconnectCount && !mIsReconnecting) {
        mIsConnected = false;
        mIsConnecting = false;
        mIsReconnecting = true;
        // The attempt belongs to the run of the link that failed (a request made before any
        // connect, to the current one).
        Run run = mConnectionRun ? mConnectionRun : currentRun();
        platform::RunLoop::main().performAfter(this, static_cast<double>(mReconnectInterval),
                                               [weak = weak_from_this(), run] {
                                                   if (auto self = weak.lock()) self->reconnectAttemptDue(run);
                                               });
        return;
    }
    if (mRetryTimes4netWorkBreaken >= mReconnectCount) {
        reportStatus(ZQLiveError);
        if (auto target = delegate()) target->socketDidError(shared_from_this(), ZQLiveSocketErrorReconnectExhausted);
    }
}

void ZVStreamRTMPSocket::reconnectAttemptDue(const Run& run) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    platform::RunLoop::main().cancelPreviousPerformRequests(this);
    // The connect may block for the link time-out: it runs on the send queue, never on the main
    // loop, and the queue also keeps it apart from a stop.
    mSendQueue->async([weak = weak_from_this(), run] {
        if (auto self = weak.lock()) self->reconnectAttempt(run);
    });
}

void ZVStreamRTMPSocket::reconnectAttempt(const Run& run) {
    ZQ_DCHECK_ON(mSendQueue);
    if (!run || run->interrupted()) return; // stopped since the attempt was timed
    mIsReconnecting = false;
    if (mIsConnected) return;
    closeConnection();
    mSendAudioHead = false;
    mSendVideoHead = false;
    reportStatus(ZQLiveReconnecting);
    connect(run);
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
    ZQ_DCHECK_ON(mSendQueue);
    mIsSending.store(false);
    queueSendStep();
}

void ZVStreamRTMPSocket::sendStep() {
    ZQ_DCHECK_ON(mSendQueue);
    if (mIsSending.load() || mBuffer->listCount() == 0) return;
    mIsSending.store(true);
    if (!mIsConnected || mIsReconnecting || mIsConnecting || !mConnection || mConnectionRun->interrupted()) {
        // The link is not up, or a stop is on its way: end without queueing another step. The
        // frames wait in the buffer (which drops by its own rules); a successful connect queues the
        // next step.
        mIsSending.store(false);
        return;
    }
    std::shared_ptr<ZQFrame> frame = mBuffer->popFirstObject();
    if (!frame) {
        mIsSending.store(false);
        return;
    }
    bool taken = false;
    bool isAudio = false;
    RtmpConnection::Result result;
    if (const ZQVideoFrame* video = frame->asVideoFrame()) {
        result = sendVideo(*video, taken);
    } else if (const ZQAudioFrame* audio = frame->asAudioFrame()) {
        isAudio = true;
        result = sendAudio(*audio, taken);
    } // a bare ZQFrame carries nothing the stream can use
    // A frame that met a dead link is lost, but it left the buffer: it counts as taken.
    if (taken) updateStatistics(*frame, isAudio);
    onSendResult(result);
    finishSendStep();
}

RtmpConnection::Result ZVStreamRTMPSocket::sendVideo(const ZQVideoFrame& frame, bool& taken) {
    ZQ_DCHECK_ON(mSendQueue);
    taken = true;
    if (!mSendVideoHead) {
        mSendVideoHead = true;
        std::string reason;
        auto header = RtmpMessageBuilder::videoHeader(frame, &reason);
        if (!header) {
            // Discarded; this connection goes without an AVC sequence header.
            platform::Console::log("RTMP video frame discarded, no AVC sequence header: " + reason);
            mHeaderSps = ZQBytes();
            mHeaderPps = ZQBytes();
            taken = false;
            return {};
        }
        RtmpConnection::Result sent = sendMessage(*header);
        mHeaderSps = frame.sps();
        mHeaderPps = frame.pps();
        // The frame the header was made from goes out after it when it is a picture (a slice, such
        // as the key frame the file-based encoder starts with), rather than being lost. Anything
        // else (the SEI in front of the hardware encoder's first picture) is not sent.
        const int nalType = frame.data().empty() ? 0 : frame.data()[0] & 0x1F;
        if (!sent.ok() || nalType < 1 || nalType > 5) return sent;
    } else if (frame.isKeyFrame() && !mHeaderSps.isNil() &&
               (frame.sps() != mHeaderSps || frame.pps() != mHeaderPps)) {
        // A key frame made with other parameter sets than those of the header sent (an encoder
        // that restarted with new settings) gets a new AVC sequence header, at its own time.
        if (auto header = RtmpMessageBuilder::videoHeader(frame)) {
            header->setTimestamp(static_cast<std::uint32_t>(frame.timestamp() & 0xFFFFFFFFu));
            RtmpConnection::Result sent = sendMessage(*header);
            if (!sent.ok()) return sent;
            mHeaderSps = frame.sps();
            mHeaderPps = frame.pps();
        }
    }
    RtmpMessage message = RtmpMessageBuilder::video(frame);
    return sendMessage(message);
}

RtmpConnection::Result ZVStreamRTMPSocket::sendAudio(const ZQAudioFrame& frame, bool& taken) {
    ZQ_DCHECK_ON(mSendQueue);
    taken = true;
    if (!mSendAudioHead) {
        mSendAudioHead = true;
        auto header = RtmpMessageBuilder::audioHeader(frame);
        if (!header) {
            platform::Console::log("RTMP audio frame discarded, no AAC sequence header: no AudioSpecificConfig");
            taken = false;
            return {};
        }
        return sendMessage(*header);
    }
    RtmpMessage message = RtmpMessageBuilder::audio(frame);
    return sendMessage(message);
}

RtmpConnection::Result ZVStreamRTMPSocket::sendMessage(RtmpMessage& message) {
    ZQ_DCHECK_ON(mSendQueue);
    if (!mConnection || !mConnection->isConnected())
        return RtmpConnection::Result{RtmpConnection::Status::NotConnected, "not connected"};
    message.setStreamId(mConnection->streamId());
    return mConnection->send(message);
}

void ZVStreamRTMPSocket::onSendResult(const RtmpConnection::Result& result) {
    ZQ_DCHECK_ON(mSendQueue);
    if (!result.linkLost()) return; // sent, or nothing to send on, or stopped
    // The request runs at once rather than queued: it then lands before a stop queued behind the
    // failing step (a stop must leave no attempt behind), and the steps that follow see its flags.
    // A failed connection is closed, so it fails no second time: one request per lost link.
    platform::Console::log("RTMP link lost: " + result.reason);
    reconnectRequest();
}

// MARK: - Statistics

ZQLiveDebug& ZVStreamRTMPSocket::debugInfo() {
    ZQ_DCHECK_ON(mSendQueue);
    if (!mDebugInfo) mDebugInfo = std::make_shared<ZQLiveDebug>();
    return *mDebugInfo;
}

void ZVStreamRTMPSocket::updateStatistics(const ZQFrame& frame, bool isAudio) {
    ZQ_DCHECK_ON(mSendQueue);
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

void ZVStreamRTMPSocket::reportFinalStatistics() {
    ZQ_DCHECK_ON(mSendQueue);
    if (!mDebugInfo) return; // no run to report on
    // The run's totals: the window in progress is closed early, drops that no sent frame collected
    // yet are counted, and the frames the stop leaves unsent (send list and sort window) are told.
    ZQLiveDebug& debug = *mDebugInfo;
    const double now = platform::mediaTime() * 1000.0;
    debug.setDropFrame(debug.dropFrame() + mBuffer->takeLastDropFrames());
    debug.setElapsedMilli(now - debug.timeStamp());
    debug.setCurrentBandwidth(debug.bandwidth());
    debug.setCurrentCapturedAudioCount(debug.capturedAudioCount());
    debug.setCurrentCapturedVideoCount(debug.capturedVideoCount());
    debug.setUnSendCount(static_cast<std::int64_t>(mBuffer->listCount() + mBuffer->sortList().size()));
    if (auto target = delegate()) target->socketDebug(shared_from_this(), std::make_shared<ZQLiveDebug>(debug));
}
