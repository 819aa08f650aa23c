#include "transport/LibRtmpConnection.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <librtmp/log.h>
#include <mutex>
#include <pthread.h>
#include "ZQPlatform/Console.h"

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
// application that silences or redirects the console also governs these.
void logToConsole(int level, const char* format, va_list args) {
    if (level > RTMP_LogGetLevel()) return;
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    platform::Console::log(std::string("librtmp: ") + line);
}

void routeLibraryLog() {
    static std::once_flag once;
    std::call_once(once, [] { RTMP_LogSetCallback(logToConsole); });
}

} // namespace

RtmpConnection::~RtmpConnection() = default;

std::unique_ptr<RtmpConnection> makeLibRtmpConnection(RtmpConnection::ErrorHandler onError) {
    return std::make_unique<LibRtmpConnection>(std::move(onError));
}

LibRtmpConnection::LibRtmpConnection(ErrorHandler onError) : mOnError(std::move(onError)) {
    routeLibraryLog();
    mRtmp = RTMP_Alloc();
    if (mRtmp) RTMP_Init(mRtmp);
}

LibRtmpConnection::~LibRtmpConnection() {
    if (!mRtmp) return;
    close();
    RTMP_Free(mRtmp);
}

bool LibRtmpConnection::connect(const std::string& url) {
    if (!mRtmp || url.empty()) return false;
    // The URL goes to the library as an ASCII C string; anything else cannot be one.
    if (std::any_of(url.begin(), url.end(), [](char c) { return static_cast<unsigned char>(c) > 0x7F || c == '\0'; })) {
        platform::Console::log("RTMP url is not ASCII: " + url);
        return false;
    }
    SigpipeGuard guard;
    mUrl = url;
    if (!RTMP_SetupURL(mRtmp, mUrl.data())) return false;
    mRtmp->Link.timeout = kLinkTimeoutSeconds;
    mRtmp->m_msgCounter = 1;
    RTMP_EnableWrite(mRtmp);
    if (!RTMP_Connect(mRtmp, nullptr)) return false;
    return RTMP_ConnectStream(mRtmp, 0) != 0;
}

bool LibRtmpConnection::isConnected() const { return mRtmp && RTMP_IsConnected(mRtmp); }

std::int32_t LibRtmpConnection::streamId() const { return mRtmp ? mRtmp->m_stream_id : 0; }

std::uint8_t LibRtmpConnection::headerTypeFor(const RTMPPacket* previous, const RTMPPacket& packet) {
    if (packet.m_headerType == RTMP_PACKET_SIZE_LARGE || !previous) return packet.m_headerType;
    bool wouldBeFormat3 = previous->m_nBodySize == packet.m_nBodySize &&
                          previous->m_packetType == packet.m_packetType &&
                          previous->m_nTimeStamp == packet.m_nTimeStamp;
    return wouldBeFormat3 ? RTMP_PACKET_SIZE_LARGE : packet.m_headerType;
}

bool LibRtmpConnection::send(RtmpMessage& message) {
    if (!isConnected() || !message.body()) return false;
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

    bool sent;
    {
        SigpipeGuard guard;
        sent = RTMP_SendPacket(mRtmp, &packet, 0) != 0;
    }
    if (!sent) {
        report(kErrorSendFailed, "RTMP send failed");
        return false;
    }
    if (!RTMP_IsConnected(mRtmp)) {
        report(kErrorLinkClosed, "RTMP connection closed");
        return false;
    }
    return true;
}

void LibRtmpConnection::close() {
    if (!mRtmp) return;
    SigpipeGuard guard;
    RTMP_Close(mRtmp);
}

void LibRtmpConnection::report(int code, const char* message) {
    if (mReported) return;
    mReported = true;
    if (mOnError) mOnError(ErrorReport{code, message});
}
