#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace zqmessaging {

// A room's socket address, "http://host:port/room42": scheme http or ws (plain), https or wss (TLS),
// a host name or address ("[::1]" for IPv6), an optional port, and the path, which is the socket.io
// namespace ("/" when empty). A query in the URL travels in the handshake after the kit's own values.
struct SocketURL {
    std::string text; // as given, for logs and state reports
    bool secure = false;
    std::string host; // without brackets
    std::uint16_t port = 0;
    std::string nsp = "/";
    std::string query; // without "?", may be empty

    // The Host header: host, with brackets for IPv6 and the port unless it is the scheme's default.
    std::string hostHeader() const;
    // The Engine.IO handshake target: "/socket.io/?EIO=4&transport=websocket&sessionid=…&platform=…&
    // terminal=…", each value percent-encoded.
    std::string handshakeTarget(std::string_view sessionId, std::string_view platform,
                                std::string_view terminal) const;
};

// Parses a socket URL; nullopt (with the reason in `error`) for another scheme, user info, a bad port
// or a missing host. Any thread.
std::optional<SocketURL> parseSocketURL(std::string_view text, std::string* error = nullptr);

} // namespace zqmessaging
