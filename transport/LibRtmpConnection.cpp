#include "transport/LibRtmpConnection.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <cstring>
#include <fcntl.h>
#include <librtmp/log.h>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>
#include "ZQPlatform/Console.h"
#include "transport/GnuTlsStream.h"
#include "transport/LinkInterrupt.h"
#include "transport/RtmpMessageBuilder.h"
#include "transport/RtmpUrl.h"
#include "transport/TcpConnector.h"
#include "transport/TlsRelay.h"

namespace {

// Blocks SIGPIPE on this thread for the guard's life; on the way out consumes a SIGPIPE that the
// guarded calls left pending (one that was pending before is left alone) and restores the mask.
class SigpipeGuard {
public:
    SigpipeGuard() {
        sigemptyset(&mPipe);
        sigaddset(&mPipe, SIGPIPE);
        sigset_t pending;
        sigemptyset(&pending);
        sigpending(&pending);
        mWasPending = sigismember(&pending, SIGPIPE) == 1;
        sigset_t old;
        pthread_sigmask(SIG_BLOCK, &mPipe, &old);
        mWasBlocked = sigismember(&old, SIGPIPE) == 1;
    }
    ~SigpipeGuard() {
        if (!mWasPending) {
            sigset_t pending;
            sigemptyset(&pending);
            sigpending(&pending);
            if (sigismember(&pending, SIGPIPE) == 1) {
                timespec zero{0, 0};
                while (sigtimedwait(&mPipe, nullptr, &zero) < 0 && errno == EINTR) {
                }
            }
        }
        if (!mWasBlocked) pthread_sigmask(SIG_UNBLOCK, &mPipe, nullptr);
    }
    SigpipeGuard(const SigpipeGuard&) = delete;
    SigpipeGuard& operator=(const SigpipeGuard&) = delete;

private:
    sigset_t mPipe;
    bool mWasPending = false;
    bool mWasBlocked = false;
};

// librtmp writes its own log lines to stderr; send them to the kit's console instead, so that an
// application that silences or redirects the console also governs these. errno is kept: the
// library logs a failed send before the caller reads why it failed.
void logToConsole(int level, const char* format, va_list args) {
    if (level > RTMP_LogGetLevel()) return;
    int savedErrno = errno;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    platform::Console::log(std::string("librtmp: ") + line);
    errno = savedErrno;
}

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { RTMP_LogSetCallback(logToConsole); });
}

void setTimeout(int fd, int option, double seconds) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(seconds);
    tv.tv_usec = static_cast<suseconds_t>((seconds - static_cast<double>(tv.tv_sec)) * 1e6);
    ::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

// Whether a short message would go into the socket without waiting.
bool writableNow(int fd) {
    pollfd p{fd, POLLOUT, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
}

std::string textOf(const AVal& value) { return value.av_val ? std::string(value.av_val, static_cast<std::size_t>(value.av_len)) : ""; }

} // namespace

RtmpConnection::~RtmpConnection() = default;

std::unique_ptr<RtmpConnection> makeLibRtmpConnection() { return std::make_unique<LibRtmpConnection>(); }

LibRtmpConnection::LibRtmpConnection() {
    routeLibraryLog();
    mRtmp = RTMP_Alloc();
    if (mRtmp) RTMP_Init(mRtmp);
}

LibRtmpConnection::~LibRtmpConnection() {
    if (!mRtmp) return;
    close();
    RTMP_Free(mRtmp);
}

RtmpConnection::Result LibRtmpConnection::connect(const std::string& url, const Settings& settings,
                                                  LinkInterrupt& interrupt) {
    mInterrupt = &interrupt;
    auto refuse = [](std::string reason) { return Result{Status::Failed, std::move(reason)}; };
    if (!mRtmp) return refuse("no RTMP handle");
    if (url.empty()) return refuse("no URL");
    // The URL goes to the library as an ASCII C string; anything else cannot be one.
    if (std::any_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F || c == '\0'; }))
        return refuse("RTMP url is not ASCII: " + url);
    rtmpurl::Transport transport = rtmpurl::transportOf(url);
    if (transport == rtmpurl::Transport::Tunnelled) return refuse(rtmpurl::tunnelRefusal(url));
    mUrl = url;
    {
        SigpipeGuard guard;
        if (!RTMP_SetupURL(mRtmp, mUrl.data())) return refuse("RTMP url not understood: " + url);
    }
    mRtmp->Link.timeout = static_cast<int>(settings.linkTimeoutSeconds);
    mRtmp->m_msgCounter = 1;
    RTMP_EnableWrite(mRtmp);
    if (mRtmp->Link.socksport) return refuse("SOCKS proxies are not supported");
    std::string host = textOf(mRtmp->Link.hostname);
    int port = mRtmp->Link.port ? mRtmp->Link.port : 1935;
    if (host.empty()) return refuse("RTMP url has no host: " + url);
    // The kit runs TLS itself (the library would verify nothing): the library sees a plain byte
    // stream, while its tcUrl and everything else it sends stay those of the rtmps:// URL.
    bool tls = transport == rtmpurl::Transport::Tls;
    if (tls) mRtmp->Link.protocol &= ~RTMP_FEATURE_SSL;

    TcpConnector::Options options;
    options.timeoutSeconds = settings.linkTimeoutSeconds;
    options.sendBufferBytes = settings.sendBufferBytes;
    TcpConnector::Result tcp = TcpConnector::connect(host, port, options, &interrupt);
    if (!tcp) return Result{tcp.interrupted ? Status::Interrupted : Status::Failed, tcp.error};
    int on = 1;
    if (tls) {
        ::setsockopt(tcp.fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Result relayed = startTls(tcp.fd, host, settings, interrupt);
        if (!relayed.ok()) return relayed;
    } else {
        mSocket = tcp.fd;
    }
    if (!interrupt.attach(mSocket)) return Result{Status::Interrupted, "interrupted after connecting"};
    int libraryFd = ::fcntl(mSocket, F_DUPFD_CLOEXEC, 0);
    if (libraryFd < 0) return refuse(std::string("dup: ") + std::strerror(errno));

    // What the library's own TCP connect would have set: the receive time-out and no Nagle delay.
    // The send time-out is the stall rule. Over TLS these are the pair's: the relay adds none of
    // its own.
    if (!tls) ::setsockopt(libraryFd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    setTimeout(libraryFd, SO_RCVTIMEO, settings.linkTimeoutSeconds);
    mStallSeconds = mStallOverride > 0 ? mStallOverride : settings.stallSeconds;
    if (mStallSeconds > 0) setTimeout(libraryFd, SO_SNDTIMEO, mStallSeconds);
    mRtmp->m_sb.sb_socket = libraryFd;
    mRtmp->m_bSendCounter = 1;

    bool published;
    {
        LinkInterrupt::Call call(interrupt);
        if (!call) return Result{Status::Interrupted, "interrupted after connecting"};
        SigpipeGuard guard;
        published = RTMP_Connect1(mRtmp, nullptr) && RTMP_ConnectStream(mRtmp, 0);
    }
    if (interrupt.interrupted()) return Result{Status::Interrupted, "interrupted during the RTMP handshake"};
    if (!published) return refuse("RTMP handshake or publish failed with " + host + ":" + std::to_string(port));
    mStreamId = mRtmp->m_stream_id;
    mRtmp->m_stream_id = 0;
    return {};
}

RtmpConnection::Result LibRtmpConnection::startTls(int tcpFd, const std::string& host, const Settings& settings,
                                                   LinkInterrupt& interrupt) {
    GnuTlsStream::Handshake handshake =
        GnuTlsStream::connect(tcpFd, host, TcpConnector::deadlineAfter(settings.linkTimeoutSeconds), &interrupt);
    if (!handshake.stream)
        return Result{handshake.interrupted ? Status::Interrupted : Status::Failed, handshake.error};
    mTlsVersion = handshake.stream->version();
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return Result{Status::Failed, std::string("socketpair: ") + std::strerror(errno)};
    // The library's end holds as much as the TCP socket would: the backlog stays in the send buffer.
    if (settings.sendBufferBytes > 0)
        ::setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &settings.sendBufferBytes, sizeof settings.sendBufferBytes);
    mSocket = pair[0];
    mRelay = TlsRelay::start(std::move(handshake.stream), pair[1]);
    if (!mRelay) return Result{Status::Failed, "no thread for the TLS relay"};
    return {};
}

bool LibRtmpConnection::isConnected() const { return mRtmp && RTMP_IsConnected(mRtmp); }

std::int32_t LibRtmpConnection::streamId() const { return mStreamId; }

std::uint8_t LibRtmpConnection::headerTypeFor(const RTMPPacket* previous, const RTMPPacket& packet) {
    if (packet.m_headerType == RTMP_PACKET_SIZE_LARGE || !previous) return packet.m_headerType;
    bool wouldBeFormat3 = previous->m_nBodySize == packet.m_nBodySize &&
                          previous->m_packetType == packet.m_packetType &&
                          previous->m_nTimeStamp == packet.m_nTimeStamp;
    return wouldBeFormat3 ? RTMP_PACKET_SIZE_LARGE : packet.m_headerType;
}

RtmpConnection::Result LibRtmpConnection::send(RtmpMessage& message) {
    if (!isConnected() || !message.body()) return Result{Status::NotConnected, "not connected"};
    RTMPPacket packet;
    RTMPPacket_Reset(&packet);
    packet.m_packetType = message.packetType();
    packet.m_nChannel = message.channel();
    packet.m_headerType = message.headerType();
    packet.m_nTimeStamp = message.timestamp();
    packet.m_hasAbsTimestamp = message.hasAbsoluteTimestamp() ? 1 : 0;
    packet.m_nInfoField2 = message.streamId();
    packet.m_nBodySize = static_cast<std::uint32_t>(message.bodySize());
    // The message keeps RTMP_MAX_HEADER_SIZE spare bytes in front of its body, as librtmp needs.
    packet.m_body = reinterpret_cast<char*>(message.body());

    const RTMPPacket* previous = nullptr;
    if (packet.m_nChannel < mRtmp->m_channelsAllocatedOut) previous = mRtmp->m_vecChannelsOut[packet.m_nChannel];
    packet.m_headerType = headerTypeFor(previous, packet);
    return sendPacket(packet);
}

RtmpConnection::Result LibRtmpConnection::sendPacket(RTMPPacket& packet) {
    bool sent;
    int error = 0;
    {
        LinkInterrupt::Call call(*mInterrupt);
        if (!call) return Result{Status::Interrupted, "interrupted"};
        SigpipeGuard guard;
        errno = 0;
        sent = RTMP_SendPacket(mRtmp, &packet, 0) != 0;
        error = errno;
    }
    if (sent && RTMP_IsConnected(mRtmp)) return {};
    return failure("RTMP send failed", sent ? 0 : error);
}

RtmpConnection::Result LibRtmpConnection::failure(const char* what, int error) {
    mFailed = true;
    if (mInterrupt && mInterrupt->interrupted()) return Result{Status::Interrupted, "interrupted"};
    if (error == EAGAIN || error == EWOULDBLOCK) {
        char text[120];
        std::snprintf(text, sizeof text, "RTMP link stalled: the peer took nothing for %.0f s", mStallSeconds);
        return Result{Status::Stalled, text};
    }
    // Over TLS the library only sees the pair close; the relay knows why.
    std::string tls = mRelay && !mRelay->failure().empty() ? " (" + mRelay->failure() + ")" : "";
    if (error == 0) return Result{Status::Failed, std::string(what) + ": connection closed" + tls};
    return Result{Status::Failed, std::string(what) + ": " + std::strerror(error) + tls};
}

RtmpConnection::Result LibRtmpConnection::setChunkSize(std::uint32_t size) {
    if (!isConnected()) return Result{Status::NotConnected, "not connected"};
    RtmpMessage message = RtmpMessageBuilder::setChunkSize(size);
    Result result = send(message);
    // Only once the server knows it: every later chunk is cut at the new size.
    if (result.ok()) mRtmp->m_outChunkSize = static_cast<int>(size);
    return result;
}

void LibRtmpConnection::close() {
    if (!mRtmp) return;
    // A healthy link hears FCUnpublish and deleteStream (the library sends them for a non-zero
    // stream id), within a bounded wait; any other goes without.
    bool goodbye = RTMP_IsConnected(mRtmp) && mStreamId > 0 && !mFailed && writableNow(mRtmp->m_sb.sb_socket);
    if (goodbye) setTimeout(mRtmp->m_sb.sb_socket, SO_SNDTIMEO, kGoodbyeSeconds);
    mRtmp->m_stream_id = goodbye ? mStreamId : 0;
    {
        SigpipeGuard guard;
        RTMP_Close(mRtmp);
    }
    mStreamId = 0;
    if (mSocket >= 0) {
        if (mInterrupt) mInterrupt->detach();
        // The server's acknowledgements are never read. Closing a socket with unread input resets
        // the link and throws away what is still queued for sending, the tail of the stream: read
        // what is there first, so the close sends the queue and then ends the link in order.
        char sink[4096];
        for (int rounds = 0; rounds < 64 && ::recv(mSocket, sink, sizeof sink, MSG_DONTWAIT) > 0; ++rounds) {
        }
        ::close(mSocket);
        mSocket = -1;
    }
    if (mRelay) {
        // A failed link sends nothing more; any other (a stopped one too) delivers its tail and says
        // goodbye on the relay's thread, within the relay's flush time, without holding the caller.
        if (mFailed) mRelay->abort();
        mRelay.reset();
    }
}
