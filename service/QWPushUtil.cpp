// The facade itself: the singleton, preview and devices, the device table, the lifecycle observers,
// the shared defaults and teardown. The room service, publish control, messaging and interaction
// code live in the QWPushUtil*.cpp files beside it.
#include "ZQLiveKit/QWPushUtil.h"

#include <cstdio>
#include <sys/utsname.h>
#include <utility>
#include "ZQLiveKit/AudioSession.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Format.h"
#include "service/QWPushUtilInternal.h"

namespace {

std::mutex gInstanceMutex;
std::shared_ptr<QWPushUtil>& instanceSlot() {
    static auto* slot = new std::shared_ptr<QWPushUtil>();
    return *slot;
}

std::mutex gHostMutex;
std::string gApplicationGroup = "group.zqlivekit.push";     // guarded by gHostMutex
QWPushUtil::SessionMaker gSessionMaker;                    // guarded by gHostMutex

struct DeviceName {
    const char* machine;
    const char* name;
};
constexpr DeviceName kDeviceTable[] = {
    {"iPhone1,1", "iPhone2G"},      {"iPhone1,2", "iPhone3G"},       {"iPhone2,1", "iPhone3GS"},
    {"iPhone3,1", "iPhone4"},       {"iPhone3,2", "iPhone4"},        {"iPhone3,3", "iPhone4"},
    {"iPhone4,1", "iPhone4S"},      {"iPhone5,1", "iPhone5"},        {"iPhone5,2", "iPhone5"},
    {"iPhone5,3", "iPhone5c"},      {"iPhone5,4", "iPhone5c"},       {"iPhone6,1", "iPhone5s"},
    {"iPhone6,2", "iPhone5s"},      {"iPhone7,2", "iPhone6"},        {"iPhone7,1", "iPhone6Plus"},
    {"iPhone8,1", "iPhone6s"},      {"iPhone8,2", "iPhone6sPlus"},   {"iPhone8,3", "iPhoneSE"},
    {"iPhone8,4", "iPhoneSE"},      {"iPhone9,1", "iPhone7"},        {"iPhone9,2", "iPhone7Plus"},
    {"iPhone10,1", "iPhone 8"},     {"iPhone10,4", "iPhone 8"},      {"iPhone10,2", "iPhone 8 Plus"},
    {"iPhone10,5", "iPhone 8 Plus"}, {"iPhone10,3", "iPhone X"},     {"iPhone10,6", "iPhone X"},
    {"iPhone11,8", "iPhone XR"},    {"iPhone11,2", "iPhone XS"},     {"iPhone11,4", "iPhone XS Max"},
    {"iPhone11,6", "iPhone XS Max"}, {"iPod1,1", "iPodTouch"},       {"iPod2,1", "iPodTouch2G"},
    {"iPod3,1", "iPodTouch3G"},     {"iPod4,1", "iPodTouch4G"},      {"iPod5,1", "iPodTouch5G"},
    {"iPod7,1", "iPodTouch6G"},     {"iPad1,1", "iPad"},             {"iPad2,1", "iPad2"},
    {"iPad2,2", "iPad2"},           {"iPad2,3", "iPad2"},            {"iPad2,4", "iPad2"},
    {"iPad3,1", "iPad3"},           {"iPad3,2", "iPad3"},            {"iPad3,3", "iPad3"},
    {"iPad3,4", "iPad4"},           {"iPad3,5", "iPad4"},            {"iPad3,6", "iPad4"},
    {"iPad4,1", "iPadAir"},         {"iPad4,2", "iPadAir"},          {"iPad4,3", "iPadAir"},
    {"iPad5,3", "iPadAir2"},        {"iPad5,4", "iPadAir2"},         {"iPad2,5", "iPadmini1G"},
    {"iPad2,6", "iPadmini1G"},      {"iPad2,7", "iPadmini1G"},       {"iPad4,4", "iPadmini2"},
    {"iPad4,5", "iPadmini2"},       {"iPad4,6", "iPadmini2"},        {"iPad4,7", "iPadmini3"},
    {"iPad4,8", "iPadmini3"},       {"iPad4,9", "iPadmini3"},        {"iPad5,1", "iPadmini4"},
    {"iPad5,2", "iPadmini4"},       {"i386", "iPhoneSimulator"},     {"x86_64", "iPhoneSimulator"},
};

} // namespace

// --- Singleton ---

QWPushUtil::QWPushUtil() = default;

QWPushUtil::~QWPushUtil() {
    // Timers and delayed steps hold the facade weakly; stop them so nothing fires for a facade that
    // is gone. Connections report to it weakly and end on their own time-outs.
    if (mTimer) mTimer->invalidate();
    if (mFirstPushTimer) mFirstPushTimer->invalidate();
    if (mHTTPDNSTimer) mHTTPDNSTimer->invalidate();
    for (auto& step : mDelayedSteps) step.cancel();
    if (mSession) mSession->setDelegate({});
}

std::shared_ptr<QWPushUtil> QWPushUtil::sharedInstance() {
    std::lock_guard lock(gInstanceMutex);
    auto& slot = instanceSlot();
    if (!slot) slot = std::shared_ptr<QWPushUtil>(new QWPushUtil());
    return slot;
}

void QWPushUtil::attempDealloc() {
    std::shared_ptr<QWPushUtil> old;
    {
        std::lock_guard lock(gInstanceMutex);
        old = std::move(instanceSlot());
        instanceSlot() = nullptr;
    }
    // `old` (and, unless someone still holds it, the facade) goes here, outside the lock.
}

bool QWPushUtil::setApplicationGroup(const std::string& group) {
    if (!platform::UserDefaults::isValidSuiteName(group)) return false;
    std::lock_guard lock(gHostMutex);
    gApplicationGroup = group;
    return true;
}

std::string QWPushUtil::applicationGroup() {
    std::lock_guard lock(gHostMutex);
    return gApplicationGroup;
}

void QWPushUtil::setSessionMaker(SessionMaker maker) {
    std::lock_guard lock(gHostMutex);
    gSessionMaker = std::move(maker);
}

void QWPushUtil::saveLog(const std::string& text, const std::string& action) const {
    SaveLogUtil::sharedInstance().saveLog(text, action);
}

double QWPushUtil::now() const { return platform::wallTime(); }

std::shared_ptr<ZQPingManager> QWPushUtil::pingManager() {
    if (!mPingManager) mPingManager = std::make_shared<ZQPingManager>();
    return mPingManager;
}

std::shared_ptr<platform::UserDefaults> QWPushUtil::userDefaults() {
    if (!mUserDefaults) mUserDefaults = platform::UserDefaults::create(applicationGroup());
    return mUserDefaults;
}

void QWPushUtil::setArrPublishUrls(nlohmann::json v) {
    mArrPublishUrls = v.is_null() ? nullptr : std::make_shared<nlohmann::json>(std::move(v));
}

void QWPushUtil::setSparePublishUrls(nlohmann::json v) {
    mSparePublishUrls = v.is_null() ? nullptr : std::make_shared<nlohmann::json>(std::move(v));
}

// --- Preview and devices ---

void QWPushUtil::setVideoSize(platform::Size size, int bitRate, int frameRate) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    saveLog(platform::stringWithFormat("videoSize=%s BitRate=%d FrameRate=%d", size.toString().c_str(), bitRate, frameRate),
            "修改视频大小");
    mSize = size;
    mBitRate = bitRate;
    mFrameRate = frameRate;
}

void QWPushUtil::makeEven(platform::Size& size) const {
    // The truncated side decides; a fractional side keeps its fraction (641.5 becomes 642.5).
    if (static_cast<long long>(size.width) % 2 == 1) size.width += 1;
    if (static_cast<long long>(size.height) % 2 == 1) size.height += 1;
}

void QWPushUtil::startPreviewWithCameraFront(bool front, std::int64_t orientation) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mSession) {
        mSession->stopLive();
        mSession.reset();
    }
    std::int64_t bitRate = mBitRate < 100 ? 102400 : mBitRate > mMaxBitrate ? mMaxBitrate * 1024 : mBitRate * 1024;
    makeEven(mSize);
    mFrameRate = 30;
    const bool landscape = orientation == 3 || orientation == 4;
    if ((landscape && !(mSize.width > mSize.height)) || (!landscape && !(mSize.width < mSize.height)))
        mSize = {mSize.height, mSize.width};
    mOutputImageOrientation = orientation;

    auto video = std::make_shared<ZQLiveVideoConfiguration>();
    video->setVideoSize(mSize);
    video->setVideoBitRate(static_cast<std::uint32_t>(bitRate));
    video->setVideoMaxBitRate(static_cast<std::uint64_t>(mMaxBitrate * 1024));
    video->setVideoMinBitRate(102400);
    video->setVideoFrameRate(static_cast<std::uint64_t>(mFrameRate));
    video->setVideoMaxKeyframeInterval(static_cast<std::uint64_t>(mFrameRate));
    video->setOutputImageOrientation(orientation);
    video->setAutorotate(false);
    video->setSessionPreset(ZQVideoPreset720);

    SessionMaker maker;
    {
        std::lock_guard lock(gHostMutex);
        maker = gSessionMaker;
    }
    auto audio = ZQLiveAudioConfiguration::defaultConfiguration();
    mSession = maker ? maker(audio, video, ZQLiveCaptureAudio | ZQLiveCaptureVideo)
                     : ZQLiveSession::create(audio, video, ZQLiveCaptureAudio | ZQLiveCaptureVideo);
    if (mSession) {
        mSession->setDelegate(std::weak_ptr<ZQLiveSessionDelegate>(shared_from_this()));
        mSession->setPreView(mAllBackGroudView);
        mSession->setCaptureDevicePosition(front ? 2 : 1);
        mSession->setRunning(true);
    }
    saveLog("开启预览视频大小", mSize.toString());

    if (auto defaults = userDefaults()) {
        defaults->setObject({{"sizeWidth", mSize.width},
                             {"sizeHeight", mSize.height},
                             {"videoBitRate", bitRate},
                             {"videoMaxBitRate", mMaxBitrate * 1024},
                             {"videoFrameRate", mFrameRate},
                             {"outputImageOrientation", orientation}},
                            "videoConfiguration");
    }
}

void QWPushUtil::stopPreview() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mSession) mSession->kill();
    mSession.reset();
    mPingManager.reset();
}

void QWPushUtil::setCameraFront(bool front) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    mIsCameraFront = front;
    if (mSession) mSession->setCaptureDevicePosition(front ? 2 : 1);
    saveLog("切换摄像头", "setCameraFront");
}

void QWPushUtil::setTorch(bool on) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mSession) mSession->setTorch(on);
    saveLog("设置闪光灯", "setTorch");
}

void QWPushUtil::focuxAtPoint(double, double) {}

void QWPushUtil::setMicGain(float gain) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    mFMicGain = gain;
    if (mSession) mSession->setMuted(gain == 0.0f);
    saveLog(platform::stringWithFormat("设置值为%f", static_cast<double>(gain)), "设置静音");
}

void QWPushUtil::setCameraBeautyFilterWithSmooth(float smooth, float, float) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mSession) mSession->setBeautyLevel(smooth);
}

void QWPushUtil::setPreview(std::shared_ptr<platform::View> view) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    mTransform = view ? view->transform() : platform::AffineTransform{0, 0, 0, 0, 0, 0};
    mAllBackGroudView = std::move(view);
}

void QWPushUtil::addWaterMask(std::shared_ptr<platform::Image> image, platform::Rect rect) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mSessionState != 3) return;
    auto view = platform::ImageView::create(image, rect);
    view->setAlpha(0.8);
    if (mSession) mSession->setWarterMarkView(view);
    std::string imageText = image ? "<Image " + image->size().toString() + ">" : "(null)";
    std::string rectText = "{{" + platform::Size::formatNumber(rect.origin.x) + ", " +
                           platform::Size::formatNumber(rect.origin.y) + "}, " + rect.size.toString() + "}";
    saveLog(platform::stringWithFormat("图片%s,位置%s", imageText.c_str(), rectText.c_str()), "设置水印");
}

void QWPushUtil::publishImage(std::shared_ptr<platform::Image> image, bool isBig) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mSessionState != 3) return;
    mIsBig = isBig;
    mIsBigImage = std::move(image);
}

void QWPushUtil::clearPublishImage() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mSessionState != 3) return;
    mIsBigImage.reset();
}

std::string QWPushUtil::getDeviceName() const {
    utsname name{};
    if (uname(&name) != 0) return "";
    return name.machine;
}

std::string QWPushUtil::deviceModelForMachine(const std::string& machine) {
    for (auto& entry : kDeviceTable)
        if (machine == entry.machine) return entry.name;
    return machine;
}

std::string QWPushUtil::getCurrentDeviceModel() const { return deviceModelForMachine(getDeviceName()); }

// --- Lifecycle observers ---

void QWPushUtil::addObserver_push() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    removeObserver_push();
    auto& center = platform::NotificationCenter::defaultCenter();
    auto main = platform::DispatchQueue::main();
    std::weak_ptr<QWPushUtil> weak = weak_from_this();
    auto observe = [&](const char* name, void (QWPushUtil::*handler)()) {
        mObservers.push_back(center.addObserver(name, nullptr, main, [weak, handler](const platform::Notification&) {
            if (auto self = weak.lock()) ((*self).*handler)();
        }));
    };
    observe(platform::kApplicationDidEnterBackgroundNotification, &QWPushUtil::appWillEnterBackgroundNotification);
    observe(platform::kApplicationWillEnterForegroundNotification, &QWPushUtil::appWillEnterForegroundNotification);
    observe(platform::kApplicationDidBecomeActiveNotification, &QWPushUtil::applicationDidBecomeActiveNotification);
    observe(platform::kApplicationWillResignActiveNotification, &QWPushUtil::applicationWillResignActiveNotification);
    mObservers.push_back(center.addObserver(platform::kAudioSessionInterruptionNotification,
                                            &platform::AudioSession::sharedInstance(), main,
                                            [weak](const platform::Notification& notification) {
                                                if (auto self = weak.lock()) self->handleInterruption(notification);
                                            }));
}

void QWPushUtil::removeObserver_push() { mObservers.clear(); }

void QWPushUtil::appWillEnterBackgroundNotification() {
    saveLog("将要进入后台", "");
    (void)hasPermissionOfCamera();
}

void QWPushUtil::appWillEnterForegroundNotification() {
    saveLog("将要进入前台", "");
    if (!hasPermissionOfCamera() || mIsPushStoped) return;
    if (!mIsPushActive) setPushActive(true);
    if (mWkwebView) mWkwebView->reload();
}

void QWPushUtil::applicationDidBecomeActiveNotification() {
    saveLog("APP被激活", "applicationDidBecomeActive");
    if (!hasPermissionOfCamera() || mIsPushStoped) return;
    if (!mIsPushActive) setPushActive(true);
}

void QWPushUtil::applicationWillResignActiveNotification() {
    saveLog("APP将要注销", "applicationWillResignActive");
    if (!hasPermissionOfCamera() || mIsPushStoped) return;
    pauseAroundAudioSession();
}

void QWPushUtil::pauseAroundAudioSession() {
    auto& audioSession = platform::AudioSession::sharedInstance();
    audioSession.setActive(true);
    if (mIsPushActive) setPushActive(false);
    audioSession.setActive(false);
}

void QWPushUtil::handleInterruption(const platform::Notification& notification) {
    saveLog("APP被打断", "handleInterruption");
    if (!hasPermissionOfCamera() || mIsPushStoped) return;
    auto type = notification.userInfo.is_object()
                    ? notification.userInfo.value(platform::kAudioSessionInterruptionTypeKey, nlohmann::json())
                    : nlohmann::json();
    if (type.is_number() && type.get<std::int64_t>() == platform::AudioSessionInterruptionTypeBegan) {
        pauseAroundAudioSession();
    } else if (!mIsPushActive) {
        setPushActive(true);
    }
}

// --- Teardown ---

void QWPushUtil::releaseSource() {
    stopTimer();
    stopFirstPushTimer();
    releaseRtmpConnect();
    removeObserver_push();
    mSeconds = 0;
    mConnectingTime = 0;
}

void QWPushUtil::requestCancel() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    saveLog("销毁请求,退出推流", "");
    SaveLogUtil::sharedInstance().uploadLogToServer();
    mIsFirstPlay = false;
    for (Slot* slot : {&mLogin, &mLive, &mLive1, &mLiveStart, &mHttpDNS}) {
        if (slot->connection) slot->connection->cancel();
        slot->clear();
    }
    for (auto& connection : mHttpDNSConnections) connection->cancel();
    mHttpDNSConnections.clear();
    mHttpDNSBuffers.clear();
    mLiveCreateNodes.clear();
    mDelegate.reset();
    removeObserver_push();
}

void QWPushUtil::cancelDelayedSteps() {
    for (auto& step : mDelayedSteps) step.cancel();
    mDelayedSteps.clear();
    if (mHTTPDNSTimer) mHTTPDNSTimer->invalidate();
    mHTTPDNSTimer.reset();
    // Probe runs still measuring belong to the login that is over.
    ++mLoginGeneration;
}

void QWPushUtil::logout() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    saveLog("退出登录", "logout");
    mLoginViewerToken.reset();
    mLoginViewerName.reset();
    mPublishUrl1.reset();
    mLoginUserId.reset();
    mLoginRoomId.reset();
    mPublishUrl.reset();
    mViewerId.reset();
    mDelegate.reset();
    mLiveid.reset();
    mKey.reset();
    mPitId = -1;
    cancelDelayedSteps();
    requestCancel();
    mFMicGain = -1.0f;
    killSocket();
    if (mWkwebView) {
        mWkwebView->stopLoading();
        mWkwebView->removeFromSuperview();
        mWkwebView.reset();
    }
    removeSocket_push();
}
