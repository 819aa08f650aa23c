// The facade's publish control: node measurement and the node list, starting to publish, connecting
// the session, the connection watch and the heartbeat on run-loop timers, pausing and stopping.
#include "ZQLiveKit/QWPushReachability.h"
#include "ZQPlatform/DispatchQueue.h"
#include "service/JsonValue.h"
#include "service/QWPushUtilInternal.h"
#include "service/RoomRequests.h"

using zqservice::stringMember;

namespace {

constexpr double kSpeedTestDelay = 1.0;
constexpr double kHTTPDNSWait = 2.0;
constexpr double kTimerPeriod = 3.0;
constexpr double kFirstConnectionLimit = 10.0;
constexpr double kReconnectionLimit = 300.0;
constexpr double kHeartbeatLimit = 300.0;
constexpr const char* kNotMeasured = "不测速";

bool valid(const std::shared_ptr<platform::Timer>& timer) { return timer && timer->isValid(); }

} // namespace

// --- Nodes ---

std::optional<nlohmann::json> QWPushUtil::spareNode() const {
    if (!mSparePublishUrls || mSparePublishUrls->empty()) return std::nullopt;
    return mSparePublishUrls->front();
}

std::optional<nlohmann::json> QWPushUtil::chosenNode() const {
    if (!mArrPublishUrls || mSmallIndex < 1 || mSmallIndex > static_cast<std::int64_t>(mArrPublishUrls->size()))
        return std::nullopt;
    const nlohmann::json& node = (*mArrPublishUrls)[static_cast<std::size_t>(mSmallIndex - 1)];
    if (!node.is_object()) return std::nullopt;
    return node;
}

namespace {
// An entry is the spare one when its "host" equals the spare node's.
bool isSpare(const nlohmann::json& entry, const std::optional<nlohmann::json>& spare) {
    if (!spare) return false;
    auto host = stringMember(entry, "host");
    return host && host == stringMember(*spare, "host");
}
} // namespace

void QWPushUtil::startNodeMeasurement() {
    bool queried = false;
    auto spare = spareNode();
    if (mArrPublishUrls) {
        const nlohmann::json nodes = *mArrPublishUrls; // answers rewrite the list later
        for (auto& entry : nodes) {
            if (isSpare(entry, spare)) continue;
            auto type = stringMember(entry, "httpDNSType");
            if (!type || type->empty()) continue;
            getIpByHost(stringMember(entry, "publishUrl").value_or(""));
            queried = true;
        }
    }
    if (!queried) {
        testSpeed();
        return;
    }
    std::weak_ptr<QWPushUtil> weak = weak_from_this();
    if (mHTTPDNSTimer) mHTTPDNSTimer->invalidate();
    mHTTPDNSTimer = platform::Timer::scheduled(kHTTPDNSWait, false, [weak](platform::Timer&) {
        if (auto self = weak.lock()) self->buildHTTPDNSNodeList();
    });
}

void QWPushUtil::buildHTTPDNSNodeList() {
    mHTTPDNSTimer.reset();
    // Answers that came in time have rewritten the list; later ones would renumber it under the
    // application's feet, so every query still running ends here.
    if (mHttpDNS.connection) mHttpDNS.connection->cancel();
    for (auto& connection : mHttpDNSConnections) connection->cancel();
    mHttpDNSConnections.clear();
    mHttpDNSBuffers.clear();
    mHttpDNS.clear();
    mSmallIndex = 0;
    mResultDict = nlohmann::json::object();
    auto spare = spareNode();
    if (mArrPublishUrls) {
        for (std::size_t i = 0; i < mArrPublishUrls->size(); ++i) {
            const nlohmann::json& entry = (*mArrPublishUrls)[i];
            auto desc = stringMember(entry, "desc");
            if (!desc || mResultDict.contains(*desc)) continue;
            mResultDict[*desc] = {{"time", isSpare(entry, spare) ? ZQPingManager::kGlobalNodeLabel : kNotMeasured},
                                  {"index", static_cast<std::int64_t>(i + 1)}};
        }
    }
    reportNodeList();
}

void QWPushUtil::testSpeed() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    mSmallIndex = 0;
    mInterval = 10000000;
    mResultDict = nlohmann::json::object();
    const std::size_t runs = mArrPublishUrls ? mArrPublishUrls->size() : 0;
    const std::uint64_t generation = mLoginGeneration;
    for (std::size_t i = 0; i < runs; ++i) {
        mDelayedSteps.push_back(platform::DispatchQueue::main()->after(kSpeedTestDelay, mSafety.safe([this, generation] {
            if (!mArrPublishUrls) return;
            std::weak_ptr<QWPushUtil> weak = weak_from_this();
            pingManager()->getFatestAddress(*mArrPublishUrls, [weak, generation](const std::optional<std::string>&,
                                                                                 const std::optional<nlohmann::json>& rows) {
                auto self = weak.lock();
                // A run of a login that has ended reports nothing.
                if (self && generation == self->mLoginGeneration) self->probeRunFinished(rows);
            });
        })));
    }
}

void QWPushUtil::probeRunFinished(const std::optional<nlohmann::json>& rows) {
    if (!mResultDict.is_object()) mResultDict = nlohmann::json::object();
    if (rows && rows->is_array() && mArrPublishUrls) {
        for (std::size_t i = 0; i < mArrPublishUrls->size(); ++i) {
            auto desc = stringMember((*mArrPublishUrls)[i], "desc");
            if (!desc) continue;
            for (auto& row : *rows) {
                if (stringMember(row, "host") != desc) continue;
                mResultDict[*desc] = {{"time", row.value("time", nlohmann::json())},
                                      {"index", static_cast<std::int64_t>(i + 1)}};
                if (zqservice::integerMember(row, "index") == 1) mSmallIndex = static_cast<std::int64_t>(i + 1);
            }
        }
    }
    reportNodeList();
}

void QWPushUtil::reportNodeList() {
    callDelegate(&QWPushUtilDelegate::roomName, mRoomName);
    callDelegate(&QWPushUtilDelegate::nodeListDic, mResultDict, mSmallIndex);
    callDelegate(&QWPushUtilDelegate::requestLoginSucceedWithViewerId, mViewerId);
}

// --- Starting and connecting ---

void QWPushUtil::startPushWithCameraFront() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    (void)hasPermissionOfCamera();
    if (!isReachable()) {
        reportPushFailed(1008);
        return;
    }
    // The live is created for a node and published there: without one nothing can be sent.
    if (!chosenNode()) {
        const std::size_t count = mArrPublishUrls ? mArrPublishUrls->size() : 0;
        reportPushFailed(1006, "no ingest node chosen (node " + std::to_string(mSmallIndex) + " of " +
                                   std::to_string(count) + "); choose one with setNodeIndex");
        return;
    }
    mIsPushActive = true;
    mIsPushStoped = false;
    mSeconds = 0;
    mConnectingTime = 0;
    mStopButtonClicked = false;
    callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{1});
    callDelegate(&QWPushUtilDelegate::isConnectionNetWork);
    addObserver_push();
    sendLiveCreate();
}

void QWPushUtil::RtmpInit() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mIsPushStoped || !isReachable()) {
        if (delegateImplements(&QWPushUtilDelegate::pushFailed)) {
            releaseSource();
            reportPushFailed(1008);
        }
        return;
    }
    callDelegate(&QWPushUtilDelegate::isConnectionNetWork);
    callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{1});
    makeEven(mSize);
    if (mFrameRate < 20 || mFrameRate > 30) mFrameRate = 25;
    mStream = std::make_shared<ZQLiveStreamInfo>();
    mStream->setUrl(mPublishUrl1);
    if (auto defaults = userDefaults()) defaults->setObject(mPublishUrl1 ? nlohmann::json(*mPublishUrl1) : nlohmann::json(), "url");
    if (mSession) mSession->startLive(mStream);
    if (!(mConnectingTime > 10)) mConnectingTime = now();
    if (!valid(mTimer) && !valid(mFirstPushTimer)) {
        std::weak_ptr<QWPushUtil> weak = weak_from_this();
        mFirstPushTimer = platform::Timer::scheduled(kTimerPeriod, true, [weak](platform::Timer&) {
            if (auto self = weak.lock()) self->checkRTMPLink();
        });
    }
}

// --- Session reports ---

void QWPushUtil::liveSessionLiveStateDidChange(ZQLiveSession& session, ZQLiveState state) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    // A session replaced by a new preview still reports its own stop; it speaks for nothing now.
    if (&session != mSession.get()) return;
    switch (state) {
    case ZQLiveReady: mVideoState = "ZQLiveReady---未连接"; break;
    case ZQLivePending:
        mVideoState = "ZQLivePending---连接中";
        mSessionState = 1;
        callDelegate(&QWPushUtilDelegate::isConnectionNetWork);
        callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{1});
        break;
    case ZQLiveStart:
        mVideoState = "ZQLiveStart---已连接";
        mIsError = false;
        mSessionState = 3;
        mConnectingTime = 0;
        if (mStopButtonClicked) {
            // The presenter asked to stop while this was connecting: stop instead of going live.
            stopRequestedWhileConnecting();
            break;
        }
        callDelegate(&QWPushUtilDelegate::connectedNetWorkFinished);
        callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{3});
        if (!mIsFirstPlay) {
            // Marked before the request: a live start that fails at once releases the run, and the
            // next run must send its own.
            mIsFirstPlay = true;
            stopFirstPushTimer();
            if (mOpenHostMode)
                livePublish();
            else
                liveStart();
        }
        break;
    case ZQLiveStop:
        mVideoState = "ZQLiveStop---未连接";
        stopPushInner();
        mStopButtonClicked = false;
        callDelegate(&QWPushUtilDelegate::stopPushSuccessful);
        break;
    case ZQLiveError:
        mVideoState = "ZQLiveError---连接错误";
        mSessionState = 5;
        callDelegate(&QWPushUtilDelegate::connectedNetWorkFinished);
        callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{5});
        if (mStopButtonClicked) stopRequestedWhileConnecting();
        break;
    default: break;
    }
    saveLog("流状态", mVideoState.value_or(""));
}

void QWPushUtil::stopRequestedWhileConnecting() {
    stopPushInner();
    mStopButtonClicked = false;
    clearPublishImage();
    callDelegate(&QWPushUtilDelegate::stopPushSuccessful);
}

void QWPushUtil::liveSessionErrorCode(ZQLiveSession& session, std::uint64_t errorCode) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (&session != mSession.get()) return;
    mIsError = true;
    saveLog("视频流socket错误", std::to_string(errorCode));
}

// --- Heartbeat and connection watch ---

void QWPushUtil::requestSucceedOnLiveCreate() {
    mSeconds = now();
    saveLog("第一次心跳请求成功", "requestSucceedOnLiveCreate");
    stopTimer();
    std::weak_ptr<QWPushUtil> weak = weak_from_this();
    mTimer = platform::Timer::scheduled(kTimerPeriod, true, [weak](platform::Timer&) {
        if (auto self = weak.lock()) self->sendPiLoop();
    });
}

void QWPushUtil::sendPiLoop() {
    if (now() - mSeconds >= kHeartbeatLimit) {
        saveLog("五分钟超时,停止发送socket", "sendPiLoop");
        stopPushInner();
        mIsPushStoped = true;
        callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{5});
        reportPushFailed(1003);
        return;
    }
    checkRTMPLink();
    // A run the watch has just given up sends no further heartbeat.
    if (mIsPushStoped) return;
    if (isReachable()) {
        if (!mIsError) mSeconds = now();
        socket_emit("pi", "");
    }
}

void QWPushUtil::checkRTMPLink() {
    if (mIsPushStoped) {
        releaseSource();
        return;
    }
    if (!mIsPushActive) return;
    if (mConnectingTime > 10) {
        const double elapsed = now() - mConnectingTime;
        if (elapsed >= kReconnectionLimit && !valid(mFirstPushTimer) && valid(mTimer)) {
            stopPushInner();
            mIsPushStoped = true;
            callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{5});
            saveLog("网络超时", "ERROR_NETWORK_TIMEOUT");
            reportPushFailed(1009);
            return;
        }
        if (elapsed >= kFirstConnectionLimit && valid(mFirstPushTimer) && !valid(mTimer)) {
            releaseSource();
            mIsPushStoped = true;
            saveLog("网络超时", "ERROR_NETWORK_TIMEOUT");
            callDelegate(&QWPushUtilDelegate::setConnectionStatus, std::int64_t{5});
            reportPushFailed(1009);
            return;
        }
    }
    if (mSessionState == 1 || mSessionState == 5) webRequest();
}

void QWPushUtil::webRequest() {
    const std::int64_t status = reachabilityStatus();
    if (status == 0) {
        saveLog("网络状态", "kReachableVia2G");
        return;
    }
    if (status < 1 || status > 5) return;
    // The entries name the statuses the way the original code's fall-through switch did.
    switch (status) {
    case 4: saveLog("网络状态", "kReachableVia3G"); [[fallthrough]];
    case 5:
        saveLog("网络状态", "kReachableVia4G");
        saveLog("网络状态", "ReachableViaWiFi");
        saveLog("网络状态", "ReachableViaWWAN");
        break;
    case 1: saveLog("网络状态", "ReachableViaWiFi"); [[fallthrough]];
    case 2: saveLog("网络状态", "ReachableViaWWAN"); break;
    default: break;
    }
    RtmpReconnect();
    saveLog("网络状态", "kReachableVia2G");
}

void QWPushUtil::RtmpReconnect() {
    if (mSession) {
        if (!(mConnectingTime > 10)) mConnectingTime = now();
        mSession->startLive(mStream);
        saveLog("重新推流", "startLive");
    } else {
        RtmpInit();
        saveLog("重置推流", "RtmpInit");
    }
}

void QWPushUtil::stopTimer() {
    if (valid(mTimer)) mTimer->invalidate();
    mTimer.reset();
}

void QWPushUtil::stopFirstPushTimer() {
    if (valid(mFirstPushTimer)) mFirstPushTimer->invalidate();
    mFirstPushTimer.reset();
}

void QWPushUtil::setPushActive(bool active) {
    if (mIsPushStoped) {
        releaseSource();
        return;
    }
    mIsPushActive = active;
    if (active) mConnectingTime = 0;
    const double fireDate = active ? platform::Timer::distantPast() : platform::Timer::distantFuture();
    if (valid(mTimer))
        mTimer->setFireDate(fireDate);
    else if (valid(mFirstPushTimer))
        mFirstPushTimer->setFireDate(fireDate);
}

// --- Stopping ---

void QWPushUtil::stopPush() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    mStopButtonClicked = true;
    if (mSessionState != 3 && mSessionState != 5) return;
    stopPushInner();
    mStopButtonClicked = false;
    clearPublishImage();
    callDelegate(&QWPushUtilDelegate::stopPushSuccessful);
}

void QWPushUtil::stopPushInner() {
    releaseSource();
    if (!mOpenHostMode) {
        if (mLiveid) {
            std::string url = zqservice::liveStopURL(liveHostBase(zqservice::kLiveStopPath), *mLiveid, mSecurity);
            startRequest(mLiveStop, kTagLiveStop, zqservice::roomRequest(url), "停止推流");
        } else {
            saveLog("停止推流", "no live to stop");
        }
    }
    mLiveid.reset();
    mPitId = -1;
    mFMicGain = -1.0f;
}

void QWPushUtil::releaseRtmpConnect() {
    if (mSession) {
        mSession->stopLive();
        mSession->setDelegate({});
        mSession.reset();
    }
    mIsFirstPlay = false;
    saveLog("销毁推流框架", "releaseRtmpConnect");
}
