#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/NSURLConnectionTagPush.h"
#include "ZQLiveKit/PushParameters.h"
#include "ZQLiveKit/QWPushUtilDelegate.h"
#include "ZQLiveKit/WebView.h"
#include "ZQLiveKit/ZQLiveDebug.h"
#include "ZQLiveKit/ZQLiveSession.h"
#include "ZQLiveKit/ZQLiveSessionDelegate.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQPingManager.h"
#include "ZQPlatform/Geometry.h"
#include "ZQPlatform/NotificationCenter.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/Task.h"
#include "ZQPlatform/URLSession.h"
#include "ZQPlatform/UserDefaults.h"

namespace zqmessaging {
class ScriptHost;
}

// The one object through which an application drives the kit: it logs the presenter into a room,
// measures the ingest nodes, previews, publishes with a connection watch and a heartbeat, controls
// the cloud recording, bridges the room's socket messages and fetches the interaction token. A
// process-wide singleton; everything it does, it reports to one weak delegate.
//
// Threading: the application calls it on the main queue (platform::DispatchQueue::main()), and every
// callback, timer, delayed step and answer it handles runs there; it takes no locks. Only
// sharedInstance() may be called from any thread.
//
// Names follow the original operations' first keywords (docs/naming.md). Fields read as the
// operations leave them; the setters exist so an application (or a test) can put the facade into a
// given state, and they do nothing else.
class ZQLIVEKIT_EXPORT QWPushUtil final : public ZQLiveSessionDelegate,
                                          public NSURLConnectionDataDelegate,
                                          public platform::NavigationDelegate,
                                          public platform::ScriptMessageHandler,
                                          public std::enable_shared_from_this<QWPushUtil> {
public:
    // Connection tags of the room-service requests.
    enum Tag : std::int64_t {
        kTagLogin = 1,
        kTagLiveCreate = 2,
        kTagLiveStart = 3,
        kTagLiveStop = 5,
        kTagHostModeLiveCreate = 6,
        kTagHTTPDNS = 7,
    };
    // The result of record control: success and the answer (or {"result": reason}).
    using RecordCompletion = std::function<void(bool success, const nlohmann::json& result)>;
    // getInteractionToken:token: callbacks.
    using TokenResult = std::function<void(bool success, const std::string& message)>;
    using TokenCallback = std::function<void(const std::string& token)>;
    using ScriptHostFactory = std::function<std::unique_ptr<zqmessaging::ScriptHost>()>;
    using SessionMaker = std::function<std::shared_ptr<ZQLiveSession>(std::shared_ptr<ZQLiveAudioConfiguration>,
                                                                      std::shared_ptr<ZQLiveVideoConfiguration>, std::int64_t)>;

    // Creates the instance on first call, exactly once even under concurrent first calls. Any thread.
    static std::shared_ptr<QWPushUtil> sharedInstance();
    // Drops the shared instance; the next sharedInstance() makes a new, zeroed one. Main queue (the
    // instance may go with it, and its web view belongs to the main queue).
    static void attempDealloc();

    ~QWPushUtil() override;
    QWPushUtil(const QWPushUtil&) = delete;
    QWPushUtil& operator=(const QWPushUtil&) = delete;

    // --- Login, logout and the room service ---
    void loginWithParameters(const PushParameters& parameters);
    void login(const std::string& baseURL);
    void logout();
    void getLiveData();
    void receiveLiveDataWithData(const std::string& data);
    void liveStart();
    void livePublish();
    void getIpByHost(const std::string& publishUrl);
    std::string dealWithSecurity(const std::string& url) const;
    std::string ChangeSocketHost(const std::optional<std::string>& host) const;
    void startRecordWithCompletion(RecordCompletion completion);
    void pauseRecordWithCompletion(RecordCompletion completion);
    void resumeRecordWithCompletion(RecordCompletion completion);
    void stopRecordWithCompletion(RecordCompletion completion);

    // --- Preview and devices ---
    void setVideoSize(platform::Size size, int bitRate, int frameRate);
    void startPreviewWithCameraFront(bool front, std::int64_t orientation);
    void stopPreview();
    void setCameraFront(bool front);
    void setTorch(bool on);
    void focuxAtPoint(double x, double y);
    void setMicGain(float gain);
    void setCameraBeautyFilterWithSmooth(float smooth, float white, float pink);
    // Stores the view the preview goes into (given to the session at the next preview start) and
    // its current transform (all zero for none).
    void setPreview(std::shared_ptr<platform::View> view);
    // While publishing (sessionState 3): the image, at 0.8 alpha in `rect` of the output picture,
    // becomes the session's watermark. Otherwise nothing.
    void addWaterMask(std::shared_ptr<platform::Image> image, platform::Rect rect);
    // While publishing: keeps the image and its size flag for the application.
    void publishImage(std::shared_ptr<platform::Image> image, bool isBig);
    void clearPublishImage();
    std::int64_t getMaxBitrate() const { return mMaxBitrate; }
    bool isLiveDataInit() const { return mLiveid.has_value(); }
    // Marketing name of the machine identifier (uname's machine field); unknown ones unchanged.
    std::string getCurrentDeviceModel() const;
    // uname's machine field.
    std::string getDeviceName() const;
    // The name for a machine identifier by the device table.
    static std::string deviceModelForMachine(const std::string& machine);
    // Camera access: true unless the host said otherwise (setCameraAuthorized).
    bool hasPermissionOfCamera() const { return mCameraAuthorized; }

    // --- Publish control ---
    void testSpeed();
    void setNodeIndex(std::int64_t index) { mSmallIndex = index; }
    void startPushWithCameraFront();
    void RtmpInit();
    void checkRTMPLink();
    void webRequest();
    void RtmpReconnect();
    void requestSucceedOnLiveCreate();
    void sendPiLoop();
    void stopTimer();
    void stopFirstPushTimer();
    void setPushActive(bool active);
    void stopPush();
    void stopPushInner();
    void releaseRtmpConnect();
    void releaseSource();
    void requestCancel();
    void liveSessionLiveStateDidChange(ZQLiveSession& session, ZQLiveState state) override;
    void liveSessionErrorCode(ZQLiveSession& session, std::uint64_t errorCode) override;

    // --- Application lifecycle (the host posts the notifications) ---
    void addObserver_push();
    void removeObserver_push();
    void appWillEnterBackgroundNotification();
    void appWillEnterForegroundNotification();
    void applicationDidBecomeActiveNotification();
    void applicationWillResignActiveNotification();
    void handleInterruption(const platform::Notification& notification);

    // --- Room messaging ---
    std::shared_ptr<platform::WebView> wkwebView();
    void commitWkWebView(const std::shared_ptr<platform::WebView>& webView, const std::string& script);
    void createSocketWithUrl(const std::string& url, const std::string& spareUri, const std::string& sessionid,
                             const std::string& platform, const std::string& terminal);
    void socket_emit(const std::string& event, const std::string& message);
    void roomUserCount();
    void roomContext();
    void chatMessage(const std::string& text);
    // False when the chat is dropped: no target, the target is this presenter, or either is missing
    // from the room context's online users.
    bool privateChatWithTouserid(const std::optional<std::string>& toUserId, const std::string& msg);
    void killSocket();
    void removeSocket_push();
    void socketReconnected(const nlohmann::json& ignored = nullptr);
    void socketIOWithTitle(const std::string& title, const std::string& message);
    void switch_stream(const std::string& payload);
    void room_user_count(const std::string& payload);
    void chat_message(const std::string& payload);
    void private_chat(const std::string& payload);
    void room_context(const std::string& payload);
    void custom_message(const std::string& payload);
    void publish_stream(const std::string& payload);
    void end_stream(const std::string& payload);
    void kick_out(const std::string& payload);
    void userContentControllerDidReceiveScriptMessage(platform::UserContentController& controller,
                                                      const platform::ScriptMessage& message) override;
    void webViewDidFinishNavigation(platform::WebView& webView) override;
    void webViewDidFailProvisionalNavigation(platform::WebView& webView, const platform::Error& error) override;
    void webViewWebContentProcessDidTerminate(platform::WebView& webView) override;

    // --- Interaction token ---
    void interactionEventWithDict(const std::optional<nlohmann::json>& dict);
    void getInteractionToken(TokenResult result, TokenCallback token);
    void receiveInteractionWithData(const std::optional<std::string>& data, const TokenResult& result,
                                    const TokenCallback& token);
    static std::optional<std::string> compactFormatDataForDictionary(const nlohmann::json& object);

    // --- Connection delegate ---
    void connectionDidReceiveResponse(NSURLConnectionTagPush& connection, const platform::HTTPURLResponse& response) override;
    void connectionDidReceiveData(NSURLConnectionTagPush& connection, const std::string& data) override;
    void connectionDidFinishLoading(NSURLConnectionTagPush& connection) override;
    void connectionDidFailWithError(NSURLConnectionTagPush& connection, const platform::Error& error) override;

    // --- Fields ---
    std::shared_ptr<QWPushUtilDelegate> delegate() const { return mDelegate.lock(); }
    void setDelegate(std::weak_ptr<QWPushUtilDelegate> delegate) { mDelegate = std::move(delegate); }

    const std::optional<std::string>& loginUserId() const { return mLoginUserId; }
    void setLoginUserId(std::optional<std::string> v) { mLoginUserId = std::move(v); }
    const std::optional<std::string>& loginRoomId() const { return mLoginRoomId; }
    void setLoginRoomId(std::optional<std::string> v) { mLoginRoomId = std::move(v); }
    const std::optional<std::string>& loginViewerName() const { return mLoginViewerName; }
    void setLoginViewerName(std::optional<std::string> v) { mLoginViewerName = std::move(v); }
    const std::optional<std::string>& loginViewerToken() const { return mLoginViewerToken; }
    void setLoginViewerToken(std::optional<std::string> v) { mLoginViewerToken = std::move(v); }
    bool security() const { return mSecurity; }
    void setSecurity(bool v) { mSecurity = v; }

    const std::optional<std::string>& viewerId() const { return mViewerId; }
    void setViewerId(std::optional<std::string> v) { mViewerId = std::move(v); }
    const std::optional<std::string>& key() const { return mKey; }
    void setKey(std::optional<std::string> v) { mKey = std::move(v); }
    const std::optional<std::string>& roomName() const { return mRoomName; }
    void setRoomName(std::optional<std::string> v) { mRoomName = std::move(v); }
    const std::optional<std::string>& socketHost() const { return mSocketHost; }
    void setSocketHost(std::optional<std::string> v) { mSocketHost = std::move(v); }
    const std::optional<std::string>& backupChatHost() const { return mBackupChatHost; }
    void setBackupChatHost(std::optional<std::string> v) { mBackupChatHost = std::move(v); }
    const std::optional<std::string>& nsp() const { return mNsp; }
    void setNsp(std::optional<std::string> v) { mNsp = std::move(v); }
    // Node entries (a null value when there is no array).
    nlohmann::json arrPublishUrls() const { return mArrPublishUrls ? *mArrPublishUrls : nlohmann::json(); }
    void setArrPublishUrls(nlohmann::json v);
    nlohmann::json sparePublishUrls() const { return mSparePublishUrls ? *mSparePublishUrls : nlohmann::json(); }
    void setSparePublishUrls(nlohmann::json v);
    // True in host mode after login: both fields are one array.
    bool publishUrlsShared() const { return mArrPublishUrls && mArrPublishUrls == mSparePublishUrls; }
    std::int64_t maxBitrate() const { return mMaxBitrate; }
    void setMaxBitrate(std::int64_t v) { mMaxBitrate = v; }
    std::int64_t module() const { return mModule; }
    void setModule(std::int64_t v) { mModule = v; }
    bool openHostMode() const { return mOpenHostMode; }
    void setOpenHostMode(bool v) { mOpenHostMode = v; }
    std::int64_t manuallyRecordMode() const { return mManuallyRecordMode; }
    void setManuallyRecordMode(std::int64_t v) { mManuallyRecordMode = v; }

    const std::optional<std::string>& liveid() const { return mLiveid; }
    void setLiveid(std::optional<std::string> v) { mLiveid = std::move(v); }
    const std::optional<std::string>& publishUrl1() const { return mPublishUrl1; }
    void setPublishUrl1(std::optional<std::string> v) { mPublishUrl1 = std::move(v); }
    const std::optional<std::string>& publishUrl() const { return mPublishUrl; }
    void setPublishUrl(std::optional<std::string> v) { mPublishUrl = std::move(v); }
    std::int64_t pitId() const { return mPitId; }
    void setPitId(std::int64_t v) { mPitId = v; }
    // The node list: desc -> {"time", "index"}; null until the first measurement.
    const nlohmann::json& resultDict() const { return mResultDict; }
    void setResultDict(nlohmann::json v) { mResultDict = std::move(v); }
    std::int64_t smallIndex() const { return mSmallIndex; }
    void setSmallIndex(std::int64_t v) { mSmallIndex = v; }
    double interval() const { return mInterval; }
    void setInterval(double v) { mInterval = v; }
    const std::shared_ptr<ZQLiveStreamInfo>& stream() const { return mStream; }
    void setStream(std::shared_ptr<ZQLiveStreamInfo> v) { mStream = std::move(v); }
    const std::shared_ptr<ZQLiveSession>& session() const { return mSession; }
    void setSession(std::shared_ptr<ZQLiveSession> v) { mSession = std::move(v); }
    // Created on first use.
    std::shared_ptr<ZQPingManager> pingManager();
    void setPingManager(std::shared_ptr<ZQPingManager> v) { mPingManager = std::move(v); }

    platform::Size size() const { return mSize; }
    void setSize(platform::Size v) { mSize = v; }
    std::int64_t bitRate() const { return mBitRate; }
    void setBitRate(std::int64_t v) { mBitRate = v; }
    std::int64_t frameRate() const { return mFrameRate; }
    void setFrameRate(std::int64_t v) { mFrameRate = v; }
    float fMicGain() const { return mFMicGain; }
    void setFMicGain(float v) { mFMicGain = v; }
    std::int64_t outputImageOrientation() const { return mOutputImageOrientation; }
    void setOutputImageOrientation(std::int64_t v) { mOutputImageOrientation = v; }
    bool isCameraFront() const { return mIsCameraFront; }
    void setIsCameraFront(bool v) { mIsCameraFront = v; }
    const std::shared_ptr<platform::View>& AllBackGroudView() const { return mAllBackGroudView; }
    void setAllBackGroudView(std::shared_ptr<platform::View> v) { mAllBackGroudView = std::move(v); }
    platform::AffineTransform transform() const { return mTransform; }
    void setTransform(platform::AffineTransform v) { mTransform = v; }

    std::int64_t sessionState() const { return mSessionState; }
    void setSessionState(std::int64_t v) { mSessionState = v; }
    const std::optional<std::string>& videoState() const { return mVideoState; }
    void setVideoState(std::optional<std::string> v) { mVideoState = std::move(v); }
    bool isPushActive() const { return mIsPushActive; }
    void setIsPushActive(bool v) { mIsPushActive = v; }
    bool isPushStoped() const { return mIsPushStoped; }
    void setIsPushStoped(bool v) { mIsPushStoped = v; }
    bool isFirstPlay() const { return mIsFirstPlay; }
    void setIsFirstPlay(bool v) { mIsFirstPlay = v; }
    bool isError() const { return mIsError; }
    void setIsError(bool v) { mIsError = v; }
    bool stopButtonClicked() const { return mStopButtonClicked; }
    void setStopButtonClicked(bool v) { mStopButtonClicked = v; }
    double seconds() const { return mSeconds; }
    void setSeconds(double v) { mSeconds = v; }
    double connectingTime() const { return mConnectingTime; }
    void setConnectingTime(double v) { mConnectingTime = v; }
    const std::shared_ptr<platform::Timer>& timer() const { return mTimer; }
    void setTimer(std::shared_ptr<platform::Timer> v) { mTimer = std::move(v); }
    const std::shared_ptr<platform::Timer>& firstPushTimer() const { return mFirstPushTimer; }
    void setFirstPushTimer(std::shared_ptr<platform::Timer> v) { mFirstPushTimer = std::move(v); }

    // HTTP bookkeeping, per request kind: the request, the receive buffer, the running connection.
    const std::optional<platform::URLRequest>& loginRequest() const { return mLogin.request; }
    const std::optional<std::string>& loginReceiveData() const { return mLogin.data; }
    const std::shared_ptr<NSURLConnectionTagPush>& loginURLCancel() const { return mLogin.connection; }
    const std::optional<platform::URLRequest>& liveRequest() const { return mLive.request; }
    const std::optional<std::string>& liveReceiveData() const { return mLive.data; }
    const std::shared_ptr<NSURLConnectionTagPush>& liveURLCancel() const { return mLive.connection; }
    const std::optional<platform::URLRequest>& liveRequest1() const { return mLive1.request; }
    const std::optional<std::string>& liveReceiveData1() const { return mLive1.data; }
    const std::shared_ptr<NSURLConnectionTagPush>& liveURLCancel1() const { return mLive1.connection; }
    const std::optional<platform::URLRequest>& liveStartRequest() const { return mLiveStart.request; }
    const std::optional<std::string>& liveStartReceiveData() const { return mLiveStart.data; }
    const std::shared_ptr<NSURLConnectionTagPush>& liveStartURLCancel() const { return mLiveStart.connection; }
    const std::optional<platform::URLRequest>& httpDNSRequest() const { return mHttpDNS.request; }
    // The buffer of the HTTP-DNS connection stored last (every query has its own).
    std::optional<std::string> httpDNSReceiveData() const;
    const std::shared_ptr<NSURLConnectionTagPush>& httpDNSURLCancel() const { return mHttpDNS.connection; }
    const std::optional<platform::URLRequest>& liveStopRequest() const { return mLiveStop.request; }
    const std::optional<std::string>& liveStopReceiveData() const { return mLiveStop.data; }
    const std::shared_ptr<NSURLConnectionTagPush>& liveStopURLCancel() const { return mLiveStop.connection; }

    const std::map<std::string, std::string>& onlineUsers() const { return mOnlineUsers; }
    void setOnlineUsers(std::map<std::string, std::string> v) { mOnlineUsers = std::move(v); }
    const nlohmann::json& whiteListArr() const { return mWhiteListArr; }
    void setWhiteListArr(nlohmann::json v) { mWhiteListArr = std::move(v); }
    const nlohmann::json& blackListArr() const { return mBlackListArr; }
    void setBlackListArr(nlohmann::json v) { mBlackListArr = std::move(v); }
    bool lastIsMe() const { return mLastIsMe; }
    void setLastIsMe(bool v) { mLastIsMe = v; }
    const std::optional<std::string>& interactionToken() const { return mInteractionToken; }
    void setInteractionToken(std::optional<std::string> v) { mInteractionToken = std::move(v); }
    std::int64_t liveStoreSwitch() const { return mLiveStoreSwitch; }
    void setLiveStoreSwitch(std::int64_t v) { mLiveStoreSwitch = v; }
    // The application group's shared defaults, created on first use (null when the group name is
    // not usable).
    std::shared_ptr<platform::UserDefaults> userDefaults();
    const std::shared_ptr<platform::Image>& isBigImage() const { return mIsBigImage; }
    void setIsBigImage(std::shared_ptr<platform::Image> v) { mIsBigImage = std::move(v); }
    bool isBig() const { return mIsBig; }
    void setIsBig(bool v) { mIsBig = v; }
    const std::shared_ptr<ZQLiveDebug>& debugInfo() const { return mDebugInfo; }
    void setDebugInfo(std::shared_ptr<ZQLiveDebug> v) { mDebugInfo = std::move(v); }
    const nlohmann::json& dict() const { return mDict; }
    void setDict(nlohmann::json v) { mDict = std::move(v); }

    // --- Host settings (no counterpart on the mobile platform) ---
    // The application group whose shared defaults receive "videoConfiguration" and "url"; letters,
    // digits, ".", "-", "_". False (and unchanged) for another name. Default "group.zqlivekit.push".
    static bool setApplicationGroup(const std::string& group);
    static std::string applicationGroup();
    // Camera access as the host's platform reports it (authorized by default).
    void setCameraAuthorized(bool authorized) { mCameraAuthorized = authorized; }
    // What runs the room's socket page (default: the kit's native host). For other hosts and tests.
    static void setScriptHostFactory(ScriptHostFactory factory);
    // How the live session is made (default: ZQLiveSession::create). For hosts that prepare their
    // own sessions, and tests.
    static void setSessionMaker(SessionMaker maker);

private:
    QWPushUtil();

    // One request kind's bookkeeping.
    struct Slot {
        std::optional<platform::URLRequest> request;
        std::optional<std::string> data;
        std::shared_ptr<NSURLConnectionTagPush> connection;
        void clear() {
            request.reset();
            data.reset();
            connection.reset();
        }
    };
    Slot* slotForTag(std::int64_t tag);

    void saveLog(const std::string& text, const std::string& action) const;
    // Calls one delegate operation if the delegate exists and implements it; true when it did.
    template <class F, class... Args>
    bool callDelegate(F QWPushUtilDelegate::*slot, Args&&... args);
    bool delegateImplements(auto QWPushUtilDelegate::*slot) const {
        auto d = mDelegate.lock();
        return d && static_cast<bool>((*d).*slot);
    }
    void loginFailed(std::optional<long> code, std::optional<std::string> reason);
    void reportPushFailed(long code, std::optional<std::string> reason = std::nullopt);
    void startRequest(Slot& slot, std::int64_t tag, platform::URLRequest request, const std::string& logText);
    bool isReachable() const;
    std::int64_t reachabilityStatus() const;
    double now() const;
    void handleLoginResponse(const std::string& data);
    std::optional<nlohmann::json> parseLiveCreateAnswer(const std::string& data);
    void handleLiveCreateResponse(const std::string& data, const nlohmann::json& node);
    void handleHostModeLiveCreateResponse(const std::string& data);
    void handleLiveStartResponse(const std::string& data);
    void handleHTTPDNSResponse(const std::string& data, const platform::URLRequest& request);
    void sendHostModeLiveCreate(std::int64_t tag);
    void sendFirstHeartbeat(const std::function<std::string()>& url);
    void sendLiveCreate();
    void startNodeMeasurement();
    void buildHTTPDNSNodeList();
    void probeRunFinished(const std::optional<nlohmann::json>& rows);
    void reportNodeList();
    std::optional<nlohmann::json> chosenNode() const;
    std::optional<nlohmann::json> spareNode() const;
    void makeEven(platform::Size& size) const;
    void recordControl(const char* path, const char* logText, const char* failureText, RecordCompletion completion);
    void cancelDelayedSteps();
    void stopRequestedWhileConnecting();
    void pauseAroundAudioSession();
    std::string liveHostBase(const char* path) const;
    std::string viewHostBase(const char* path) const;

    // Login credentials.
    std::optional<std::string> mLoginUserId;
    std::optional<std::string> mLoginRoomId;
    std::optional<std::string> mLoginViewerName;
    std::optional<std::string> mLoginViewerToken;
    bool mSecurity = false;
    // Room data.
    std::optional<std::string> mViewerId;
    std::optional<std::string> mKey;
    std::optional<std::string> mRoomName;
    std::optional<std::string> mSocketHost;
    std::optional<std::string> mBackupChatHost;
    std::optional<std::string> mNsp;
    std::shared_ptr<nlohmann::json> mArrPublishUrls;
    std::shared_ptr<nlohmann::json> mSparePublishUrls;
    std::int64_t mMaxBitrate = 0;
    std::int64_t mModule = 0;
    bool mOpenHostMode = false;
    std::int64_t mManuallyRecordMode = 0;
    // Live and node state.
    std::optional<std::string> mLiveid;
    std::optional<std::string> mPublishUrl1;
    std::optional<std::string> mPublishUrl;
    std::int64_t mPitId = 0;
    nlohmann::json mResultDict;
    std::int64_t mSmallIndex = 0;
    double mInterval = 0;
    std::shared_ptr<ZQLiveStreamInfo> mStream;
    std::shared_ptr<ZQLiveSession> mSession;
    std::shared_ptr<ZQPingManager> mPingManager;
    // Media settings.
    platform::Size mSize;
    std::int64_t mBitRate = 0;
    std::int64_t mFrameRate = 0;
    float mFMicGain = 0;
    std::int64_t mOutputImageOrientation = 0;
    bool mIsCameraFront = false;
    std::shared_ptr<platform::View> mAllBackGroudView;
    platform::AffineTransform mTransform{0, 0, 0, 0, 0, 0};
    // Publishing state.
    std::int64_t mSessionState = 0;
    std::optional<std::string> mVideoState;
    bool mIsPushActive = false;
    bool mIsPushStoped = false;
    bool mIsFirstPlay = false;
    bool mIsError = false;
    bool mStopButtonClicked = false;
    double mSeconds = 0;
    double mConnectingTime = 0;
    std::shared_ptr<platform::Timer> mTimer;
    std::shared_ptr<platform::Timer> mFirstPushTimer;
    std::shared_ptr<platform::Timer> mHTTPDNSTimer;
    // HTTP bookkeeping.
    Slot mLogin, mLive, mLive1, mLiveStart, mHttpDNS, mLiveStop;
    // Each HTTP-DNS query's own buffer, by connection.
    std::map<const NSURLConnectionTagPush*, std::string> mHttpDNSBuffers;
    std::vector<std::shared_ptr<NSURLConnectionTagPush>> mHttpDNSConnections;
    // The node a live create was sent for, by connection: its answer publishes there.
    std::map<const NSURLConnectionTagPush*, nlohmann::json> mLiveCreateNodes;
    // Messaging.
    std::shared_ptr<platform::WebView> mWkwebView;
    std::map<std::string, std::string> mOnlineUsers;
    nlohmann::json mWhiteListArr;
    nlohmann::json mBlackListArr;
    bool mLastIsMe = false;
    std::optional<std::string> mInteractionToken;
    std::int64_t mLiveStoreSwitch = 0;
    std::shared_ptr<platform::UserDefaults> mUserDefaults;
    std::shared_ptr<platform::Image> mIsBigImage;
    bool mIsBig = false;
    std::shared_ptr<ZQLiveDebug> mDebugInfo;
    nlohmann::json mDict;
    std::weak_ptr<QWPushUtilDelegate> mDelegate;
    bool mCameraAuthorized = true;
    // Lifecycle observers while publishing.
    std::vector<platform::NotificationCenter::Registration> mObservers;
    // Delayed steps of the current login (cancelled by logout and by the next login), and the login
    // they belong to: probe runs of an earlier login report nothing.
    std::vector<platform::DelayedTask> mDelayedSteps;
    std::uint64_t mLoginGeneration = 0;
    platform::TaskSafety mSafety;
};
