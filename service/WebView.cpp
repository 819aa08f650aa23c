#include "ZQLiveKit/WebView.h"

#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"
#include "service/messaging/ScriptHost.h"

namespace platform {

ScriptMessageHandler::~ScriptMessageHandler() = default;

NavigationDelegate::~NavigationDelegate() = default;
void NavigationDelegate::webViewDidFinishNavigation(WebView&) {}
void NavigationDelegate::webViewDidFailProvisionalNavigation(WebView&, const Error&) {}
void NavigationDelegate::webViewWebContentProcessDidTerminate(WebView&) {}

void UserContentController::addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler,
                                                    const std::string& name) {
    if (handler) mHandlers[name] = std::move(handler);
}

void UserContentController::removeScriptMessageHandlerForName(const std::string& name) { mHandlers.erase(name); }

std::shared_ptr<ScriptMessageHandler> UserContentController::handler(const std::string& name) const {
    auto it = mHandlers.find(name);
    return it == mHandlers.end() ? nullptr : it->second;
}

WebView::WebView(WebViewConfiguration configuration, std::unique_ptr<zqmessaging::ScriptHost> host)
    : mConfiguration(std::move(configuration)), mHost(std::move(host)) {
    if (!mConfiguration.userContentController)
        mConfiguration.userContentController = std::make_shared<UserContentController>();
}

std::shared_ptr<WebView> WebView::create(WebViewConfiguration configuration,
                                         std::unique_ptr<zqmessaging::ScriptHost> host) {
    std::shared_ptr<WebView> view(new WebView(std::move(configuration), std::move(host)));
    if (view->mHost) {
        view->mHost->setMessageHandler([weak = std::weak_ptr<WebView>(view)](const std::string& name, const nlohmann::json& body) {
            if (auto self = weak.lock()) self->receiveScriptMessage(name, body);
        });
    }
    return view;
}

// The host goes first: none of its handlers may run once the view is gone.
WebView::~WebView() { mHost.reset(); }

void WebView::loadRequest(const std::string& url, double) {
    ZQ_DCHECK_ON(DispatchQueue::main());
    mURL = url;
    startLoad();
}

void WebView::reload() {
    ZQ_DCHECK_ON(DispatchQueue::main());
    if (mURL.empty()) return;
    startLoad();
}

void WebView::stopLoading() {
    ZQ_DCHECK_ON(DispatchQueue::main());
    if (!mLoaded) ++mLoadGeneration;
}

void WebView::startLoad() {
    const std::uint64_t generation = ++mLoadGeneration;
    mLoaded = false;
    if (!mHost) return;
    mHost->load([weak = weak_from_this(), generation] {
        auto self = weak.lock();
        if (!self || generation != self->mLoadGeneration) return;
        self->mLoaded = true;
        if (auto delegate = self->mNavigationDelegate.lock()) delegate->webViewDidFinishNavigation(*self);
    });
}

void WebView::evaluateJavaScript(const std::string& script) {
    ZQ_DCHECK_ON(DispatchQueue::main());
    if (mHost) mHost->evaluateJavaScript(script);
}

void WebView::addToMainWindow() { mInWindow = true; }

void WebView::removeFromSuperview() {
    ZQ_DCHECK_ON(DispatchQueue::main());
    mInWindow = false;
    ++mLoadGeneration;
    mLoaded = false;
    if (mHost) mHost->unload();
}

void WebView::receiveScriptMessage(const std::string& name, const nlohmann::json& body) {
    ZQ_DCHECK_ON(DispatchQueue::main());
    auto controller = mConfiguration.userContentController;
    if (!controller) return;
    if (auto handler = controller->handler(name)) handler->userContentControllerDidReceiveScriptMessage(*controller, {name, body});
}

void WebView::webContentProcessDidTerminate() {
    ZQ_DCHECK_ON(DispatchQueue::main());
    if (auto delegate = mNavigationDelegate.lock()) delegate->webViewWebContentProcessDidTerminate(*this);
}

} // namespace platform
