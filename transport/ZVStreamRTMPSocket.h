#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include "ZQLiveKit/ZQBytes.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQPlatform/DispatchQueue.h"
#include "transport/LinkInterrupt.h"
#include "transport/RtmpConnection.h"
#include "transport/ZVStreamSocket.h"
#include "transport/ZVStreamingBuffer.h"
#include "transport/ZVStreamingBufferDelegate.h"

class ZQAudioFrame;
class ZQVideoFrame;

// Publishes one live stream to one RTMP URL: queues frames in its send buffer, sends them one at a
// time from its serial send queue (an onMetaData message first, then the AVC and AAC sequence
// headers, then one FLV tag body per frame), reconnects within a fixed budget, and reports states,
// the final error, one-second statistics and buffer trends to its delegate.
//
// Queues: start, stop, reconnect requests, send steps and the connect of every reconnect attempt
// run on the send queue, which alone owns the connection and the connection flags; reconnect
// attempts are timed on the main run loop, which only hands them to the send queue.
//
// Stopping never waits for the network. Each run (from one stop to the next) has a LinkInterrupt;
// stop() fires the current one on the caller's thread before it queues the stop step, which ends a
// connect, a handshake or a send blocked on the send queue at once, and whatever such a connect
// brings back afterwards is discarded. A link that takes no byte for the stall time-out is dead
// and takes the reconnect path (docs/transport.md).
class ZVStreamRTMPSocket final : public ZVStreamSocket,
                                 public ZVStreamingBufferDelegate,
                                 public std::enable_shared_from_this<ZVStreamRTMPSocket> {
public:
    static constexpr std::int64_t kDefaultReconnectInterval = 3;
    static constexpr std::int64_t kDefaultReconnectCount = 5;

    // initWithStream:reconnectInterval:reconnectCount: (initWithStream: passes 0 and 0). An interval
    // ≤ 0 becomes 3 seconds and a count ≤ 0 becomes 5. Throws platform::Exception ("ZVStreamRtmpSocket
    // init error", "stream is nil") without a stream. Any thread.
    static std::shared_ptr<ZVStreamRTMPSocket> create(std::shared_ptr<ZQLiveStreamInfo> stream,
                                                      std::int64_t reconnectInterval = 0,
                                                      std::int64_t reconnectCount = 0);
    // The same over another RTMP connection maker (tests pass a fake, or a tuned real one).
    static std::shared_ptr<ZVStreamRTMPSocket> create(std::shared_ptr<ZQLiveStreamInfo> stream,
                                                      std::int64_t reconnectInterval,
                                                      std::int64_t reconnectCount,
                                                      RtmpConnectionFactory connectionFactory);
    ~ZVStreamRTMPSocket() override;

    // ZVStreamSocket. All any thread, returning at once.
    void start() override;
    // Also cuts short a connect or a send in progress on the send queue.
    void stop() override;
    void sendFrame(std::shared_ptr<ZQFrame> frame) override;
    void setDelegate(std::weak_ptr<ZVStreamSocketDelegate> delegate) override;

    // Makes a reconnect request (counted against the budget). Any thread.
    void reconnect();

    // ZVStreamingBufferDelegate: forwards the trend to socketBufferStatus. Main queue.
    void streamingBufferBufferState(const std::shared_ptr<ZVStreamingBuffer>& buffer, ZVBufferState state) override;
    bool respondsToStreamingBufferBufferState() const override { return true; }

    std::int64_t reconnectInterval() const { return mReconnectInterval; }
    std::int64_t reconnectCount() const { return mReconnectCount; }
    const std::shared_ptr<ZQLiveStreamInfo>& stream() const { return mStream; }
    const std::shared_ptr<ZVStreamingBuffer>& buffer() const { return mBuffer; }

    // How the links of this stream are set up: the kernel's send buffer holds about half a second of
    // the stream at its highest configured rate (docs/transport.md).
    static RtmpConnection::Settings linkSettingsFor(const ZQLiveStreamInfo& stream);
    // The chunk size announced on every connection.
    static constexpr std::uint32_t kChunkSize = 4096;

private:
    ZVStreamRTMPSocket(std::shared_ptr<ZQLiveStreamInfo> stream, std::int64_t reconnectInterval,
                       std::int64_t reconnectCount, RtmpConnectionFactory connectionFactory);

    using Run = std::shared_ptr<LinkInterrupt>;

    // Send-queue steps.
    void startStep(const Run& run);
    void stopStep();
    int connect(const Run& run);
    void reconnectRequest();
    void reconnectAttempt(const Run& run);
    void sendStep();
    // Sends what the frame amounts to; `taken` tells whether it counts as sent in the statistics.
    RtmpConnection::Result sendVideo(const ZQVideoFrame& frame, bool& taken);
    RtmpConnection::Result sendAudio(const ZQAudioFrame& frame, bool& taken);
    RtmpConnection::Result sendMessage(RtmpMessage& message);
    // A lost link makes the connection's one reconnect request; anything else is left alone.
    void onSendResult(const RtmpConnection::Result& result);
    void updateStatistics(const ZQFrame& frame, bool isAudio);
    // Closes the statistics window early for the run's last record (stop).
    void reportFinalStatistics();
    void closeConnection();
    ZQLiveDebug& debugInfo();

    // The current run's interrupt. Any thread.
    Run currentRun() const;

    // Queues a send step on the send queue. Any thread.
    void queueSendStep();
    // Ends a send step: the flag goes down and the next step is queued. Send queue.
    void finishSendStep();
    // Main queue, when the reconnect delay has passed.
    void reconnectAttemptDue(const Run& run);

    // Any thread.
    std::shared_ptr<ZVStreamSocketDelegate> delegate() const;
    // Tells the delegate a state of the run. Send queue, so states arrive in the order they happen.
    void reportStatus(ZQLiveState status);

    mutable std::mutex mDelegateMutex;
    std::weak_ptr<ZVStreamSocketDelegate> mDelegate;

    const std::shared_ptr<ZQLiveStreamInfo> mStream;
    const std::int64_t mReconnectInterval;
    const std::int64_t mReconnectCount;
    const RtmpConnectionFactory mConnectionFactory;
    std::shared_ptr<ZVStreamingBuffer> mBuffer; // has its own lock; set once by create()

    // True while one send step is in progress. Any thread reads it; the send queue writes it.
    std::atomic<bool> mIsSending{false};

    // Fired by stop() and replaced by a fresh one: the run that a start, a connect or a timed attempt
    // belongs to is over once its interrupt has fired.
    mutable std::mutex mRunMutex;
    Run mRun; // guarded by mRunMutex

    // Owned by the send queue.
    Run mConnectionRun; // the run of mConnection and of the attempts it leads to
    std::unique_ptr<RtmpConnection> mConnection;
    std::shared_ptr<ZQLiveDebug> mDebugInfo;
    std::int64_t mRetryTimes4netWorkBreaken = 0;
    bool mIsConnected = false;
    bool mIsConnecting = false;
    bool mIsReconnecting = false;
    bool mSendVideoHead = false;
    bool mSendAudioHead = false;
    // The parameter sets of the AVC sequence header sent on this connection (nil: none sent).
    ZQBytes mHeaderSps;
    ZQBytes mHeaderPps;

    // Declared last, so destroyed first: its queued tasks run (and find this object gone) before
    // the state they would touch is destroyed.
    std::shared_ptr<platform::DispatchQueue> mSendQueue;
};
