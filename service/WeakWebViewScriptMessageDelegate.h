#pragma once
#include <memory>
#include "ZQLiveKit/WebView.h"

// The web view's content controller holds its message handlers strongly; this hop holds the real
// handler (the facade) weakly, so the facade can go while the web view lives. Main queue.
class WeakWebViewScriptMessageDelegate final : public platform::ScriptMessageHandler {
public:
    // initWithDelegate:
    explicit WeakWebViewScriptMessageDelegate(std::weak_ptr<platform::ScriptMessageHandler> scriptDelegate)
        : mScriptDelegate(std::move(scriptDelegate)) {}

    std::shared_ptr<platform::ScriptMessageHandler> scriptDelegate() const { return mScriptDelegate.lock(); }

    // Forwards the message unchanged while the real handler lives.
    void userContentControllerDidReceiveScriptMessage(platform::UserContentController& controller,
                                                      const platform::ScriptMessage& message) override {
        if (auto target = mScriptDelegate.lock()) target->userContentControllerDidReceiveScriptMessage(controller, message);
    }

private:
    std::weak_ptr<platform::ScriptMessageHandler> mScriptDelegate;
};
