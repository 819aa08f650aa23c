#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>
#include "ZQPlatform/Geometry.h"
#include "ZQPlatform/URLSession.h"

// Every request the facade sends to the room service, the HTTP-DNS provider and the interaction
// service, built in one place so that the encoding, scheme and masking rules apply once:
// - every value the kit inserts into a URL is percent-encoded as one query (or path) component, so
//   "&", "=", "+", "#" or "/" inside a password or a name cannot change the request; letters and
//   digits go out unchanged;
// - the scheme rule (security on: "http:" becomes "https:", off: the other way round) runs over every
//   room-service and interaction URL, so a deployment without TLS works end to end; encoded values
//   hold no ":" and so are never rewritten;
// - what goes to the diagnostic log passes maskForLog(), which hides passwords, tokens and session
//   keys.
// Pure functions; any thread.
namespace zqservice {

// Paths and fixed values of the service API.
inline constexpr const char* kLoginPath = "/api/view/login/publisher";
inline constexpr const char* kLiveDataPath = "/live/data";
inline constexpr const char* kLiveCreatePath = "/api/live/create";
inline constexpr const char* kLiveStartPath = "/api/live/start";
inline constexpr const char* kStreamPublishPath = "/api/stream/publish";
inline constexpr const char* kLiveStopPath = "/api/live/stop";
inline constexpr const char* kInteractionTokenPath = "/live/interactive/token";
inline constexpr double kRoomRequestTimeout = 10.0;
inline constexpr double kLiveDataTimeout = 15.0;
inline constexpr double kHTTPDNSTimeout = 2.0;
inline constexpr double kInteractionTokenTimeout = 15.0;

// dealWithSecurity: on the whole text.
std::string dealWithSecurity(std::string url, bool security);

// An ordered query whose values are encoded as they are added.
class Query {
public:
    Query& add(std::string_view name, std::string_view value);
    Query& add(std::string_view name, std::int64_t value);
    // Appends an already encoded query text (another Query's text).
    Query& append(const std::string& encoded);
    const std::string& text() const { return mText; }

private:
    std::string mText;
};

// "https://" + host + path: the form every service URL is written in before the scheme rule.
std::string serviceBase(const std::string& host, const char* path);
// base?query, after the scheme rule.
std::string serviceURL(const std::string& base, const Query& query, bool security);

struct LoginFields {
    std::string userId;
    std::string roomId;
    std::string viewerName;
    std::string password;
};
std::string loginURL(const std::string& base, const LoginFields& fields, bool security);
// GET, no cache, 10 s, User-Agent.
platform::URLRequest loginRequest(const std::string& url, const std::string& userAgent);
// "<machine>;<system name> <system version>"
std::string loginUserAgent(const std::string& machine, const std::string& systemName, const std::string& systemVersion);

// The device description of a live create: devicetype, devicename, kernelversion (sent as "(null)":
// the kit never had a value for it), systemversion, sdkversion, resolution "W*H", bitrate, framerate.
Query deviceDescription(const std::string& deviceModel, const std::string& systemVersion, platform::Size size,
                        std::int64_t bitRate, std::int64_t frameRate);
std::string liveCreateURL(const std::string& base, const Query& deviceDescription, const std::string& userId,
                          const std::string& roomId, std::int64_t nodeId, bool security);
std::string hostModeLiveCreateURL(const std::string& base, const std::string& userId, const std::string& roomId,
                                  const std::string& publisherId, bool security);
std::string liveStartURL(const std::string& base, const std::string& liveId, bool record, bool security);
std::string streamPublishURL(const std::string& base, const std::string& roomId, const std::string& userId,
                             std::int64_t pitId, bool security);
std::string liveStopURL(const std::string& base, const std::string& liveId, bool security);
// The record-control operations' URL: base?liveid=...
std::string recordURL(const std::string& base, const std::string& liveId, bool security);

// GET with the given time-out (the room-service requests of tags 1 to 6; the URL session keeps no cache).
platform::URLRequest roomRequest(const std::string& url, double timeout = kRoomRequestTimeout);

// GET /live/data with "X-ZQ-Token", 15 s.
platform::URLRequest liveDataRequest(const std::string& base, const std::string& accountId, const std::string& roomId,
                                     const std::string& sessionKey, bool security);

// GET to the provider with "WS_URL", "WS_RETIP_NUM" "2", "WS_URL_TYPE" "3" in this order, 2 s. The
// provider's URL is used as configured (no scheme rule).
platform::URLRequest httpDNSRequest(const std::string& endpoint, const std::string& publishUrl);

struct TokenFields {
    std::string accountId;
    std::string roomId;
    std::string userId;
    std::string userName;
    std::string sessionKey;
};
// POST /live/interactive/token with "X-ZQ-Token", "Content-Type: application/json" and the compact
// JSON body, 15 s.
platform::URLRequest interactionTokenRequest(const std::string& base, const TokenFields& fields, bool security);

// ChangeSocketHost: the socket URL for a "chatHost" value ("" for none): http:// and the text as
// received, or https:// with the port moved up by 400; then "/" and the room id (encoded as a path
// component), through the scheme rule.
std::string socketURL(const std::optional<std::string>& chatHost, bool security, const std::string& roomId);

// The text with the values of "passwd", "token" and "sessionid" query parameters replaced by "***".
std::string maskForLog(const std::string& text);

} // namespace zqservice
