// The facade's room-service requests: login, live create, live data, live start and stream publish,
// live stop, HTTP-DNS and record control, with the tagged connections' delegate operations.
#include <sys/utsname.h>
#include "ZQLiveKit/PushErrorUtil.h"
#include "ZQLiveKit/QWPushReachability.h"
#include "ZQLiveKit/QWServiceSettings.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/JSONSerialization.h"
#include "ZQPlatform/SystemInfo.h"
#include "service/JsonValue.h"
#include "service/QWPushUtilInternal.h"
#include "service/RoomRequests.h"
#include "service/YQHTTPRequest.h"

using zqservice::integerMember;
using zqservice::member;
using zqservice::stringMember;

namespace {

constexpr double kLoginDelay = 2.0;
constexpr double kHostModeLiveCreateDelay = 1.0;

std::string systemName() {
    utsname name{};
    return uname(&name) == 0 ? std::string(name.sysname) : std::string("Linux");
}

// "result" present (as text) and not "FAIL".
bool accepted(const nlohmann::json& answer) {
    auto result = stringMember(answer, "result");
    return result && *result != "FAIL";
}

} // namespace

std::string QWPushUtil::viewHostBase(const char* path) const {
    return zqservice::serviceBase(QWServiceSettings::viewHost(), path);
}

std::string QWPushUtil::liveHostBase(const char* path) const {
    return zqservice::serviceBase(QWServiceSettings::liveHost(), path);
}

std::string QWPushUtil::dealWithSecurity(const std::string& url) const { return zqservice::dealWithSecurity(url, mSecurity); }

std::string QWPushUtil::ChangeSocketHost(const std::optional<std::string>& host) const {
    return zqservice::socketURL(host, mSecurity, mLoginRoomId.value_or(""));
}

std::int64_t QWPushUtil::reachabilityStatus() const {
    auto reachability = QWPushReachability::reachabilityForInternetConnection();
    return reachability ? reachability->currentReachabilityStatus() : 0;
}

bool QWPushUtil::isReachable() const { return reachabilityStatus() != 0; }

void QWPushUtil::loginFailed(std::optional<long> code, std::optional<std::string> reason) {
    if (!delegateImplements(&QWPushUtilDelegate::requestLoginFailed)) return;
    removeSocket_push();
    std::optional<platform::Error> error;
    if (code) error = PushErrorUtil::createAnErrorWithDesc(*code);
    callDelegate(&QWPushUtilDelegate::requestLoginFailed, error, reason);
}

void QWPushUtil::reportPushFailed(long code, std::optional<std::string> reason) {
    callDelegate(&QWPushUtilDelegate::pushFailed, std::optional<platform::Error>(PushErrorUtil::createAnErrorWithDesc(code)),
                 reason);
}

QWPushUtil::Slot* QWPushUtil::slotForTag(std::int64_t tag) {
    switch (tag) {
    case kTagLogin: return &mLogin;
    case kTagLiveCreate: return &mLive;
    case kTagLiveStart: return &mLiveStart;
    case kTagLiveStop: return &mLiveStop;
    case kTagHostModeLiveCreate: return &mLive1;
    case kTagHTTPDNS: return &mHttpDNS;
    default: return nullptr;
    }
}

void QWPushUtil::startRequest(Slot& slot, std::int64_t tag, platform::URLRequest request, const std::string& logText) {
    saveLog(logText, zqservice::maskForLog(request.url));
    slot.request = request;
    // A running connection of the same kind is not cancelled: it keeps reporting under its tag.
    slot.connection = NSURLConnectionTagPush::create(std::move(request),
                                                     std::weak_ptr<NSURLConnectionDataDelegate>(shared_from_this()), tag);
}

// --- Login ---

void QWPushUtil::loginWithParameters(const PushParameters& parameters) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    saveLog("开始登录", "loginWithParameters");
    // A delayed step of an earlier login must not run into this one.
    cancelDelayedSteps();
    if (!isReachable()) {
        loginFailed(1008, std::nullopt);
        return;
    }
    mSeconds = 0;
    mConnectingTime = 0;
    mPitId = -1;
    mIsPushActive = true;
    mFMicGain = -1.0f;
    mOpenHostMode = false;
    mSecurity = parameters.security();
    mLoginUserId = parameters.userId();
    mLoginRoomId = parameters.roomId();
    SaveLogUtil::sharedInstance().setRoomId(parameters.roomId());
    mLoginViewerName = parameters.viewerName();
    mLoginViewerToken = parameters.token();
    mDelayedSteps.push_back(platform::DispatchQueue::main()->after(
        kLoginDelay, mSafety.safe([this] { login(viewHostBase(zqservice::kLoginPath)); })));
}

void QWPushUtil::login(const std::string& baseURL) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    zqservice::LoginFields fields{mLoginUserId.value_or(""), mLoginRoomId.value_or(""), mLoginViewerName.value_or(""),
                                  mLoginViewerToken.value_or("")};
    std::string url = zqservice::loginURL(baseURL, fields, mSecurity);
    std::string userAgent = zqservice::loginUserAgent(getDeviceName(), systemName(), platform::SystemInfo::systemVersion());
    startRequest(mLogin, kTagLogin, zqservice::loginRequest(url, userAgent), "请求登录URL");
}

void QWPushUtil::handleLoginResponse(const std::string& data) {
    platform::Error error;
    auto parsed = platform::JSONSerialization::parse(data, &error);
    if (!parsed) {
        saveLog("请求登录错误", error.description());
        loginFailed(1006, std::nullopt);
        return;
    }
    const nlohmann::json& answer = *parsed;
    if (stringMember(answer, "result") != "OK" || !answer.is_object()) {
        if (delegateImplements(&QWPushUtilDelegate::requestLoginFailed)) removeSocket_push();
        auto errorMsg = stringMember(answer, "errorMsg");
        if (errorMsg == "密码错误")
            callDelegate(&QWPushUtilDelegate::requestLoginFailed,
                         std::optional<platform::Error>(PushErrorUtil::createAnErrorWithDesc(1001)),
                         std::optional<std::string>());
        else
            callDelegate(&QWPushUtilDelegate::requestLoginFailed, std::optional<platform::Error>(), errorMsg);
        return;
    }

    mOpenHostMode = zqservice::boolMember(answer, "openHostMode").value_or(false);
    mManuallyRecordMode = integerMember(answer, "manuallyRecordMode").value_or(0);
    mRoomName = stringMember(answer, "name");
    mSocketHost = ChangeSocketHost(stringMember(answer, "chatHost"));
    mBackupChatHost = ChangeSocketHost(stringMember(answer, "backupChatHost"));
    mNsp = "/" + mLoginRoomId.value_or("");
    const nlohmann::json empty;
    const nlohmann::json* live = member(answer, "live");
    auto publishUrls = zqservice::arrayMember(live ? *live : empty, "publishUrls");
    auto spareUrls = zqservice::arrayMember(live ? *live : empty, "sparePublishUrls");
    mArrPublishUrls = publishUrls ? std::make_shared<nlohmann::json>(std::move(*publishUrls)) : nullptr;
    mSparePublishUrls = spareUrls ? std::make_shared<nlohmann::json>(std::move(*spareUrls)) : nullptr;
    const nlohmann::json* user = member(answer, "user");
    mKey = stringMember(user ? *user : empty, "sessionId");
    mMaxBitrate = integerMember(answer, "bitrate").value_or(0);
    mViewerId = stringMember(user ? *user : empty, "id");
    mModule = integerMember(answer, "module").value_or(0);

    // The room information, as received, up to the first key that is missing.
    nlohmann::json roomInfo = nlohmann::json::object();
    for (const char* name : {"module", "manuallyRecordMode", "openHostMode", "liveDuration"}) {
        const nlohmann::json* value = member(answer, name);
        if (!value || value->is_null()) break;
        roomInfo[name] = *value;
    }
    callDelegate(&QWPushUtilDelegate::roomInfo, roomInfo);

    // The spare node is measured like the others.
    if (mSparePublishUrls && !mSparePublishUrls->empty() && mArrPublishUrls)
        mArrPublishUrls->push_back(mSparePublishUrls->front());

    if (mOpenHostMode) {
        mSparePublishUrls = mArrPublishUrls;
        mDelayedSteps.push_back(platform::DispatchQueue::main()->after(
            kHostModeLiveCreateDelay, mSafety.safe([this] { sendHostModeLiveCreate(kTagHostModeLiveCreate); })));
    }

    if (mSocketHost && mNsp && mKey) {
        startNodeMeasurement();
        wkwebView()->addToMainWindow();
    } else {
        loginFailed(1006, std::nullopt);
    }
}

// --- Live create ---

void QWPushUtil::sendHostModeLiveCreate(std::int64_t tag) {
    std::string url = zqservice::hostModeLiveCreateURL(liveHostBase(zqservice::kLiveCreatePath), mLoginUserId.value_or(""),
                                                       mLoginRoomId.value_or(""), mViewerId.value_or(""), mSecurity);
    startRequest(tag == kTagHostModeLiveCreate ? mLive1 : mLive, tag, zqservice::roomRequest(url), "获取liveid");
}

void QWPushUtil::sendLiveCreate() {
    auto node = chosenNode();
    if (!node) return;
    if (mOpenHostMode) {
        sendHostModeLiveCreate(kTagLiveCreate);
    } else {
        auto description = zqservice::deviceDescription(getCurrentDeviceModel(), platform::SystemInfo::systemVersion(),
                                                        mSize, mBitRate, mFrameRate);
        std::string url = zqservice::liveCreateURL(liveHostBase(zqservice::kLiveCreatePath), description,
                                                   mLoginUserId.value_or(""), mLoginRoomId.value_or(""),
                                                   integerMember(*node, "nodeId").value_or(0), mSecurity);
        startRequest(mLive, kTagLiveCreate, zqservice::roomRequest(url), "获取liveid");
    }
    // The answer publishes to the node chosen now, whatever a probe run chooses meanwhile.
    mLiveCreateNodes[mLive.connection.get()] = *node;
}

// A live create's answer as JSON; an unreadable one is logged and reported as 1006.
std::optional<nlohmann::json> QWPushUtil::parseLiveCreateAnswer(const std::string& data) {
    platform::Error error;
    auto parsed = platform::JSONSerialization::parse(data, &error);
    if (!parsed) {
        saveLog("获取liveid 错误", error.description());
        reportPushFailed(1006);
    }
    return parsed;
}

void QWPushUtil::handleHostModeLiveCreateResponse(const std::string& data) {
    auto parsed = parseLiveCreateAnswer(data);
    if (!parsed) return;
    if (accepted(*parsed)) return;
    reportPushFailed(1007, stringMember(*parsed, "reason"));
}

void QWPushUtil::handleLiveCreateResponse(const std::string& data, const nlohmann::json& node) {
    auto parsed = parseLiveCreateAnswer(data);
    if (!parsed) return;
    const nlohmann::json& answer = *parsed;
    if (!accepted(answer) || !answer.is_object()) {
        reportPushFailed(1007, stringMember(answer, "reason"));
        return;
    }
    getLiveData();
    const nlohmann::json empty;
    const nlohmann::json* live = member(answer, "live");
    mLiveid = stringMember(live ? *live : empty, "id");
    auto nodeUrl = stringMember(node, "publishUrl");
    if (!mLiveid || !nodeUrl) {
        // Nothing to publish to: never a URL made of missing values.
        mPublishUrl1.reset();
        reportPushFailed(1006, !mLiveid ? "the live create answer has no live id"
                                        : "the chosen node has no publish URL");
        return;
    }
    std::string token = stringMember(node, "token").value_or("");
    mPublishUrl1 = *nodeUrl + "?token=" + token + "&liveid=" + *mLiveid;
    if (mOpenHostMode) {
        std::int64_t pit = integerMember(live ? *live : empty, "pitId").value_or(0);
        // The same seat as the current one: nothing more to do.
        if (mPitId != -1 && mPitId == pit) return;
        mPitId = pit;
        mPublishUrl1 = *nodeUrl + "_" + std::to_string(pit) + "?token=" + token + "&liveid=" + *mLiveid;
    }
    callDelegate(&QWPushUtilDelegate::getLiveidBeforPush, *mLiveid);
    RtmpInit();
}

// --- Live data ---

void QWPushUtil::getLiveData() {
    auto request = zqservice::liveDataRequest(viewHostBase(zqservice::kLiveDataPath), mLoginUserId.value_or(""),
                                              mLoginRoomId.value_or(""), mKey.value_or(""), mSecurity);
    std::weak_ptr<QWPushUtil> weak = weak_from_this();
    auto task = platform::URLSession::shared()->dataTask(
        request, [weak](const std::optional<platform::Error>& error, const std::optional<platform::HTTPURLResponse>& response,
                        const std::optional<std::string>& data) {
            if (error || !response || !data) return;
            if (response->statusCode != 200) {
                // The service's "message" is read for the record; it changes nothing.
                (void)stringMember(platform::JSONSerialization::parse(*data).value_or(nlohmann::json()), "message");
                return;
            }
            // The facade's state belongs to the main queue.
            platform::DispatchQueue::main()->async([weak, body = *data] {
                if (auto self = weak.lock()) self->receiveLiveDataWithData(body);
            });
        });
    task->resume();
}

void QWPushUtil::receiveLiveDataWithData(const std::string& data) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto parsed = platform::JSONSerialization::parse(data);
    if (!parsed) return;
    const nlohmann::json* body = member(*parsed, "data");
    const nlohmann::json* room = body ? member(*body, "room") : nullptr;
    const nlohmann::json* settings = room ? member(*room, "settings") : nullptr;
    if (!settings) return;
    const nlohmann::json* interaction = member(*settings, "interaction");
    interactionEventWithDict(interaction && interaction->is_object() ? std::optional<nlohmann::json>(*interaction)
                                                                     : std::nullopt);
}

// --- Live start, stream publish, live stop ---

void QWPushUtil::liveStart() {
    sendFirstHeartbeat([this] {
        return zqservice::liveStartURL(liveHostBase(zqservice::kLiveStartPath), mLiveid.value_or(""),
                                       mManuallyRecordMode != 1, mSecurity);
    });
}

void QWPushUtil::livePublish() {
    sendFirstHeartbeat([this] {
        return zqservice::streamPublishURL(liveHostBase(zqservice::kStreamPublishPath), mLoginRoomId.value_or(""),
                                           mLoginUserId.value_or(""), mPitId, mSecurity);
    });
}

// The live start and the stream publish: both announce the stream and start the heartbeat.
void QWPushUtil::sendFirstHeartbeat(const std::function<std::string()>& url) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (!isReachable()) {
        releaseSource();
        reportPushFailed(1008);
        return;
    }
    startRequest(mLiveStart, kTagLiveStart, zqservice::roomRequest(url()), "发送第一次心跳");
}

void QWPushUtil::handleLiveStartResponse(const std::string& data) {
    platform::Error error;
    auto parsed = platform::JSONSerialization::parse(data, &error);
    if (!parsed) {
        saveLog("获取第一次心跳live/start 错误", error.description());
        releaseSource();
        reportPushFailed(1002);
        return;
    }
    if (accepted(*parsed)) {
        requestSucceedOnLiveCreate();
        return;
    }
    saveLog("获取第一次心跳live/start 错误", "success == nil || [success isEqualToString:FAIL]");
    releaseSource();
    reportPushFailed(1002);
}

// --- HTTP-DNS ---

void QWPushUtil::getIpByHost(const std::string& publishUrl) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto request = zqservice::httpDNSRequest(QWServiceSettings::httpDNSURL(), publishUrl);
    mHttpDNS.request = request;
    mHttpDNS.connection = NSURLConnectionTagPush::create(
        std::move(request), std::weak_ptr<NSURLConnectionDataDelegate>(shared_from_this()), kTagHTTPDNS);
    mHttpDNSConnections.push_back(mHttpDNS.connection);
}

std::optional<std::string> QWPushUtil::httpDNSReceiveData() const {
    if (!mHttpDNS.connection) return std::nullopt;
    auto it = mHttpDNSBuffers.find(mHttpDNS.connection.get());
    if (it == mHttpDNSBuffers.end()) return std::nullopt;
    return it->second;
}

void QWPushUtil::handleHTTPDNSResponse(const std::string& data, const platform::URLRequest& request) {
    // An answer that is not text leaves the node as it is.
    if (!zqservice::isValidUTF8(data) || !mArrPublishUrls) return;
    std::vector<std::string> lines;
    for (std::size_t start = 0;;) {
        std::size_t end = data.find('\n', start);
        lines.push_back(data.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    auto asked = request.header("WS_URL");
    auto& nodes = *mArrPublishUrls;
    for (std::size_t p = 0; p < nodes.size(); ++p) {
        if (!asked || stringMember(nodes[p], "publishUrl") != asked) continue;
        nlohmann::json entry = nodes[p];
        std::string desc = stringMember(entry, "desc").value_or("");
        nodes.erase(nodes.begin() + static_cast<std::ptrdiff_t>(p));
        for (std::size_t i = 0; i < 2 && i < lines.size(); ++i) {
            nlohmann::json copy = entry;
            copy["publishUrl"] = lines[i];
            copy["desc"] = desc + std::to_string(i + 1);
            nodes.insert(nodes.begin() + static_cast<std::ptrdiff_t>(p + i), std::move(copy));
        }
        return;
    }
}

// --- Record control ---

void QWPushUtil::recordControl(const char* path, const char* logText, const char* failureText, RecordCompletion completion) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    auto finish = [completion](bool success, const nlohmann::json& result) {
        if (completion) completion(success, result);
    };
    if (mManuallyRecordMode == 0) return finish(false, {{"result", "房间为自动录制"}});
    if (mSessionState != 3) return finish(false, {{"result", "未开始推流"}});
    // After a stop the state still reads 3 but the live is gone: there is nothing to record.
    if (!mLiveid) {
        saveLog(logText, "no live");
        return finish(false, {{"result", failureText}});
    }
    auto request = YQHTTPRequest::requestWithURLString(zqservice::recordURL(liveHostBase(path), *mLiveid, mSecurity));
    request->startAsynchronous();
    std::string log = logText;
    std::string failure = failureText;
    request->setFinishLoadingBlock([finish, log, failure](const platform::HTTPURLResponse& response, const std::string& body) {
        auto fail = [&](const std::string& why) {
            SaveLogUtil::sharedInstance().saveLog(log, why);
            finish(false, {{"result", failure}});
        };
        platform::Error error;
        auto parsed = platform::JSONSerialization::parse(body, &error);
        if (response.statusCode < 200 || response.statusCode > 299)
            return fail("HTTP status " + std::to_string(response.statusCode));
        if (!parsed) return fail(error.description());
        if (!parsed->is_object()) return fail("the answer is not a JSON object");
        finish(true, *parsed);
    });
    request->setErrorBlock([finish, log, failure](const platform::Error& error) {
        SaveLogUtil::sharedInstance().saveLog(log, error.description());
        finish(false, {{"result", failure}});
    });
}

void QWPushUtil::startRecordWithCompletion(RecordCompletion completion) {
    recordControl("/api/record/start", "开始录制接口返回错误", "开始录制失败,请重试", std::move(completion));
}

void QWPushUtil::pauseRecordWithCompletion(RecordCompletion completion) {
    recordControl("/api/record/pause", "暂停录制接口返回错误", "暂停录制失败,请重试", std::move(completion));
}

void QWPushUtil::resumeRecordWithCompletion(RecordCompletion completion) {
    recordControl("/api/record/resume", "继续录制接口返回错误", "继续录制失败,请重试", std::move(completion));
}

void QWPushUtil::stopRecordWithCompletion(RecordCompletion completion) {
    recordControl("/api/record/stop", "停止录制接口返回错误", "停止录制失败,请重试", std::move(completion));
}

// --- Connection delegate ---

void QWPushUtil::connectionDidReceiveResponse(NSURLConnectionTagPush& connection, const platform::HTTPURLResponse&) {
    if (connection.tag() == kTagHTTPDNS) {
        mHttpDNSBuffers[&connection] = std::string();
        return;
    }
    if (Slot* slot = slotForTag(connection.tag())) slot->data = std::string();
}

void QWPushUtil::connectionDidReceiveData(NSURLConnectionTagPush& connection, const std::string& data) {
    if (connection.tag() == kTagHTTPDNS) {
        auto it = mHttpDNSBuffers.find(&connection);
        if (it != mHttpDNSBuffers.end()) it->second += data;
        return;
    }
    Slot* slot = slotForTag(connection.tag());
    if (slot && slot->data) *slot->data += data;
}

void QWPushUtil::connectionDidFinishLoading(NSURLConnectionTagPush& connection) {
    const std::int64_t tag = connection.tag();
    if (tag == kTagHTTPDNS) {
        auto it = mHttpDNSBuffers.find(&connection);
        std::erase_if(mHttpDNSConnections, [&](const auto& c) { return c.get() == &connection; });
        if (it == mHttpDNSBuffers.end()) return;
        std::string data = std::move(it->second);
        mHttpDNSBuffers.erase(it);
        handleHTTPDNSResponse(data, connection.currentRequest());
        return;
    }
    Slot* slot = slotForTag(tag);
    if (!slot || !slot->data) return;
    std::string data = *slot->data;
    switch (tag) {
    case kTagLogin: handleLoginResponse(data); break;
    case kTagLiveCreate: {
        auto node = mLiveCreateNodes.extract(&connection);
        if (node.empty()) {
            reportPushFailed(1006, "the live create answer belongs to no chosen node");
            break;
        }
        handleLiveCreateResponse(data, node.mapped());
        break;
    }
    case kTagLiveStart: handleLiveStartResponse(data); break;
    case kTagHostModeLiveCreate: handleHostModeLiveCreateResponse(data); break;
    default: break; // the live stop's answer is not read
    }
}

void QWPushUtil::connectionDidFailWithError(NSURLConnectionTagPush& connection, const platform::Error& error) {
    saveLog("请求数据失败", error.description());
    switch (connection.tag()) {
    case kTagLogin: loginFailed(1009, std::nullopt); break;
    case kTagLiveCreate:
        mLiveCreateNodes.erase(&connection);
        reportPushFailed(1009);
        break;
    case kTagLiveStart:
        if (delegateImplements(&QWPushUtilDelegate::pushFailed)) {
            releaseSource();
            reportPushFailed(1009);
        }
        break;
    case kTagHTTPDNS:
        mHttpDNSBuffers.erase(&connection);
        std::erase_if(mHttpDNSConnections, [&](const auto& c) { return c.get() == &connection; });
        break;
    default: break;
    }
}
