#pragma once
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>
#include "tests/support/HTTPFake.h"

namespace zqtest {

// The room service, the interaction service and the HTTP-DNS provider in one loopback HTTP server,
// answering a happy broadcast unless told otherwise. Every request is recorded. The facade (or
// `zqlive room` through its config file) reaches it with hostPort() as view, live and interaction
// host and httpDnsURL() as HTTP-DNS endpoint. Answers may be changed at any time from the test's
// thread; requests are served on the server's threads.
class FakeRoomService {
public:
    struct Node {
        std::string host = "127.0.0.1";
        std::string desc;
        std::string publishUrl;
        std::string token = "node-token";
        nlohmann::json nodeId = 1;
        std::optional<std::string> httpDNSType;
        nlohmann::json toJson() const;
    };

    FakeRoomService();
    FakeRoomService(const FakeRoomService&) = delete;
    FakeRoomService& operator=(const FakeRoomService&) = delete;

    // "127.0.0.1:PORT"
    std::string hostPort() const;
    // "http://127.0.0.1:PORT/httpdns"
    std::string httpDnsURL() const;

    // The login answer's nodes ("live"."publishUrls" and "sparePublishUrls").
    void setNodes(std::vector<Node> nodes, std::vector<Node> spareNodes = {});
    // Fields merged into the login answer (a null value removes the key).
    void patchLogin(const nlohmann::json& patch);
    // The live create answer ({"result": "OK", "live": {"id": liveId, "pitId": pitId}} by default).
    void setLiveCreateAnswer(nlohmann::json answer);
    std::string liveId() const;
    // The live-commerce switch in the live data's "interaction" (none: no "interaction" object).
    void setLiveCommerce(std::optional<long> value);
    // The token the interaction service hands out.
    void setInteractionToken(std::string token);
    // HTTP-DNS answers by the "WS_URL" asked about (body text; unknown URLs get an empty body).
    void setHttpDnsAnswer(const std::string& publishUrl, std::string body);
    // Replaces the answer of one path entirely.
    void overridePath(const std::string& path, FakeReply reply);
    void clearOverride(const std::string& path);

    std::vector<RecordedRequest> requests() const { return mServer.requests(); }
    // The paths asked for, in order.
    std::vector<std::string> paths() const;
    // The requests to one path.
    std::vector<RecordedRequest> requestsTo(const std::string& path) const;

    // The decoded value of a query parameter of a request target ("" when absent).
    static std::string queryValue(const std::string& target, const std::string& name);
    static std::string percentDecode(const std::string& text);

private:
    FakeReply answer(const RecordedRequest& request);

    mutable std::mutex mMutex;
    nlohmann::json mLogin;
    nlohmann::json mLiveCreate;
    std::optional<long> mLiveCommerce = 1;
    std::string mToken = "interaction-token-0001";
    std::map<std::string, std::string> mHttpDns;
    std::map<std::string, FakeReply> mOverrides;
    HTTPFake mServer; // last: it goes first, so no request is served while the rest is torn down
};

} // namespace zqtest
