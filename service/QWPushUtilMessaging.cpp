// The facade's side of the room messaging bridge: the hidden web view with the socket page, the
// script calls it evaluates there, and the page's events turned into delegate calls.
#include <ctime>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/JSONSerialization.h"
#include "service/JsonValue.h"
#include "service/QWPushUtilInternal.h"
#include "service/WeakWebViewScriptMessageDelegate.h"
#include "service/messaging/ScriptCall.h"
#include "service/messaging/ScriptHost.h"

using zqservice::stringMember;

namespace {

constexpr double kPageLoadTimeout = 10.0;

std::mutex gFactoryMutex;
QWPushUtil::ScriptHostFactory gScriptHostFactory; // guarded by gFactoryMutex

// A user id as text: strings as they are, integral numbers in decimal; none for anything else.
std::optional<std::string> userIdText(const nlohmann::json& value) {
    if (value.is_string()) return value.get<std::string>();
    if (value.is_number_integer()) return std::to_string(value.get<std::int64_t>());
    if (value.is_number_unsigned()) return std::to_string(value.get<std::uint64_t>());
    if (value.is_number_float()) {
        double v = value.get<double>();
        if (v == static_cast<double>(static_cast<std::int64_t>(v))) return std::to_string(static_cast<std::int64_t>(v));
    }
    return std::nullopt;
}

std::string localClockTime() {
    auto seconds = static_cast<std::time_t>(platform::wallTime());
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[16];
    std::size_t n = std::strftime(text, sizeof text, "%H:%M:%S", &local);
    return std::string(text, n);
}

} // namespace

void QWPushUtil::setScriptHostFactory(ScriptHostFactory factory) {
    std::lock_guard lock(gFactoryMutex);
    gScriptHostFactory = std::move(factory);
}

std::shared_ptr<platform::WebView> QWPushUtil::wkwebView() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mWkwebView) return mWkwebView;
    platform::WebViewConfiguration configuration;
    configuration.javaScriptEnabled = true;
    configuration.javaScriptCanOpenWindowsAutomatically = true;
    configuration.userContentController->addScriptMessageHandler(
        std::make_shared<WeakWebViewScriptMessageDelegate>(std::weak_ptr<platform::ScriptMessageHandler>(shared_from_this())),
        zqservice::kSocketMessageHandler);
    ScriptHostFactory factory;
    {
        std::lock_guard lock(gFactoryMutex);
        factory = gScriptHostFactory;
    }
    mWkwebView = platform::WebView::create(std::move(configuration),
                                           factory ? factory() : zqmessaging::makeNativeScriptHost());
    mWkwebView->setOpaque(false);
    mWkwebView->setUIDelegate(std::weak_ptr<void>(shared_from_this()));
    mWkwebView->setNavigationDelegate(std::weak_ptr<platform::NavigationDelegate>(shared_from_this()));
    mWkwebView->setAllowsBackForwardNavigationGestures(false);
    mWkwebView->loadRequest(platform::WebView::kSocketPageURL, kPageLoadTimeout);
    return mWkwebView;
}

void QWPushUtil::commitWkWebView(const std::shared_ptr<platform::WebView>& webView, const std::string& script) {
    if (!webView) return;
    platform::DispatchQueue::main()->async([webView, script] { webView->evaluateJavaScript(script); });
}

void QWPushUtil::createSocketWithUrl(const std::string& url, const std::string& spareUri, const std::string& sessionid,
                                     const std::string& platform, const std::string& terminal) {
    // The log may leave the device: it gets the call without the session key.
    saveLog(zqmessaging::socketIOConnectScript(url, spareUri, "***", platform, terminal), "连接socket的param参数");
    commitWkWebView(mWkwebView, zqmessaging::socketIOConnectScript(url, spareUri, sessionid, platform, terminal));
}

// Script calls go to the web view that exists: none is made for them, so nothing connects after a
// logout.
void QWPushUtil::socket_emit(const std::string& event, const std::string& message) {
    commitWkWebView(mWkwebView, event == "pi" ? zqmessaging::socketIOEmitWithOutBufferScript(event, message)
                                              : zqmessaging::socketIOEmitScript(event, message));
}

void QWPushUtil::roomUserCount() { socket_emit("room_user_count", ""); }

void QWPushUtil::roomContext() { socket_emit("room_context", ""); }

void QWPushUtil::chatMessage(const std::string& text) { socket_emit("chat_message", text); }

bool QWPushUtil::privateChatWithTouserid(const std::optional<std::string>& toUserId, const std::string& msg) {
    if (!toUserId || !mViewerId) return false;
    auto from = mOnlineUsers.find(*mViewerId);
    auto to = mOnlineUsers.find(*toUserId);
    if (from == mOnlineUsers.end() || to == mOnlineUsers.end() || *toUserId == *mViewerId) return false;
    nlohmann::json chat = {{"fromuserid", *mViewerId}, {"fromusername", from->second}, {"fromuserrole", "publisher"},
                           {"touserid", *toUserId},    {"tousername", to->second},     {"msg", msg},
                           {"time", localClockTime()}};
    auto text = platform::JSONSerialization::serialize(chat);
    if (!text) return false;
    socket_emit("private_chat", *text);
    return true;
}

void QWPushUtil::killSocket() {
    saveLog("断开socket", "killSocket");
    commitWkWebView(mWkwebView, zqmessaging::socketCloseScript());
}

void QWPushUtil::removeSocket_push() {
    removeObserver_push();
    killSocket();
}

void QWPushUtil::socketReconnected(const nlohmann::json&) {
    saveLog("socket重连", "socketReconnected");
    if (mOpenHostMode && ((mTimer && mTimer->isValid()) || (mFirstPushTimer && mFirstPushTimer->isValid())))
        startPushWithCameraFront();
}

// --- Page to native ---

void QWPushUtil::userContentControllerDidReceiveScriptMessage(platform::UserContentController&,
                                                              const platform::ScriptMessage& message) {
    socketIOWithTitle(stringMember(message.body, "type").value_or(""), stringMember(message.body, "param").value_or(""));
}

void QWPushUtil::socketIOWithTitle(const std::string& title, const std::string& message) {
    platform::DispatchQueue::main()->async(mSafety.safe([this, title, message] {
        if (title == "switch_stream") switch_stream(message);
        else if (title == "room_user_count") room_user_count(message);
        else if (title == "chat_message") chat_message(message);
        else if (title == "private_chat" || title == "private_chat_self") private_chat(message);
        else if (title == "room_context") room_context(message);
        else if (title == "custom_message") custom_message(message);
        else if (title == "publish_stream") publish_stream(message);
        else if (title == "end_stream") end_stream(message);
        else if (title == "kick_out") kick_out(message);
        // "connect", "disconnect" and anything else: nothing.
    }));
}

void QWPushUtil::room_user_count(const std::string& payload) {
    if (!delegateImplements(&QWPushUtilDelegate::room_user_count)) return;
    platform::DispatchQueue::main()->async(
        mSafety.safe([this, payload] { callDelegate(&QWPushUtilDelegate::room_user_count, payload); }));
}

void QWPushUtil::chat_message(const std::string& payload) {
    if (!delegateImplements(&QWPushUtilDelegate::on_chat_message)) return;
    platform::DispatchQueue::main()->async(
        mSafety.safe([this, payload] { callDelegate(&QWPushUtilDelegate::on_chat_message, payload); }));
}

void QWPushUtil::private_chat(const std::string& payload) {
    if (!delegateImplements(&QWPushUtilDelegate::on_private_chat)) return;
    platform::DispatchQueue::main()->async(
        mSafety.safe([this, payload] { callDelegate(&QWPushUtilDelegate::on_private_chat, payload); }));
}

void QWPushUtil::custom_message(const std::string& payload) {
    auto parsed = platform::JSONSerialization::parse(payload);
    if (!parsed || !parsed->is_object()) return;
    callDelegate(&QWPushUtilDelegate::customMessage, parsed->value("message", nlohmann::json()));
}

void QWPushUtil::room_context(const std::string& payload) {
    auto parsed = platform::JSONSerialization::parse(payload).value_or(nlohmann::json());
    mOnlineUsers.clear();
    const nlohmann::json* white = zqservice::member(parsed, "whiteList");
    const nlohmann::json* black = zqservice::member(parsed, "blackList");
    mWhiteListArr = white ? *white : nlohmann::json();
    mBlackListArr = black ? *black : nlohmann::json();
    std::optional<std::string> publisherId;
    const nlohmann::json* users = zqservice::member(parsed, "onlineUsers");
    if (users && users->is_array()) {
        for (auto& user : *users) {
            const nlohmann::json* idValue = zqservice::member(user, "id");
            auto id = idValue ? userIdText(*idValue) : std::nullopt;
            // Entries without an id name nobody.
            if (!id) continue;
            if (stringMember(user, "role") == "publisher") publisherId = id;
            mOnlineUsers[*id] = stringMember(user, "name").value_or("");
        }
    }
    callDelegate(&QWPushUtilDelegate::receivePublisherId, publisherId, mOnlineUsers);
}

void QWPushUtil::switch_stream(const std::string& payload) {
    auto parsed = platform::JSONSerialization::parse(payload);
    bool isMe = false;
    if (parsed && parsed->is_object()) {
        auto speaker = zqservice::integerMember(*parsed, "switchuserId");
        isMe = speaker && *speaker == mPitId;
    }
    if (delegateImplements(&QWPushUtilDelegate::setMainSpeaker) && isMe != mLastIsMe)
        callDelegate(&QWPushUtilDelegate::setMainSpeaker, isMe);
    mLastIsMe = isMe;
}

void QWPushUtil::publish_stream(const std::string&) {
    callDelegate(&QWPushUtilDelegate::publishStream);
    if (mOpenHostMode && mPitId == 0) callDelegate(&QWPushUtilDelegate::setMainSpeaker, true);
    mLastIsMe = true;
}

void QWPushUtil::end_stream(const std::string&) { callDelegate(&QWPushUtilDelegate::endStream); }

void QWPushUtil::kick_out(const std::string&) { callDelegate(&QWPushUtilDelegate::kick_out); }

// --- Navigation ---

void QWPushUtil::webViewDidFinishNavigation(platform::WebView& webView) {
    saveLog(webView.url(), "ppt webview加载完成");
    if (&webView != mWkwebView.get()) return;
    createSocketWithUrl(mSocketHost.value_or(""), mBackupChatHost.value_or(""), mKey.value_or(""), "3", "1");
}

void QWPushUtil::webViewDidFailProvisionalNavigation(platform::WebView&, const platform::Error&) {}

void QWPushUtil::webViewWebContentProcessDidTerminate(platform::WebView& webView) { webView.reload(); }
