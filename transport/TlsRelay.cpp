#include "transport/TlsRelay.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <pthread.h>
#include <set>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <system_error>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

bool wouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

// The relays still running. A process that exits while one is flushing to a slow peer must not
// leave it inside GnuTLS while the library is torn down: at exit every relay is aborted and awaited
// (they end at once). Never destroyed, so that a relay ending late still finds it.
struct Running {
    std::mutex mutex;
    std::condition_variable changed;
    std::set<TlsRelay*> relays;
};

Running& running() {
    static Running* instance = [] {
        auto* r = new Running;
        std::atexit([] {
            Running& all = running();
            std::unique_lock lock(all.mutex);
            for (TlsRelay* relay : all.relays) relay->abort();
            all.changed.wait_for(lock, std::chrono::seconds(1), [&] { return all.relays.empty(); });
        });
        return r;
    }();
    return *instance;
}

} // namespace

std::shared_ptr<TlsRelay> TlsRelay::start(std::unique_ptr<TlsStream> stream, int pairEnd, Options options) {
    int flags = ::fcntl(pairEnd, F_GETFL);
    if (flags >= 0) ::fcntl(pairEnd, F_SETFL, flags | O_NONBLOCK);
    std::shared_ptr<TlsRelay> relay(new TlsRelay(std::move(stream), pairEnd, options));
    {
        std::lock_guard lock(running().mutex);
        running().relays.insert(relay.get());
    }
    try {
        std::thread([relay] { relay->run(); }).detach();
    } catch (const std::system_error&) {
        relay->finish("no relay thread");
        return nullptr;
    }
    return relay;
}

TlsRelay::TlsRelay(std::unique_ptr<TlsStream> stream, int pairEnd, Options options)
    : mStream(std::move(stream)), mPairEnd(pairEnd), mWakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)),
      mOptions(options) {}

TlsRelay::~TlsRelay() {
    if (mWakeFd >= 0) ::close(mWakeFd);
}

void TlsRelay::abort() {
    std::lock_guard lock(mMutex);
    mAborted = true;
    if (mWakeFd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(mWakeFd, &one, sizeof one);
    }
}

std::string TlsRelay::failure() const {
    std::lock_guard lock(mMutex);
    return mFailure;
}

bool TlsRelay::waitUntilDone(double seconds) const {
    std::unique_lock lock(mMutex);
    return mDoneChanged.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return mDone; });
}

void TlsRelay::finish(std::string failure) {
    // The pair end first: a library waiting on it learns at once.
    if (mPairEnd >= 0) ::close(mPairEnd);
    mPairEnd = -1;
    mStream.reset();
    {
        std::lock_guard lock(mMutex);
        mFailure = std::move(failure);
        mDone = true;
        mDoneChanged.notify_all();
    }
    std::lock_guard lock(running().mutex);
    running().relays.erase(this);
    running().changed.notify_all();
}

void TlsRelay::run() {
    // The session's writes use MSG_NOSIGNAL too; this covers anything that does not.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);

    TlsStream& tls = *mStream;
    std::vector<std::uint8_t> out(kBufferBytes); // library -> peer
    std::vector<std::uint8_t> in(kBufferBytes);  // peer -> library
    std::size_t outBegin = 0, outEnd = 0, inBegin = 0, inEnd = 0;
    bool libraryClosed = false; // everything the library wrote has been read
    bool libraryHungUp = false; // the library closed its end (what it wrote may still wait in the pair)
    bool libraryGone = false;   // its end takes no more bytes
    bool peerClosed = false;
    bool pairShut = false;
    std::optional<Clock::time_point> flushDeadline;

    for (;;) {
        {
            std::lock_guard lock(mMutex);
            if (mAborted) break;
        }
        bool progress = false;
        short pairEvents = 0;
        short tlsEvents = 0;

        // Library to peer.
        if (outBegin == outEnd && !libraryClosed) {
            ssize_t n = ::recv(mPairEnd, out.data(), out.size(), MSG_DONTWAIT);
            if (n > 0) {
                outBegin = 0;
                outEnd = static_cast<std::size_t>(n);
                progress = true;
            } else if (n < 0 && wouldBlock(errno)) {
                pairEvents |= POLLIN;
            } else if (n < 0 && errno == EINTR) {
                progress = true;
            } else {
                libraryClosed = true; // closed, or shut down by an interrupt
                progress = true;
            }
        }
        if (outBegin < outEnd) {
            TlsStream::IoResult r = tls.send(out.data() + outBegin, outEnd - outBegin);
            if (r.status == TlsStream::Io::Ok && r.bytes > 0) {
                outBegin += r.bytes;
                progress = true;
            } else if (r.status == TlsStream::Io::Ok || r.status == TlsStream::Io::Again) {
                tlsEvents |= POLLOUT;
            } else {
                return finish("TLS send failed: " + tls.error());
            }
        }

        // Peer to library.
        if (inBegin == inEnd && !peerClosed && !libraryGone) {
            TlsStream::IoResult r = tls.receive(in.data(), in.size());
            if (r.status == TlsStream::Io::Ok) {
                inBegin = 0;
                inEnd = r.bytes;
                progress = true;
            } else if (r.status == TlsStream::Io::Closed) {
                peerClosed = true;
                progress = true;
            } else if (r.status == TlsStream::Io::Again) {
                tlsEvents |= POLLIN;
            } else {
                return finish("TLS receive failed: " + tls.error());
            }
        }
        if (inBegin < inEnd) {
            ssize_t n = ::send(mPairEnd, in.data() + inBegin, inEnd - inBegin, MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n > 0) {
                inBegin += static_cast<std::size_t>(n);
                progress = true;
            } else if (n < 0 && wouldBlock(errno)) {
                pairEvents |= POLLOUT;
            } else if (n < 0 && errno == EINTR) {
                progress = true;
            } else {
                libraryGone = true; // nobody to read it
                inBegin = inEnd = 0;
                progress = true;
            }
        }
        if (peerClosed && inBegin == inEnd && !pairShut && !libraryGone) {
            ::shutdown(mPairEnd, SHUT_WR); // the library reads the end of the stream
            pairShut = true;
        }

        // Everything the library wrote has gone out: goodbye.
        if (libraryClosed && outBegin == outEnd) {
            TlsStream::IoResult r = tls.bye();
            if (r.status != TlsStream::Io::Again) break;
            tlsEvents |= POLLOUT;
        }
        if ((libraryClosed || libraryHungUp) && !flushDeadline) {
            flushDeadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                               std::chrono::duration<double>(mOptions.flushSeconds));
        }
        if (progress) continue;

        // Without a wake-up descriptor an abort is still seen, within a tenth of a second.
        int timeout = mWakeFd >= 0 ? -1 : 100;
        if (flushDeadline) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(*flushDeadline - Clock::now()).count();
            if (left <= 0) break; // a peer that takes nothing does not keep the relay
            timeout = static_cast<int>(std::min<long long>(left, timeout < 0 ? 60000 : timeout));
        }
        // The library's close starts the flush time even while the relay is not reading its end.
        if (!libraryHungUp && !libraryClosed) pairEvents |= POLLRDHUP;
        pollfd fds[3] = {{mWakeFd, POLLIN, 0},
                         {pairEvents ? mPairEnd : -1, pairEvents, 0},
                         {tlsEvents ? tls.fd() : -1, tlsEvents, 0}};
        if (::poll(fds, 3, timeout) < 0 && errno != EINTR)
            return finish(std::string("relay poll failed: ") + std::strerror(errno));
        if (fds[1].revents & (POLLRDHUP | POLLHUP | POLLERR)) libraryHungUp = true;
    }
    finish({});
}
