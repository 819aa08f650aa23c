#include "transport/TcpConnector.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <thread>
#include <unistd.h>
#include "transport/LinkInterrupt.h"

namespace {

using Clock = std::chrono::steady_clock;

using Wait = TcpConnector::Wait;

void setInterrupted(TcpConnector::Result& result, const std::string& what) {
    result.interrupted = true;
    result.error = what + " interrupted";
}

void setTimedOut(TcpConnector::Result& result, const std::string& what) { result.error = what + " timed out"; }

std::string portText(int port) { return std::to_string(port); }

std::vector<TcpConnector::Address> addressesOf(const addrinfo* list) {
    std::vector<TcpConnector::Address> out;
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET && ai->ai_family != AF_INET6) continue;
        if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
        TcpConnector::Address address;
        std::memcpy(&address.storage, ai->ai_addr, ai->ai_addrlen);
        address.length = ai->ai_addrlen;
        out.push_back(address);
    }
    return out;
}

// One name lookup on its own thread. The waiter may give up on it; whichever of the two lets go
// last frees the answer.
struct Lookup {
    std::mutex mutex;
    int status = 0;
    addrinfo* answer = nullptr;
    int eventFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    ~Lookup() {
        if (answer) ::freeaddrinfo(answer);
        if (eventFd >= 0) ::close(eventFd);
    }
};

addrinfo hints(int flags) {
    addrinfo h{};
    h.ai_family = AF_UNSPEC;
    h.ai_socktype = SOCK_STREAM;
    h.ai_protocol = IPPROTO_TCP;
    h.ai_flags = flags;
    return h;
}

} // namespace

TcpConnector::Wait TcpConnector::waitFor(int fd, short events, Deadline deadline, LinkInterrupt* interrupt) {
    for (;;) {
        if (interrupt && interrupt->interrupted()) return Wait::Interrupted;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) return Wait::TimedOut;
        pollfd fds[2] = {{fd, events, 0}, {interrupt ? interrupt->pollFd() : -1, POLLIN, 0}};
        // Without a wake-up descriptor the interrupt is still seen, within a tenth of a second.
        if (interrupt && fds[1].fd < 0) left = std::min<long long>(left, 100);
        int ready = ::poll(fds, 2, static_cast<int>(std::min<long long>(left, 60000)));
        if (ready < 0) {
            if (errno == EINTR) continue;
            return Wait::Failed;
        }
        if (fds[1].revents != 0) return Wait::Interrupted;
        if (fds[0].revents != 0) return Wait::Ready;
    }
}

TcpConnector::Deadline TcpConnector::deadlineAfter(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::max(0.0, seconds)));
}

std::string TcpConnector::Address::text() const {
    char host[NI_MAXHOST] = "?";
    char service[NI_MAXSERV] = "?";
    ::getnameinfo(reinterpret_cast<const sockaddr*>(&storage), length, host, sizeof host, service, sizeof service,
                  NI_NUMERICHOST | NI_NUMERICSERV);
    if (storage.ss_family == AF_INET6) return std::string("[") + host + "]:" + service;
    return std::string(host) + ":" + service;
}

std::vector<TcpConnector::Address> TcpConnector::resolve(const std::string& host, int port, Deadline deadline,
                                                         LinkInterrupt* interrupt, Result& failure) {
    const std::string service = portText(port);
    const std::string what = "resolving " + host;
    auto answerOf = [&](int status, addrinfo* answer) {
        if (status != 0) {
            failure.error = what + ": " + ::gai_strerror(status);
            return std::vector<Address>{};
        }
        auto out = addressesOf(answer);
        if (out.empty()) failure.error = what + ": no IPv4 or IPv6 address";
        return out;
    };
    // A numeric address needs no lookup.
    addrinfo numericHints = hints(AI_NUMERICHOST | AI_NUMERICSERV);
    addrinfo* answer = nullptr;
    if (::getaddrinfo(host.c_str(), service.c_str(), &numericHints, &answer) == 0) {
        auto out = answerOf(0, answer);
        ::freeaddrinfo(answer);
        return out;
    }

    auto lookup = std::make_shared<Lookup>();
    bool threaded = lookup->eventFd >= 0;
    if (threaded) {
        try {
            std::thread([lookup, host, service] {
                addrinfo nameHints = hints(AI_NUMERICSERV);
                addrinfo* found = nullptr;
                int rc = ::getaddrinfo(host.c_str(), service.c_str(), &nameHints, &found);
                std::lock_guard lock(lookup->mutex);
                lookup->status = rc;
                lookup->answer = found;
                std::uint64_t one = 1;
                [[maybe_unused]] auto written = ::write(lookup->eventFd, &one, sizeof one);
            }).detach();
        } catch (const std::system_error&) {
            threaded = false;
        }
    }
    if (!threaded) {
        // No thread or descriptor to be had: look it up here, beyond the interrupt's reach.
        addrinfo nameHints = hints(AI_NUMERICSERV);
        int status = ::getaddrinfo(host.c_str(), service.c_str(), &nameHints, &answer);
        auto out = answerOf(status, answer);
        if (answer) ::freeaddrinfo(answer);
        return out;
    }

    switch (waitFor(lookup->eventFd, POLLIN, deadline, interrupt)) {
    case Wait::Ready: break;
    case Wait::Interrupted: setInterrupted(failure, what); return {};
    case Wait::TimedOut: setTimedOut(failure, what); return {};
    case Wait::Failed: failure.error = what + ": " + std::strerror(errno); return {};
    }
    std::lock_guard lock(lookup->mutex);
    return answerOf(lookup->status, lookup->answer);
}

TcpConnector::Result TcpConnector::connect(const std::vector<Address>& addresses, const Options& options,
                                           Deadline deadline, LinkInterrupt* interrupt) {
    Result result;
    if (addresses.empty()) {
        result.error = "no address to connect to";
        return result;
    }
    std::string errors;
    for (const Address& address : addresses) {
        const std::string what = "connecting to " + address.text();
        int fd = ::socket(address.storage.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            errors += (errors.empty() ? "" : "; ") + what + ": " + std::strerror(errno);
            continue;
        }
        if (options.sendBufferBytes > 0)
            ::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &options.sendBufferBytes, sizeof options.sendBufferBytes);
        int error = 0;
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address.storage), address.length) != 0) {
            if (errno != EINPROGRESS) {
                error = errno;
            } else {
                Wait wait = waitFor(fd, POLLOUT, deadline, interrupt);
                if (wait != Wait::Ready) {
                    ::close(fd);
                    if (wait == Wait::Interrupted) {
                        setInterrupted(result, what);
                    } else if (wait == Wait::TimedOut) {
                        setTimedOut(result, what);
                    } else {
                        result.error = what + ": " + std::strerror(errno);
                    }
                    if (!errors.empty()) result.error = errors + "; " + result.error;
                    return result;
                }
                socklen_t length = sizeof error;
                if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
            }
        }
        if (error != 0) {
            ::close(fd);
            errors += (errors.empty() ? "" : "; ") + what + ": " + std::strerror(error);
            if (interrupt && interrupt->interrupted()) {
                setInterrupted(result, what);
                return result;
            }
            continue;
        }
        int flags = ::fcntl(fd, F_GETFL);
        if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
            errors += (errors.empty() ? "" : "; ") + what + ": " + std::strerror(errno);
            ::close(fd);
            continue;
        }
        result.fd = fd;
        return result;
    }
    result.error = errors;
    return result;
}

TcpConnector::Result TcpConnector::connect(const std::string& host, int port, const Options& options,
                                           LinkInterrupt* interrupt) {
    auto deadline = deadlineAfter(options.timeoutSeconds);
    Result failure;
    if (port <= 0 || port > 65535) {
        failure.error = "port " + std::to_string(port) + " is out of range";
        return failure;
    }
    auto addresses = resolve(host, port, deadline, interrupt, failure);
    if (addresses.empty()) return failure;
    return connect(addresses, options, deadline, interrupt);
}
