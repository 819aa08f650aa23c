#pragma once
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Error.h"

namespace zqmessaging {
class ScriptHost;
}

// The hidden web view of the room messaging bridge, modelled on the mobile platform's web view. There
// is no browser: the page (the socket client) is a script host, which evaluates the page's script
// calls and posts the page's messages. The web view routes those messages to the handlers of its
// user content controller by name and reports page loads to its navigation delegate. Main queue.
namespace platform {

class UserContentController;
class WebView;

// One message the page posted (WKScriptMessage): the handler's name and the body.
struct ScriptMessage {
    std::string name;
    nlohmann::json body;
};

// Receives the page's messages (WKScriptMessageHandler). Main queue.
class ZQLIVEKIT_EXPORT ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler();
    // userContentController:didReceiveScriptMessage:
    virtual void userContentControllerDidReceiveScriptMessage(UserContentController& controller,
                                                             const ScriptMessage& message) = 0;
};

// Page loads (WKNavigationDelegate); every operation optional. Main queue.
class ZQLIVEKIT_EXPORT NavigationDelegate {
public:
    virtual ~NavigationDelegate();
    // webView:didFinishNavigation:
    virtual void webViewDidFinishNavigation(WebView& webView);
    // webView:didFailProvisionalNavigation:withError:
    virtual void webViewDidFailProvisionalNavigation(WebView& webView, const Error& error);
    // webViewWebContentProcessDidTerminate:
    virtual void webViewWebContentProcessDidTerminate(WebView& webView);
};

// The named message handlers of a web view (WKUserContentController); holds them strongly. Main queue.
class ZQLIVEKIT_EXPORT UserContentController {
public:
    void addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler, const std::string& name);
    void removeScriptMessageHandlerForName(const std::string& name);
    std::shared_ptr<ScriptMessageHandler> handler(const std::string& name) const;

private:
    std::map<std::string, std::shared_ptr<ScriptMessageHandler>> mHandlers;
};

// WKWebViewConfiguration with its WKPreferences.
struct WebViewConfiguration {
    bool javaScriptEnabled = true;
    bool javaScriptCanOpenWindowsAutomatically = false;
    std::shared_ptr<UserContentController> userContentController = std::make_shared<UserContentController>();
};

class ZQLIVEKIT_EXPORT WebView : public std::enable_shared_from_this<WebView> {
public:
    // The address a page load names; the socket page of the application's resource bundle.
    static constexpr const char* kSocketPageURL = "bundle://QWBundle.bundle/socketio.html";

    // A web view whose page is `host` (none: a web view that loads nothing and drops script calls).
    static std::shared_ptr<WebView> create(WebViewConfiguration configuration, std::unique_ptr<zqmessaging::ScriptHost> host);
    ~WebView();
    WebView(const WebView&) = delete;
    WebView& operator=(const WebView&) = delete;

    // loadRequest: starts the page; the navigation delegate hears didFinishNavigation once it is
    // ready. The time-out is kept for the record: a script host loads at once.
    void loadRequest(const std::string& url, double timeoutInterval);
    // Loads the current page again (a new didFinishNavigation follows).
    void reload();
    // Forgets a load that has not finished: its didFinishNavigation never comes.
    void stopLoading();
    // evaluateJavaScript:completionHandler: without a completion: handed to the page's host, which
    // ignores what it cannot run (a call before its load, or after the view was removed).
    void evaluateJavaScript(const std::string& script);

    // The page's address, "" before the first load.
    const std::string& url() const { return mURL; }
    const WebViewConfiguration& configuration() const { return mConfiguration; }
    std::shared_ptr<NavigationDelegate> navigationDelegate() const { return mNavigationDelegate.lock(); }
    void setNavigationDelegate(std::weak_ptr<NavigationDelegate> delegate) { mNavigationDelegate = std::move(delegate); }
    // The UI delegate is held for the record; the script host opens no dialogs.
    void setUIDelegate(std::weak_ptr<void> delegate) { mUIDelegate = std::move(delegate); }
    bool allowsBackForwardNavigationGestures() const { return mAllowsBackForwardNavigationGestures; }
    void setAllowsBackForwardNavigationGestures(bool allows) { mAllowsBackForwardNavigationGestures = allows; }
    bool opaque() const { return mOpaque; }
    void setOpaque(bool opaque) { mOpaque = opaque; }

    // Hidden in the application's main window (zero frame). Removing it closes the page's socket for
    // good: the page is unloaded and script calls are dropped until the next load.
    void addToMainWindow();
    void removeFromSuperview();
    bool isInWindow() const { return mInWindow; }

    // What the page posts (the script host's messages), routed by handler name. Exposed so a host
    // other than the one given at creation can feed the view. Main queue.
    void receiveScriptMessage(const std::string& name, const nlohmann::json& body);
    // The page process ended: the navigation delegate hears webViewWebContentProcessDidTerminate.
    void webContentProcessDidTerminate();

    // The page's script host (null for none).
    zqmessaging::ScriptHost* scriptHost() const { return mHost.get(); }

private:
    WebView(WebViewConfiguration configuration, std::unique_ptr<zqmessaging::ScriptHost> host);
    void startLoad();

    WebViewConfiguration mConfiguration;
    std::unique_ptr<zqmessaging::ScriptHost> mHost;
    std::weak_ptr<NavigationDelegate> mNavigationDelegate;
    std::weak_ptr<void> mUIDelegate;
    std::string mURL;
    std::uint64_t mLoadGeneration = 0; // a finished load reports only when it is still the latest
    bool mLoaded = false;
    bool mInWindow = false;
    bool mOpaque = true;
    bool mAllowsBackForwardNavigationGestures = true;
};

} // namespace platform
