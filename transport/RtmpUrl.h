#pragma once
#include <string>
#include <string_view>

// What the publisher does with a URL's scheme (compared without regard to case, as librtmp does).
namespace rtmpurl {

enum class Transport {
    Plain,     // rtmp:// and the other schemes librtmp runs over plain TCP itself (rtmpe://)
    Tls,       // rtmps://: the kit makes the TLS connection and librtmp speaks RTMP inside it
    Tunnelled, // rtmpt://, rtmpte://, rtmpts://: RTMP over HTTP requests, refused
};

// The scheme in lower case ("" when the URL has no "scheme://").
std::string schemeOf(std::string_view url);
Transport transportOf(std::string_view url);

// Why a tunnelled URL is refused, for the connect's failure reason.
std::string tunnelRefusal(std::string_view url);

// True for a numeric IPv4 or IPv6 address (brackets allowed): such a host gets no SNI and its
// certificate must name the address.
bool isIpLiteral(std::string_view host);

} // namespace rtmpurl
