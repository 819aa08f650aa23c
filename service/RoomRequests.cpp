#include "service/RoomRequests.h"

#include <cctype>
#include <cstdlib>
#include <nlohmann/json.hpp>

namespace zqservice {
namespace {

void replaceAll(std::string& text, std::string_view from, std::string_view to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
}

} // namespace

std::string dealWithSecurity(std::string url, bool security) {
    if (security)
        replaceAll(url, "http:", "https:");
    else
        replaceAll(url, "https:", "http:");
    return url;
}

Query& Query::add(std::string_view name, std::string_view value) {
    if (!mText.empty()) mText.push_back('&');
    mText.append(name);
    mText.push_back('=');
    mText += platform::percentEncodeQueryComponent(value);
    return *this;
}

Query& Query::add(std::string_view name, std::int64_t value) { return add(name, std::to_string(value)); }

Query& Query::append(const std::string& encoded) {
    if (encoded.empty()) return *this;
    if (!mText.empty()) mText.push_back('&');
    mText += encoded;
    return *this;
}

std::string serviceBase(const std::string& host, const char* path) { return "https://" + host + path; }

std::string serviceURL(const std::string& base, const Query& query, bool security) {
    return dealWithSecurity(base + "?" + query.text(), security);
}

std::string loginURL(const std::string& base, const LoginFields& f, bool security) {
    Query q;
    q.add("userid", f.userId).add("roomid", f.roomId).add("name", f.viewerName).add("passwd", f.password);
    q.add("role", "0").add("service", "1").add("client", "3").add("version", "2.4.0");
    return serviceURL(base, q, security);
}

platform::URLRequest roomRequest(const std::string& url, double timeout) {
    platform::URLRequest request;
    request.url = url;
    request.method = "GET";
    request.timeoutInterval = timeout;
    // The URL session keeps no cache, so every answer comes from the service, as the policy that
    // ignores local data asks.
    return request;
}

platform::URLRequest loginRequest(const std::string& url, const std::string& userAgent) {
    auto request = roomRequest(url);
    request.setHeader("User-Agent", userAgent);
    return request;
}

std::string loginUserAgent(const std::string& machine, const std::string& systemName, const std::string& systemVersion) {
    return machine + ";" + systemName + " " + systemVersion;
}

Query deviceDescription(const std::string& deviceModel, const std::string& systemVersion, platform::Size size,
                        std::int64_t bitRate, std::int64_t frameRate) {
    // "%d*%d" of the truncated sides, as 32-bit integers.
    auto side = [](double value) { return std::to_string(static_cast<int>(static_cast<long long>(value))); };
    Query q;
    q.add("devicetype", "1").add("devicename", deviceModel).add("kernelversion", "(null)");
    q.add("systemversion", systemVersion).add("sdkversion", "2.5.0");
    q.add("resolution", side(size.width) + "*" + side(size.height));
    q.add("bitrate", static_cast<std::int64_t>(static_cast<int>(bitRate)));
    q.add("framerate", static_cast<std::int64_t>(static_cast<int>(frameRate)));
    return q;
}

std::string liveCreateURL(const std::string& base, const Query& description, const std::string& userId,
                          const std::string& roomId, std::int64_t nodeId, bool security) {
    Query q;
    q.append(description.text()).add("userid", userId).add("roomid", roomId);
    q.add("nodeid", static_cast<std::int64_t>(static_cast<int>(nodeId)));
    return serviceURL(base, q, security);
}

std::string hostModeLiveCreateURL(const std::string& base, const std::string& userId, const std::string& roomId,
                                  const std::string& publisherId, bool security) {
    Query q;
    q.add("userid", userId).add("roomid", roomId).add("publisherid", publisherId).add("supportassign", "1");
    return serviceURL(base, q, security);
}

std::string liveStartURL(const std::string& base, const std::string& liveId, bool record, bool security) {
    Query q;
    q.add("liveid", liveId).add("isrecord", record ? 1 : 0);
    return serviceURL(base, q, security);
}

std::string streamPublishURL(const std::string& base, const std::string& roomId, const std::string& userId,
                             std::int64_t pitId, bool security) {
    Query q;
    q.add("roomid", roomId).add("userid", userId).add("pitid", pitId);
    return serviceURL(base, q, security);
}

std::string liveStopURL(const std::string& base, const std::string& liveId, bool security) {
    Query q;
    q.add("liveid", liveId);
    return serviceURL(base, q, security);
}

std::string recordURL(const std::string& base, const std::string& liveId, bool security) {
    Query q;
    q.add("liveid", liveId);
    return serviceURL(base, q, security);
}

platform::URLRequest liveDataRequest(const std::string& base, const std::string& accountId, const std::string& roomId,
                                     const std::string& sessionKey, bool security) {
    Query q;
    q.add("accountId", accountId).add("roomId", roomId).add("devicType", "ios-push-sdk").add("deviceVersion", "2.5.0");
    q.add("tpl", "20");
    platform::URLRequest request;
    request.url = serviceURL(base, q, security);
    request.timeoutInterval = kLiveDataTimeout;
    request.setHeader("X-ZQ-Token", sessionKey);
    return request;
}

platform::URLRequest httpDNSRequest(const std::string& endpoint, const std::string& publishUrl) {
    platform::URLRequest request;
    request.url = endpoint;
    request.timeoutInterval = kHTTPDNSTimeout;
    request.setHeader("WS_URL", publishUrl);
    request.setHeader("WS_RETIP_NUM", "2");
    request.setHeader("WS_URL_TYPE", "3");
    return request;
}

platform::URLRequest interactionTokenRequest(const std::string& base, const TokenFields& f, bool security) {
    Query q;
    q.add("accountId", f.accountId).add("roomId", f.roomId).add("deviceType", "iOS").add("deviceVersion", "2.1.1");
    nlohmann::ordered_json body = {
        {"accountId", f.accountId}, {"roomId", f.roomId}, {"userId", f.userId}, {"username", f.userName}, {"headUrl", ""}};
    platform::URLRequest request;
    request.url = serviceURL(base, q, security);
    request.method = "POST";
    request.timeoutInterval = kInteractionTokenTimeout;
    request.setHeader("X-ZQ-Token", f.sessionKey);
    request.setHeader("Content-Type", "application/json");
    request.body = body.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    return request;
}

std::string socketURL(const std::optional<std::string>& chatHost, bool security, const std::string& roomId) {
    if (!chatHost) return "";
    const std::string& text = *chatHost;
    std::string url;
    if (!security) {
        url = "http://" + text;
    } else if (auto colon = text.find(':'); colon == std::string::npos) {
        url = "https://" + text;
    } else {
        // The port as an integer (leading digits; none reads as 0), moved up by 400.
        long port = std::strtol(text.c_str() + colon + 1, nullptr, 10);
        url = "https://" + text.substr(0, colon) + ":" + std::to_string(static_cast<int>(port) + 400);
    }
    return dealWithSecurity(url + "/" + platform::percentEncodeQueryComponent(roomId), security);
}

std::string maskForLog(const std::string& text) {
    static constexpr std::string_view kSecrets[] = {"passwd", "token"};
    std::string out = text;
    for (std::string_view name : kSecrets) {
        std::size_t at = 0;
        while ((at = out.find(name, at)) != std::string::npos) {
            std::size_t valueStart = at + name.size();
            bool startsParameter = at > 0 && (out[at - 1] == '?' || out[at - 1] == '&');
            if (!startsParameter || valueStart >= out.size() || out[valueStart] != '=') {
                at = valueStart;
                continue;
            }
            ++valueStart;
            std::size_t valueEnd = out.find_first_of("&#' \"", valueStart);
            if (valueEnd == std::string::npos) valueEnd = out.size();
            out.replace(valueStart, valueEnd - valueStart, "***");
            at = valueStart + 3;
        }
    }
    return out;
}

} // namespace zqservice
