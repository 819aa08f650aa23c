#include "tests/service/facade/FacadeFixture.h"

#include <cstdlib>

using nlohmann::json;

namespace zqtest {
namespace {

json errorJson(const std::optional<platform::Error>& error) {
    if (!error) return nullptr;
    return {{"domain", error->domain}, {"code", error->code}, {"description", error->localizedDescription}};
}

json optionalText(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

} // namespace

RecordingDelegate::RecordingDelegate() {
    auto& d = *delegate;
    d.requestLoginFailed = [this](auto& error, auto& reason) {
        record("requestLoginFailed", {errorJson(error), optionalText(reason)});
    };
    d.roomInfo = [this](const json& info) { record("roomInfo", {info}); };
    d.roomName = [this](auto& name) { record("roomName", {optionalText(name)}); };
    d.nodeListDic = [this](const json& list, std::int64_t best) { record("nodeListDic", {list, best}); };
    d.requestLoginSucceedWithViewerId = [this](auto& id) { record("requestLoginSucceedWithViewerId", {optionalText(id)}); };
    d.pushFailed = [this](auto& error, auto& reason) { record("pushFailed", {errorJson(error), optionalText(reason)}); };
    d.getLiveidBeforPush = [this](const std::string& id) { record("getLiveidBeforPush", {id}); };
    d.isConnectionNetWork = [this] { record("isConnectionNetWork", json::array()); };
    d.setConnectionStatus = [this](std::int64_t status) { record("setConnectionStatus", {status}); };
    d.connectedNetWorkFinished = [this] { record("connectedNetWorkFinished", json::array()); };
    d.stopPushSuccessful = [this] { record("stopPushSuccessful", json::array()); };
    d.room_user_count = [this](const std::string& p) { record("room_user_count", {p}); };
    d.on_chat_message = [this](const std::string& p) { record("on_chat_message", {p}); };
    d.on_private_chat = [this](const std::string& p) { record("on_private_chat", {p}); };
    d.customMessage = [this](const json& m) { record("customMessage", {m}); };
    d.receivePublisherId = [this](auto& id, auto& users) { record("receivePublisherId", {optionalText(id), json(users)}); };
    d.publishStream = [this] { record("publishStream", json::array()); };
    d.setMainSpeaker = [this](bool me) { record("setMainSpeaker", {me}); };
    d.endStream = [this] { record("endStream", json::array()); };
    d.kick_out = [this] { record("kick_out", json::array()); };
    d.onInteractionConfigure = [this](auto& model) { record("onInteractionConfigure", {model->isLiveStoreSwitch()}); };
}

std::vector<std::string> RecordingDelegate::ops() const {
    std::vector<std::string> out;
    for (auto& c : calls) out.push_back(c["op"]);
    return out;
}

std::vector<json> RecordingDelegate::callsOf(const std::string& op) const {
    std::vector<json> out;
    for (auto& c : calls)
        if (c["op"] == op) out.push_back(c);
    return out;
}

std::vector<json> RecordingDelegate::failureCodes(const std::string& op) const {
    std::vector<json> out;
    for (auto& c : callsOf(op)) out.push_back(c["args"][0].is_null() ? json(nullptr) : c["args"][0]["code"]);
    return out;
}

FacadeTest::FacadeTest() {
    setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    platform::SystemInfo::setHomeDirectory(home.path());
    QWServiceSettings::setViewHost(room.hostPort());
    QWServiceSettings::setLiveHost(room.hostPort());
    QWServiceSettings::setInteractionHost(room.hostPort());
    QWServiceSettings::setHTTPDNSURL(room.httpDnsURL());
    QWPushUtil::setScriptHostFactory([record = host] { return std::make_unique<RecordingScriptHost>(record); });
    QWPushUtil::setSessionMaker([this](auto audio, auto video, std::int64_t type) {
        auto session = ZQLiveSession::create(audio, video, type);
        auto made = parts.parts();
        made.makeVideoCapture = [this](auto) {
            cameras.push_back(std::make_shared<FakeVideoCapture>());
            return cameras.back();
        };
        ZQLiveSessionInternals::impl(*session).setParts(std::move(made));
        videoConfigurations.push_back(video);
        return session;
    });
    QWPushUtil::attempDealloc();
    util = QWPushUtil::sharedInstance();
    util->setDelegate(recorder.delegate);
    parameters.setUserId("user-1");
    parameters.setRoomId("room-1");
    parameters.setViewerName("Presenter");
    parameters.setToken("secret");
    parameters.setSecurity(false);
}

FacadeTest::~FacadeTest() {
    util.reset();
    QWPushUtil::attempDealloc();
    QWPushUtil::setScriptHostFactory(nullptr);
    QWPushUtil::setSessionMaker(nullptr);
    for (auto* setter : {&QWServiceSettings::setViewHost, &QWServiceSettings::setLiveHost,
                         &QWServiceSettings::setInteractionHost, &QWServiceSettings::setHTTPDNSURL})
        setter(std::nullopt);
    zqprobe::PingNetwork::setShared(nullptr);
    zqprobe::ReachabilityNetwork::setShared(nullptr);
    platform::SystemInfo::setHomeDirectory("");
    unsetenv("XDG_CONFIG_HOME");
}

bool FacadeTest::waitFor(const std::function<bool()>& done, double seconds) { return time.runUntil(done, seconds); }

FakeRoomService::Node FacadeTest::node(const std::string& desc, const std::string& address, double delay, int nodeId) {
    ping->setResolution(address, {socketAddress(address)});
    // Enough answers for every probe of several runs at once.
    ping->setHost(address, FakePingNetwork::Host{std::vector<std::optional<double>>(60, delay)});
    FakeRoomService::Node n;
    n.host = address;
    n.desc = desc;
    n.publishUrl = "rtmp://" + address + "/live/" + desc;
    n.token = "token-" + desc;
    n.nodeId = nodeId;
    return n;
}

void FacadeTest::startLogin(bool security) {
    parameters.setSecurity(security);
    util->loginWithParameters(parameters);
    time.advance(2.0);
    ASSERT_TRUE(waitFor([&] { return !recorder.callsOf("roomInfo").empty() || !recorder.callsOf("requestLoginFailed").empty(); }));
}

void FacadeTest::loginWith(const std::vector<FakeRoomService::Node>& nodes, bool security) {
    room.setNodes(nodes);
    startLogin(security);
    // One probe run per node, a second after the answer; each takes at most about four seconds.
    time.advance(6.0);
    ASSERT_EQ(recorder.callsOf("requestLoginSucceedWithViewerId").size(), nodes.size());
    recorder.clear();
}

void FacadeTest::startPublishing() {
    util->setVideoSize({360, 640}, 800, 30);
    util->startPreviewWithCameraFront(true, 1);
    const std::size_t sockets = parts.sockets.size();
    const std::size_t failures = recorder.callsOf("pushFailed").size();
    util->startPushWithCameraFront();
    ASSERT_TRUE(waitFor([&] { return parts.sockets.size() > sockets || recorder.callsOf("pushFailed").size() > failures; }));
    time.runMain();
}

void FacadeTest::report(ZQLiveState state) {
    socket().report(state);
    time.runMain();
}

void FacadeTest::reachPublishing() {
    startPublishing();
    ASSERT_FALSE(parts.sockets.empty());
    report(ZQLivePending);
    report(ZQLiveStart);
    ASSERT_TRUE(waitFor([&] { return util->timer() != nullptr || !recorder.callsOf("pushFailed").empty(); }));
    ASSERT_TRUE(util->timer()) << "the live start was not accepted";
}

} // namespace zqtest
