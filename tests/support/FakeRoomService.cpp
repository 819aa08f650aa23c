#include "tests/support/FakeRoomService.h"

#include <cctype>

namespace zqtest {

nlohmann::json FakeRoomService::Node::toJson() const {
    nlohmann::json node = {{"host", host}, {"desc", desc}, {"publishUrl", publishUrl}, {"token", token}, {"nodeId", nodeId}};
    if (httpDNSType) node["httpDNSType"] = *httpDNSType;
    return node;
}

FakeRoomService::FakeRoomService() : mServer([this](const RecordedRequest& request) { return answer(request); }) {
    mLogin = {{"result", "OK"},
              {"name", "Fake room"},
              {"openHostMode", false},
              {"manuallyRecordMode", 1},
              {"chatHost", "127.0.0.1:1"},
              {"backupChatHost", "127.0.0.1:2"},
              {"bitrate", 1000},
              {"module", 3},
              {"liveDuration", 3600},
              {"user", {{"id", "viewer-7"}, {"sessionId", "session-key-abc"}}},
              {"live", {{"publishUrls", nlohmann::json::array()}, {"sparePublishUrls", nlohmann::json::array()}}}};
    mLiveCreate = {{"result", "OK"}, {"live", {{"id", "live-42"}, {"pitId", 5}}}};
}

std::string FakeRoomService::hostPort() const { return "127.0.0.1:" + std::to_string(mServer.port()); }

std::string FakeRoomService::httpDnsURL() const { return mServer.baseURL() + "/httpdns"; }

void FakeRoomService::setNodes(std::vector<Node> nodes, std::vector<Node> spareNodes) {
    nlohmann::json publish = nlohmann::json::array(), spare = nlohmann::json::array();
    for (auto& n : nodes) publish.push_back(n.toJson());
    for (auto& n : spareNodes) spare.push_back(n.toJson());
    std::lock_guard lock(mMutex);
    mLogin["live"] = {{"publishUrls", publish}, {"sparePublishUrls", spare}};
}

void FakeRoomService::patchLogin(const nlohmann::json& patch) {
    std::lock_guard lock(mMutex);
    mLogin.merge_patch(patch);
}

void FakeRoomService::setLiveCreateAnswer(nlohmann::json answer) {
    std::lock_guard lock(mMutex);
    mLiveCreate = std::move(answer);
}

std::string FakeRoomService::liveId() const {
    std::lock_guard lock(mMutex);
    return mLiveCreate.value("/live/id"_json_pointer, std::string());
}

void FakeRoomService::setLiveCommerce(std::optional<long> value) {
    std::lock_guard lock(mMutex);
    mLiveCommerce = value;
}

void FakeRoomService::setInteractionToken(std::string token) {
    std::lock_guard lock(mMutex);
    mToken = std::move(token);
}

void FakeRoomService::setHttpDnsAnswer(const std::string& publishUrl, std::string body) {
    std::lock_guard lock(mMutex);
    mHttpDns[publishUrl] = std::move(body);
}

void FakeRoomService::overridePath(const std::string& path, FakeReply reply) {
    std::lock_guard lock(mMutex);
    mOverrides[path] = std::move(reply);
}

void FakeRoomService::clearOverride(const std::string& path) {
    std::lock_guard lock(mMutex);
    mOverrides.erase(path);
}

std::vector<std::string> FakeRoomService::paths() const {
    std::vector<std::string> out;
    for (auto& r : requests()) out.push_back(r.path);
    return out;
}

std::vector<RecordedRequest> FakeRoomService::requestsTo(const std::string& path) const {
    std::vector<RecordedRequest> out;
    for (auto& r : requests())
        if (r.path == path) out.push_back(r);
    return out;
}

std::string FakeRoomService::percentDecode(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size() && std::isxdigit(static_cast<unsigned char>(text[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(text[i + 2]))) {
            out.push_back(static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

std::string FakeRoomService::queryValue(const std::string& target, const std::string& name) {
    auto question = target.find('?');
    if (question == std::string::npos) return "";
    std::string query = target.substr(question + 1);
    for (std::size_t start = 0; start <= query.size();) {
        std::size_t end = query.find('&', start);
        if (end == std::string::npos) end = query.size();
        std::string pair = query.substr(start, end - start);
        auto eq = pair.find('=');
        if (pair.substr(0, eq) == name) return eq == std::string::npos ? "" : percentDecode(pair.substr(eq + 1));
        start = end + 1;
    }
    return "";
}

FakeReply FakeRoomService::answer(const RecordedRequest& request) {
    std::lock_guard lock(mMutex);
    if (auto it = mOverrides.find(request.path); it != mOverrides.end()) return it->second;
    const std::string& path = request.path;
    auto ok = [](const nlohmann::json& body) { return FakeReply{200, body.dump(), "application/json", {}}; };
    if (path == "/api/view/login/publisher") return ok(mLogin);
    if (path == "/api/live/create") return ok(mLiveCreate);
    if (path == "/api/live/start" || path == "/api/stream/publish" || path == "/api/live/stop")
        return ok({{"result", "OK"}});
    if (path.rfind("/api/record/", 0) == 0)
        return ok({{"result", "OK"}, {"operation", path.substr(12)}, {"liveid", queryValue(request.target, "liveid")}});
    if (path == "/live/data") {
        nlohmann::json settings = nlohmann::json::object();
        if (mLiveCommerce) settings["interaction"] = {{"liveCommerce", *mLiveCommerce}};
        return ok({{"data", {{"room", {{"settings", settings}}}}}});
    }
    if (path == "/live/interactive/token") return ok({{"success", true}, {"data", {{"token", mToken}}}});
    if (path == "/httpdns") {
        auto url = request.header("WS_URL").value_or("");
        auto it = mHttpDns.find(url);
        return FakeReply{200, it == mHttpDns.end() ? "" : it->second, "text/plain", {}};
    }
    return FakeReply{404, R"({"message":"no such path"})", "application/json", {}};
}

} // namespace zqtest
