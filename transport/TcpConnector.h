#pragma once
#include <chrono>
#include <string>
#include <sys/socket.h>
#include <vector>

class LinkInterrupt;

// Opens a TCP connection that a stop can abort: resolves the host, then tries each of its addresses
// (IPv6 and IPv4, in the resolver's order) with a non-blocking connect until one accepts, all within
// one time-out, and returns the connected socket in blocking mode for a protocol library to use.
// A LinkInterrupt ends every wait at once. A host name (not a numeric address) is resolved on a
// helper thread, so a hung resolver cannot hold the caller either.
//
// Blocking; any thread; no shared state.
class TcpConnector {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    struct Options {
        double timeoutSeconds = 30;  // resolving and connecting together
        int sendBufferBytes = 0;     // SO_SNDBUF, set before connecting; 0 keeps the system's autotuning
    };

    struct Result {
        int fd = -1;              // the caller owns it; -1 on failure
        bool interrupted = false; // the interrupt ended it (error says so too)
        std::string error;        // why it failed, for logs
        explicit operator bool() const { return fd >= 0; }
    };

    struct Address {
        sockaddr_storage storage{};
        socklen_t length = 0;
        std::string text() const; // "127.0.0.1:1935", "[::1]:1935"
    };

    static Result connect(const std::string& host, int port, const Options& options,
                          LinkInterrupt* interrupt = nullptr);

    // The two halves of connect().
    // The addresses of host:port; empty on failure, with the reason in `failure`.
    static std::vector<Address> resolve(const std::string& host, int port, Deadline deadline,
                                        LinkInterrupt* interrupt, Result& failure);
    static Result connect(const std::vector<Address>& addresses, const Options& options, Deadline deadline,
                          LinkInterrupt* interrupt = nullptr);

    // Waits until `fd` shows `events`, the interrupt fires or the deadline passes (for protocols run
    // over the connected socket, such as a TLS handshake).
    enum class Wait { Ready, Interrupted, TimedOut, Failed };
    static Wait waitFor(int fd, short events, Deadline deadline, LinkInterrupt* interrupt);
    static Deadline deadlineAfter(double seconds);
};
