#pragma once
// A script host for the facade's tests: it records every script text the web view evaluates, every
// load and unload, and lets the test post the page's messages and finish loads.
#include <functional>
#include <memory>
#include <string>
#include <vector>
#include "ZQPlatform/DispatchQueue.h"
#include "service/messaging/ScriptHost.h"

namespace zqtest {

struct ScriptHostRecord {
    std::vector<std::string> scripts;
    int loads = 0;
    int unloads = 0;
    bool destroyed = false;
    zqmessaging::ScriptHost::MessageHandler handler;
    std::function<void()> pendingLoad;
    // Loads finish on the main queue by themselves unless held.
    bool holdLoads = false;

    // The page posts {"type": type, "param": param} to "socket_message".
    void post(const std::string& type, const std::string& param) {
        if (handler) handler("socket_message", {{"type", type}, {"param", param}});
    }
    void finishLoad() {
        if (auto finished = std::exchange(pendingLoad, nullptr)) finished();
    }
};

class RecordingScriptHost final : public zqmessaging::ScriptHost {
public:
    explicit RecordingScriptHost(std::shared_ptr<ScriptHostRecord> record) : mRecord(std::move(record)) {}
    ~RecordingScriptHost() override { mRecord->destroyed = true; }

    void load(std::function<void()> finished) override {
        ++mRecord->loads;
        if (mRecord->holdLoads) {
            mRecord->pendingLoad = std::move(finished);
            return;
        }
        platform::DispatchQueue::main()->async(std::move(finished));
    }
    void evaluateJavaScript(const std::string& script) override { mRecord->scripts.push_back(script); }
    void setMessageHandler(MessageHandler handler) override { mRecord->handler = std::move(handler); }
    void setStateHandler(StateHandler) override {}
    void unload() override { ++mRecord->unloads; }

private:
    std::shared_ptr<ScriptHostRecord> mRecord;
};

} // namespace zqtest
