#pragma once
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zqtest {

// A minimal RTMP ingest on 127.0.0.1, run by the test itself, that shows the wire as the publisher
// wrote it: it takes the plain handshake, answers connect, createStream and publish as a server
// must for librtmp to publish, then reassembles every chunk stream and records each message with
// the header format and chunk count it arrived in. It can also misbehave on purpose: accept and
// never answer, or stop reading in the middle of a stream.
class FakeRtmpServer {
public:
    enum class Mode {
        Serve,  // a working ingest
        Silent, // accepts the TCP connection, then reads and writes nothing
    };

    struct Message {
        int connection = 0;        // 1 = first accepted
        int chunkStream = 0;
        int format = 0;            // header format of the message's first chunk
        std::uint8_t type = 0;
        std::uint32_t timestamp = 0; // as a receiver reads it (format 3 repeats the last delta)
        std::uint32_t streamId = 0;
        std::vector<std::uint8_t> body;
        int chunks = 0;            // chunks the message arrived in
        std::uint32_t chunkSize = 0; // the client's chunk size in force for it
        std::string command;       // AMF0 commands: their name
    };

    // `receiveBufferBytes`: SO_RCVBUF of every accepted socket (0: the system's), so that a peer that
    // stops reading stalls the publisher quickly.
    explicit FakeRtmpServer(Mode mode = Mode::Serve, int receiveBufferBytes = 0);
    ~FakeRtmpServer();
    FakeRtmpServer(const FakeRtmpServer&) = delete;
    FakeRtmpServer& operator=(const FakeRtmpServer&) = delete;

    bool listening() const { return mListenFd >= 0; }
    int port() const { return mPort; }
    std::string url(const std::string& name) const;

    // Connections open now stop reading (their buffers fill, the publisher's sends block) until
    // resumeReading(); later connections read normally.
    void stopReading();
    void resumeReading();
    // Media bytes (audio and video bodies) received on a connection.
    std::size_t mediaBytes(int connection) const;

    int connectionsAccepted() const { return mAccepted.load(); }
    std::vector<Message> messages(int connection = 0) const;
    // Waits until `done` holds (checked at every change) or `seconds` pass.
    bool waitUntil(const std::function<bool()>& done, double seconds) const;

private:
    void acceptLoop();
    void serve(int fd, int number);
    void record(Message message);

    Mode mMode;
    int mReceiveBuffer;
    int mListenFd = -1;
    int mPort = 0;
    int mStopFd = -1;
    std::atomic<int> mAccepted{0};
    std::atomic<int> mPausedUpTo{0}; // connections numbered up to this one do not read

    mutable std::mutex mMutex;
    mutable std::condition_variable mChanged;
    std::vector<Message> mMessages;
    std::vector<std::size_t> mMediaBytes;
    std::vector<std::thread> mThreads;
    std::thread mAcceptThread;
};

} // namespace zqtest
