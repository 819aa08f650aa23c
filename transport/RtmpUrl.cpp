#include "transport/RtmpUrl.h"

#include <arpa/inet.h>
#include <cctype>
#include <netinet/in.h>

namespace rtmpurl {

std::string schemeOf(std::string_view url) {
    auto end = url.find("://");
    if (end == std::string_view::npos) return {};
    std::string scheme;
    for (char c : url.substr(0, end)) scheme += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

Transport transportOf(std::string_view url) {
    std::string scheme = schemeOf(url);
    if (scheme == "rtmps") return Transport::Tls;
    if (scheme == "rtmpt" || scheme == "rtmpte" || scheme == "rtmpts") return Transport::Tunnelled;
    return Transport::Plain;
}

std::string tunnelRefusal(std::string_view url) {
    return schemeOf(url) + ":// (RTMP tunnelled through HTTP) is not supported; use rtmp:// or rtmps://";
}

bool isIpLiteral(std::string_view host) {
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
    std::string text(host);
    in6_addr address;
    return ::inet_pton(AF_INET, text.c_str(), &address) == 1 || ::inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

} // namespace rtmpurl
