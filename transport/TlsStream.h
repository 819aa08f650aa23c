#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

// One client TLS session over a non-blocking socket, after its handshake: what the relay needs of
// it, small enough that tests put a fake in its place. Owns the socket.
//
// Not thread-safe: one thread (the relay's) makes every call.
class TlsStream {
public:
    enum class Io {
        Ok,     // `bytes` were taken or given
        Again,  // nothing happened yet: wait for the socket (send, bye: writable; receive: readable)
                // and call again; a send must be repeated with the same bytes
        Closed, // receive: the peer ended the session in order
        Failed, // the session is broken; error() says why
    };
    struct IoResult {
        Io status = Io::Ok;
        std::size_t bytes = 0;
    };

    virtual ~TlsStream() = default;

    // The socket to poll.
    virtual int fd() const = 0;
    // Encrypts and sends up to `size` bytes; may take fewer.
    virtual IoResult send(const std::uint8_t* data, std::size_t size) = 0;
    // Receives and decrypts up to `size` bytes. Decrypted bytes may wait inside the session where
    // polling the socket does not see them: the caller receives until "again" before it waits.
    virtual IoResult receive(std::uint8_t* data, std::size_t size) = 0;
    // Says goodbye (close_notify) and ends the sending side; the peer may go on sending.
    virtual IoResult bye() = 0;
    // Why the last call failed.
    virtual std::string error() const = 0;
};
