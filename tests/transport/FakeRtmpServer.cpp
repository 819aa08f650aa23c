#include "tests/transport/FakeRtmpServer.h"

#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <map>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

namespace zqtest {

namespace {

constexpr std::size_t kSignatureSize = 1536;

// Reads exactly `size` bytes unless the server stops, the peer goes or reading is paused for this
// connection and then the server stops. Pausing simply stops calling recv().
class Reader {
public:
    Reader(int fd, int stopFd, std::function<bool()> paused) : mFd(fd), mStopFd(stopFd), mPaused(std::move(paused)) {}

    bool read(std::uint8_t* out, std::size_t size) {
        while (size > 0) {
            if (mStart == mEnd && !fill()) return false;
            std::size_t n = std::min(size, mEnd - mStart);
            std::memcpy(out, mBuffer + mStart, n);
            mStart += n;
            out += n;
            size -= n;
        }
        return true;
    }
    bool byte(std::uint8_t& out) { return read(&out, 1); }

private:
    bool fill() {
        for (;;) {
            // While paused the socket is not read at all: the kernel's buffers fill up.
            bool paused = mPaused();
            pollfd fds[2] = {{mFd, static_cast<short>(paused ? 0 : POLLIN), 0}, {mStopFd, POLLIN, 0}};
            int ready = ::poll(fds, 2, paused ? 20 : -1);
            if (ready < 0 && errno != EINTR) return false;
            if (fds[1].revents) return false;
            if (paused) {
                if (fds[0].revents & (POLLHUP | POLLERR)) return false;
                continue;
            }
            if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            ssize_t n = ::recv(mFd, mBuffer, sizeof mBuffer, 0);
            if (n <= 0) return false;
            mStart = 0;
            mEnd = static_cast<std::size_t>(n);
            return true;
        }
    }

    int mFd;
    int mStopFd;
    std::function<bool()> mPaused;
    std::uint8_t mBuffer[2048];
    std::size_t mStart = 0;
    std::size_t mEnd = 0;
};

bool writeAll(int fd, const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// AMF0 writing and the little reading the server needs.
struct Amf {
    std::vector<std::uint8_t> bytes;
    void string(const std::string& s) {
        bytes.push_back(0x02);
        bytes.push_back(static_cast<std::uint8_t>(s.size() >> 8));
        bytes.push_back(static_cast<std::uint8_t>(s.size()));
        bytes.insert(bytes.end(), s.begin(), s.end());
    }
    void number(double v) {
        bytes.push_back(0x00);
        std::uint64_t bits;
        std::memcpy(&bits, &v, sizeof bits);
        for (int shift = 56; shift >= 0; shift -= 8) bytes.push_back(static_cast<std::uint8_t>(bits >> shift));
    }
    void null() { bytes.push_back(0x05); }
    void object(const std::vector<std::pair<std::string, std::string>>& properties) {
        bytes.push_back(0x03);
        for (auto& [key, value] : properties) {
            bytes.push_back(static_cast<std::uint8_t>(key.size() >> 8));
            bytes.push_back(static_cast<std::uint8_t>(key.size()));
            bytes.insert(bytes.end(), key.begin(), key.end());
            string(value);
        }
        bytes.insert(bytes.end(), {0x00, 0x00, 0x09});
    }
};

// The command name and transaction id at the start of an AMF0 command body.
bool readCommand(const std::vector<std::uint8_t>& body, std::string& name, double& transaction) {
    if (body.size() < 3 || body[0] != 0x02) return false;
    std::size_t length = (std::size_t(body[1]) << 8) | body[2];
    if (body.size() < 3 + length) return false;
    name.assign(body.begin() + 3, body.begin() + 3 + static_cast<long>(length));
    std::size_t at = 3 + length;
    transaction = 0;
    if (body.size() >= at + 9 && body[at] == 0x00) {
        std::uint64_t bits = 0;
        for (int i = 1; i <= 8; ++i) bits = (bits << 8) | body[at + static_cast<std::size_t>(i)];
        std::memcpy(&transaction, &bits, sizeof transaction);
    }
    return true;
}

// One message from the server on chunk stream 3 (stream 0 for connection-level answers), in one
// chunk: every answer here is shorter than the default 128-byte chunk size.
std::vector<std::uint8_t> serverMessage(std::uint8_t type, std::uint32_t streamId, const std::vector<std::uint8_t>& body) {
    std::vector<std::uint8_t> out{0x03, 0, 0, 0};
    out.push_back(static_cast<std::uint8_t>(body.size() >> 16));
    out.push_back(static_cast<std::uint8_t>(body.size() >> 8));
    out.push_back(static_cast<std::uint8_t>(body.size()));
    out.push_back(type);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(streamId >> (8 * i)));
    out.insert(out.end(), body.begin(), body.end());
    return out;
}

std::uint32_t bigEndian(const std::uint8_t* p, int n) {
    std::uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
    return v;
}

} // namespace

FakeRtmpServer::FakeRtmpServer(Mode mode, int receiveBufferBytes) : mMode(mode), mReceiveBuffer(receiveBufferBytes) {
    mStopFd = ::eventfd(0, EFD_CLOEXEC);
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    // Inherited by every accepted socket, and only effective when set before the handshake.
    if (mReceiveBuffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &mReceiveBuffer, sizeof mReceiveBuffer);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 8) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        ::close(fd);
        return;
    }
    mListenFd = fd;
    mPort = ntohs(address.sin_port);
    mAcceptThread = std::thread([this] { acceptLoop(); });
}

FakeRtmpServer::~FakeRtmpServer() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = ::write(mStopFd, &one, sizeof one);
    if (mAcceptThread.joinable()) mAcceptThread.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mMutex);
        threads.swap(mThreads);
    }
    for (auto& thread : threads) thread.join();
    if (mListenFd >= 0) ::close(mListenFd);
    ::close(mStopFd);
}

std::string FakeRtmpServer::url(const std::string& name) const {
    return "rtmp://127.0.0.1:" + std::to_string(mPort) + "/live/" + name;
}

void FakeRtmpServer::stopReading() { mPausedUpTo = mAccepted.load(); }
void FakeRtmpServer::resumeReading() { mPausedUpTo = 0; }

std::size_t FakeRtmpServer::mediaBytes(int connection) const {
    std::lock_guard lock(mMutex);
    auto index = static_cast<std::size_t>(connection);
    return index < mMediaBytes.size() ? mMediaBytes[index] : 0;
}

std::vector<FakeRtmpServer::Message> FakeRtmpServer::messages(int connection) const {
    std::lock_guard lock(mMutex);
    std::vector<Message> out;
    for (auto& m : mMessages)
        if (connection == 0 || m.connection == connection) out.push_back(m);
    return out;
}

bool FakeRtmpServer::waitUntil(const std::function<bool()>& done, double seconds) const {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    std::unique_lock lock(mMutex);
    while (true) {
        lock.unlock();
        bool ok = done();
        lock.lock();
        if (ok) return true;
        if (mChanged.wait_until(lock, deadline) == std::cv_status::timeout) {
            lock.unlock();
            return done();
        }
    }
}

void FakeRtmpServer::record(Message message) {
    {
        std::lock_guard lock(mMutex);
        auto index = static_cast<std::size_t>(message.connection);
        if (mMediaBytes.size() <= index) mMediaBytes.resize(index + 1);
        if (message.type == 8 || message.type == 9) mMediaBytes[index] += message.body.size();
        mMessages.push_back(std::move(message));
    }
    mChanged.notify_all();
}

void FakeRtmpServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{mListenFd, POLLIN, 0}, {mStopFd, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents) return;
        int fd = ::accept4(mListenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int number = ++mAccepted;
        std::lock_guard lock(mMutex);
        mThreads.emplace_back([this, fd, number] {
            serve(fd, number);
            ::close(fd);
        });
        mChanged.notify_all();
    }
}

void FakeRtmpServer::serve(int fd, int number) {
    Reader in(fd, mStopFd, [this, number] { return mMode == Mode::Silent || number <= mPausedUpTo.load(); });

    // Handshake: C0 C1 in, S0 S1 S2 out (S2 echoes C1), C2 in.
    std::vector<std::uint8_t> c0c1(1 + kSignatureSize);
    if (!in.read(c0c1.data(), c0c1.size())) return;
    std::vector<std::uint8_t> reply{0x03};
    reply.resize(1 + kSignatureSize, 0);
    reply.insert(reply.end(), c0c1.begin() + 1, c0c1.end());
    if (!writeAll(fd, reply)) return;
    std::vector<std::uint8_t> c2(kSignatureSize);
    if (!in.read(c2.data(), c2.size())) return;

    struct Stream {
        std::uint32_t length = 0, timestamp = 0, delta = 0, streamId = 0;
        std::uint8_t type = 0;
        bool extended = false;
        std::vector<std::uint8_t> body; // the message being put together
        int format = 0, chunks = 0;
    };
    std::map<int, Stream> streams;
    std::uint32_t chunkSize = 128;

    for (;;) {
        std::uint8_t first;
        if (!in.byte(first)) return;
        int format = first >> 6;
        int csid = first & 0x3F;
        std::uint8_t extra[2];
        if (csid == 0) {
            if (!in.read(extra, 1)) return;
            csid = 64 + extra[0];
        } else if (csid == 1) {
            if (!in.read(extra, 2)) return;
            csid = 64 + extra[0] + 256 * extra[1];
        }
        Stream& s = streams[csid];
        std::uint8_t header[11];
        static constexpr int kHeaderSize[4] = {11, 7, 3, 0};
        if (!in.read(header, static_cast<std::size_t>(kHeaderSize[format]))) return;
        bool startsMessage = s.body.empty();
        std::uint32_t stamp = format < 3 ? bigEndian(header, 3) : 0;
        if (format < 3) s.extended = stamp == 0xFFFFFF;
        if (format <= 1) {
            s.length = bigEndian(header + 3, 3);
            s.type = header[6];
        }
        if (format == 0) s.streamId = header[7] | (header[8] << 8) | (header[9] << 16) | (std::uint32_t(header[10]) << 24);
        if (s.extended) {
            std::uint8_t ext[4];
            if (!in.read(ext, 4)) return;
            if (format < 3) stamp = bigEndian(ext, 4);
        }
        if (startsMessage) {
            // A receiver's reading: a format-3 message repeats the previous delta.
            if (format == 0) {
                s.timestamp = stamp;
                s.delta = 0;
            } else if (format == 3) {
                s.timestamp += s.delta;
            } else {
                s.delta = stamp;
                s.timestamp += stamp;
            }
            s.format = format;
            s.chunks = 0;
            s.body.reserve(s.length);
        }
        std::size_t take = std::min<std::size_t>(chunkSize, s.length - s.body.size());
        std::size_t at = s.body.size();
        s.body.resize(at + take);
        if (take > 0 && !in.read(s.body.data() + at, take)) return;
        ++s.chunks;
        if (s.body.size() < s.length) continue;

        Message message;
        message.connection = number;
        message.chunkStream = csid;
        message.format = s.format;
        message.type = s.type;
        message.timestamp = s.timestamp;
        message.streamId = s.streamId;
        message.body = std::move(s.body);
        message.chunks = s.chunks;
        message.chunkSize = chunkSize;
        s.body.clear();

        if (message.type == 0x01 && message.body.size() >= 4) chunkSize = bigEndian(message.body.data(), 4) & 0x7FFFFFFF;
        double transaction = 0;
        if (message.type == 0x14 && readCommand(message.body, message.command, transaction)) {
            Amf answer;
            std::uint32_t streamId = 0;
            if (message.command == "connect") {
                answer.string("_result");
                answer.number(transaction);
                answer.null();
                answer.object({{"level", "status"}, {"code", "NetConnection.Connect.Success"}});
            } else if (message.command == "createStream") {
                answer.string("_result");
                answer.number(transaction);
                answer.null();
                answer.number(1);
            } else if (message.command == "publish") {
                answer.string("onStatus");
                answer.number(0);
                answer.null();
                answer.object({{"level", "status"}, {"code", "NetStream.Publish.Start"}, {"description", "publishing"}});
                streamId = 1;
            }
            if (!answer.bytes.empty() && !writeAll(fd, serverMessage(0x14, streamId, answer.bytes))) return;
        }
        record(std::move(message));
    }
}

} // namespace zqtest
