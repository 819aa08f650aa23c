#pragma once
#include <librtmp/rtmp.h>
#include <string>
#include "transport/RtmpConnection.h"

// RtmpConnection over librtmp: one RTMP handle, allocated with the object and freed with it.
//
// It adds what the library lacks or gets wrong for a publisher:
// - an error report when a send fails or leaves the link closed (the library only logs);
// - SIGPIPE never reaches the application: the library writes with plain send(), so a send on a
//   link the peer has dropped (also the FCUnpublish/deleteStream that closing sends) would raise
//   it. Every library call runs with SIGPIPE blocked on the calling thread, and a SIGPIPE it left
//   pending is consumed;
// - wire timestamps stay right when the library would compress a header to format 3 (see
//   headerTypeFor).
class LibRtmpConnection final : public RtmpConnection {
public:
    explicit LibRtmpConnection(ErrorHandler onError);
    ~LibRtmpConnection() override;
    LibRtmpConnection(const LibRtmpConnection&) = delete;
    LibRtmpConnection& operator=(const LibRtmpConnection&) = delete;

    bool connect(const std::string& url) override;
    bool isConnected() const override;
    std::int32_t streamId() const override;
    bool send(RtmpMessage& message) override;
    void close() override;

    // The link's receive time-out, seconds.
    static constexpr int kLinkTimeoutSeconds = 30;

    // The chunk-header format to ask librtmp for. librtmp turns a non-large header into format 3
    // when size, type and timestamp equal the previous message on the chunk stream, and means
    // "delta 0" by it, while receivers repeat the previous delta for a format-3 message; such a
    // message is sent with a large header instead. `previous` is librtmp's record of the last
    // message on the chunk stream (nullptr when none).
    static std::uint8_t headerTypeFor(const RTMPPacket* previous, const RTMPPacket& packet);

private:
    void report(int code, const char* message);

    RTMP* mRtmp = nullptr;
    std::string mUrl; // librtmp keeps pointers into the URL it parsed
    ErrorHandler mOnError;
    bool mReported = false;
};
