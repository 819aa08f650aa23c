#pragma once
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include "transport/TlsStream.h"

// Moves bytes between one end of a socket pair and a TLS session, so that a library that only
// speaks plain TCP (librtmp) works over TLS through the other end. Runs on its own thread, one per
// connection, and never blocks: the session's socket and the pair end are both non-blocking and
// polled together.
//
// - What the library writes goes out encrypted, in order; a send the session could not finish is
//   repeated with the same bytes, as TLS requires.
// - What the peer sends reaches the library; when the peer ends the session, the library reads the
//   end of the stream once it has read everything before it.
// - When the library closes its end, what is still buffered goes out (for at most `flushSeconds`)
//   and the session says goodbye (close_notify) before the socket is closed.
// - When the session fails, the relay closes its end at once: the library's next send or receive
//   fails, and failure() says why.
// - abort() ends it at once, sending nothing more.
//
// Writes to the pair never raise SIGPIPE (MSG_NOSIGNAL, and the thread blocks the signal). Time-outs
// are the library's: its end of the pair carries the receive and send time-outs of the link, and a
// peer that takes nothing makes the relay stop reading that end, so the library's send times out.
//
// The relay keeps itself alive until its thread ends; dropping the last handle does not wait for it.
class TlsRelay : public std::enable_shared_from_this<TlsRelay> {
public:
    struct Options {
        double flushSeconds = 2; // after the library closed its end
    };

    // Takes over the session and the relay's end of the pair (made non-blocking here) and starts.
    // nullptr when no thread could be started (both are closed then).
    static std::shared_ptr<TlsRelay> start(std::unique_ptr<TlsStream> stream, int pairEnd, Options options);
    static std::shared_ptr<TlsRelay> start(std::unique_ptr<TlsStream> stream, int pairEnd) {
        return start(std::move(stream), pairEnd, Options{});
    }
    ~TlsRelay();
    TlsRelay(const TlsRelay&) = delete;
    TlsRelay& operator=(const TlsRelay&) = delete;

    // Any thread.
    void abort();
    // Any thread. Why the session failed; empty while it runs or when it ended in order.
    std::string failure() const;
    // Any thread. Waits until the thread has finished (socket and pair end closed).
    bool waitUntilDone(double seconds) const;

    static constexpr std::size_t kBufferBytes = 16 * 1024;

private:
    TlsRelay(std::unique_ptr<TlsStream> stream, int pairEnd, Options options);
    void run();
    void finish(std::string failure);

    std::unique_ptr<TlsStream> mStream;
    int mPairEnd;
    int mWakeFd;
    Options mOptions;
    mutable std::mutex mMutex;
    mutable std::condition_variable mDoneChanged;
    bool mDone = false;
    bool mAborted = false;
    std::string mFailure;
};
