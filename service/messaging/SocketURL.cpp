#include "service/messaging/SocketURL.h"

#include <algorithm>
#include <cctype>
#include "ZQPlatform/URLSession.h"

namespace zqmessaging {
namespace {

std::string lowercase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return std::tolower(c); });
    return out;
}

std::nullopt_t fail(std::string* error, std::string reason) {
    if (error) *error = std::move(reason);
    return std::nullopt;
}

} // namespace

std::string SocketURL::hostHeader() const {
    std::string header = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    if (port != (secure ? 443 : 80)) header += ":" + std::to_string(port);
    return header;
}

std::string SocketURL::handshakeTarget(std::string_view sessionId, std::string_view platform,
                                       std::string_view terminal) const {
    std::string target = "/socket.io/?EIO=4&transport=websocket";
    target += "&sessionid=" + platform::percentEncodeQueryComponent(sessionId);
    target += "&platform=" + platform::percentEncodeQueryComponent(platform);
    target += "&terminal=" + platform::percentEncodeQueryComponent(terminal);
    if (!query.empty()) target += "&" + query;
    return target;
}

std::optional<SocketURL> parseSocketURL(std::string_view text, std::string* error) {
    SocketURL url;
    url.text = std::string(text);
    auto schemeEnd = text.find("://");
    if (schemeEnd == std::string_view::npos) return fail(error, "no scheme");
    std::string scheme = lowercase(text.substr(0, schemeEnd));
    if (scheme == "https" || scheme == "wss") {
        url.secure = true;
    } else if (scheme != "http" && scheme != "ws") {
        return fail(error, "unsupported scheme " + scheme);
    }
    std::string_view rest = text.substr(schemeEnd + 3);
    rest = rest.substr(0, rest.find('#'));
    auto authorityEnd = rest.find_first_of("/?");
    std::string_view authority = rest.substr(0, authorityEnd);
    std::string_view tail = authorityEnd == std::string_view::npos ? std::string_view() : rest.substr(authorityEnd);
    if (authority.find('@') != std::string_view::npos) return fail(error, "user info is not supported");

    std::string_view portText;
    if (authority.starts_with("[")) {
        auto close = authority.find(']');
        if (close == std::string_view::npos) return fail(error, "unterminated IPv6 address");
        url.host = std::string(authority.substr(1, close - 1));
        std::string_view after = authority.substr(close + 1);
        if (!after.empty()) {
            if (after[0] != ':') return fail(error, "bad text after the IPv6 address");
            portText = after.substr(1);
        }
    } else {
        auto colon = authority.find(':');
        url.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) portText = authority.substr(colon + 1);
    }
    if (url.host.empty()) return fail(error, "no host");
    for (unsigned char c : url.host) {
        if (c <= ' ' || c == '/' || c == '\\' || c >= 0x7F) return fail(error, "bad character in the host");
    }
    url.port = url.secure ? 443 : 80;
    if (!portText.empty()) {
        if (portText.size() > 5 || !std::all_of(portText.begin(), portText.end(), ::isdigit)) {
            return fail(error, "bad port");
        }
        int port = std::stoi(std::string(portText));
        if (port < 1 || port > 65535) return fail(error, "port out of range");
        url.port = static_cast<std::uint16_t>(port);
    }

    auto queryStart = tail.find('?');
    std::string_view path = tail.substr(0, queryStart);
    if (queryStart != std::string_view::npos) url.query = std::string(tail.substr(queryStart + 1));
    url.nsp = path.empty() ? "/" : std::string(path);
    // The query goes into the request line as it is, the namespace into packets that end it with ",":
    // refuse what would break either.
    for (unsigned char c : url.query) {
        if (c <= ' ' || c >= 0x7F) return fail(error, "unencoded character in the query");
    }
    if (url.nsp.find(',') != std::string::npos) return fail(error, "\",\" in the namespace");
    return url;
}

} // namespace zqmessaging
