// The request builders: every room-service, HTTP-DNS and interaction request's wire form, the
// encoding of inserted values, the scheme rule, the socket URL rule and the log masking.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include "service/RoomRequests.h"
#include "tests/support/FakeRoomService.h"

using namespace zqservice;
using zqtest::FakeRoomService;

namespace {

std::string value(const std::string& url, const std::string& name) { return FakeRoomService::queryValue(url, name); }

std::vector<std::string> headerNames(const platform::URLRequest& request) {
    std::vector<std::string> names;
    for (auto& [name, v] : request.headers) names.push_back(name);
    return names;
}

} // namespace

TEST(SchemeRule, RewritesEverySchemeOccurrenceBothWays) {
    EXPECT_EQ(dealWithSecurity("https://a/x?u=https://b", false), "http://a/x?u=http://b");
    EXPECT_EQ(dealWithSecurity("http://a/x?u=http://b", true), "https://a/x?u=https://b");
    EXPECT_EQ(dealWithSecurity("https://a/", true), "https://a/");
    EXPECT_EQ(dealWithSecurity("http://a/", false), "http://a/");
}

TEST(LoginRequest, PlainValuesGoOutExactlyAsTheOriginalFormat) {
    std::string url = loginURL(serviceBase("view.example:8080", kLoginPath), {"u1", "r2", "Tom", "pw3"}, false);
    EXPECT_EQ(url, "http://view.example:8080/api/view/login/publisher?userid=u1&roomid=r2&name=Tom&passwd=pw3"
                   "&role=0&service=1&client=3&version=2.4.0");
    EXPECT_EQ(loginURL(serviceBase("v", kLoginPath), {"u", "r", "n", "p"}, true).rfind("https://v/", 0), 0u);
}

TEST(LoginRequest, QuerySyntaxInsideValuesCannotChangeTheRequest) {
    std::string url = loginURL(serviceBase("v", kLoginPath), {"a+b", "r#1", "Tom & Jerry", "a&b=c"}, true);
    EXPECT_EQ(value(url, "userid"), "a+b");
    EXPECT_EQ(value(url, "roomid"), "r#1");
    EXPECT_EQ(value(url, "name"), "Tom & Jerry");
    EXPECT_EQ(value(url, "passwd"), "a&b=c");
    EXPECT_EQ(value(url, "role"), "0");
    EXPECT_EQ(url.find('#'), std::string::npos);
    // The scheme rule no longer reaches into values.
    std::string withScheme = loginURL(serviceBase("v", kLoginPath), {"u", "r", "http://x", "https:y"}, true);
    EXPECT_EQ(value(withScheme, "name"), "http://x");
    EXPECT_EQ(value(withScheme, "passwd"), "https:y");
    std::string plain = loginURL(serviceBase("v", kLoginPath), {"u", "r", "https:y", "p"}, false);
    EXPECT_EQ(value(plain, "name"), "https:y");
}

TEST(LoginRequest, GetWithTenSecondsAndTheMachineUserAgent) {
    auto request = loginRequest("http://v/api/view/login/publisher?x=1", loginUserAgent("x86_64", "Linux", "15.0"));
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.timeoutInterval, 10.0);
    EXPECT_EQ(request.header("User-Agent"), "x86_64;Linux 15.0");
    EXPECT_EQ(headerNames(request), std::vector<std::string>{"User-Agent"});
    EXPECT_FALSE(request.body);
}

TEST(LiveRequests, CreateCarriesTheDeviceDescriptionAndTheNode) {
    auto description = deviceDescription("iPhoneSimulator", "15.0", {360.7, 641}, 800, 30);
    std::string url = liveCreateURL(serviceBase("live", kLiveCreatePath), description, "u 1", "r/2", 7, false);
    EXPECT_EQ(url.rfind("http://live/api/live/create?devicetype=1&devicename=iPhoneSimulator&kernelversion=", 0), 0u);
    EXPECT_EQ(value(url, "kernelversion"), "(null)");
    EXPECT_EQ(value(url, "systemversion"), "15.0");
    EXPECT_EQ(value(url, "sdkversion"), "2.5.0");
    EXPECT_EQ(value(url, "resolution"), "360*641");
    EXPECT_EQ(value(url, "bitrate"), "800");
    EXPECT_EQ(value(url, "framerate"), "30");
    EXPECT_EQ(value(url, "userid"), "u 1");
    EXPECT_EQ(value(url, "roomid"), "r/2");
    EXPECT_EQ(value(url, "nodeid"), "7");

    std::string host = hostModeLiveCreateURL(serviceBase("live", kLiveCreatePath), "u", "r", "v&9", true);
    EXPECT_EQ(host, "https://live/api/live/create?userid=u&roomid=r&publisherid=v%269&supportassign=1");
}

TEST(LiveRequests, StartPublishStopAndRecordQueries) {
    EXPECT_EQ(liveStartURL(serviceBase("l", kLiveStartPath), "L1", true, false), "http://l/api/live/start?liveid=L1&isrecord=1");
    EXPECT_EQ(liveStartURL(serviceBase("l", kLiveStartPath), "L1", false, true), "https://l/api/live/start?liveid=L1&isrecord=0");
    EXPECT_EQ(streamPublishURL(serviceBase("l", kStreamPublishPath), "r", "u", -1, true),
              "https://l/api/stream/publish?roomid=r&userid=u&pitid=-1");
    EXPECT_EQ(liveStopURL(serviceBase("l", kLiveStopPath), "a b", false), "http://l/api/live/stop?liveid=a%20b");
    EXPECT_EQ(recordURL(serviceBase("l", "/api/record/pause"), "L1", false), "http://l/api/record/pause?liveid=L1");
    auto request = roomRequest("http://l/x");
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.timeoutInterval, 10.0);
    EXPECT_TRUE(request.headers.empty());
}

TEST(LiveRequests, LiveDataFollowsTheSchemeRuleWithTheSessionKeyHeader) {
    auto request = liveDataRequest(serviceBase("view", kLiveDataPath), "acc&1", "r1", "key-9", false);
    EXPECT_EQ(request.url, "http://view/live/data?accountId=acc%261&roomId=r1&devicType=ios-push-sdk&deviceVersion=2.5.0&tpl=20");
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.timeoutInterval, 15.0);
    EXPECT_EQ(request.header("X-ZQ-Token"), "key-9");
    EXPECT_EQ(liveDataRequest(serviceBase("view", kLiveDataPath), "a", "r", "k", true).url.rfind("https://", 0), 0u);
}

TEST(HttpDnsRequest, ThreeHeadersInOrderTwoSecondsAndTheEndpointAsConfigured) {
    auto request = httpDNSRequest("https://dns.example/q", "rtmp://n1/live");
    EXPECT_EQ(request.url, "https://dns.example/q");
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.timeoutInterval, 2.0);
    EXPECT_EQ(headerNames(request), (std::vector<std::string>{"WS_URL", "WS_RETIP_NUM", "WS_URL_TYPE"}));
    EXPECT_EQ(request.header("WS_URL"), "rtmp://n1/live");
    EXPECT_EQ(request.header("WS_RETIP_NUM"), "2");
    EXPECT_EQ(request.header("WS_URL_TYPE"), "3");
}

TEST(InteractionTokenRequest, PostWithCompactBodyHeadersAndEncodedQuery) {
    auto request = interactionTokenRequest(serviceBase("ia:9000", kInteractionTokenPath),
                                           {"acc 1", "room=2", "viewer", "Tom \"T\"", "key"}, false);
    EXPECT_EQ(request.url, "http://ia:9000/live/interactive/token?accountId=acc%201&roomId=room%3D2&deviceType=iOS&deviceVersion=2.1.1");
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.timeoutInterval, 15.0);
    EXPECT_EQ(request.header("X-ZQ-Token"), "key");
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.body,
              R"({"accountId":"acc 1","roomId":"room=2","userId":"viewer","username":"Tom \"T\"","headUrl":""})");
}

TEST(SocketURL, PortMovesUpBy400OnlyUnderTls) {
    EXPECT_EQ(socketURL(std::string("chat.example:8080"), true, "room1"), "https://chat.example:8480/room1");
    EXPECT_EQ(socketURL(std::string("chat.example:8080"), false, "room1"), "http://chat.example:8080/room1");
    EXPECT_EQ(socketURL(std::string("chat.example"), true, "room1"), "https://chat.example/room1");
    EXPECT_EQ(socketURL(std::nullopt, true, "room1"), "");
    // The room id is one path component.
    EXPECT_EQ(socketURL(std::string("c"), false, "a/b?c"), "http://c/a%2Fb%3Fc");
    // A port that is no number reads as 0.
    EXPECT_EQ(socketURL(std::string("c:x"), true, "r"), "https://c:400/r");
}

TEST(LogMasking, PasswordsAndTokensAreHidden) {
    EXPECT_EQ(maskForLog("http://v/login?userid=u&passwd=a%26b&role=0"), "http://v/login?userid=u&passwd=***&role=0");
    EXPECT_EQ(maskForLog("rtmp://n/live/s?token=abc&liveid=9"), "rtmp://n/live/s?token=***&liveid=9");
    EXPECT_EQ(maskForLog("x?mytoken=1&passwdx=2"), "x?mytoken=1&passwdx=2");
    EXPECT_EQ(maskForLog("no query at all"), "no query at all");
}
