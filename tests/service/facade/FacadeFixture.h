#pragma once
// A facade under test: virtual time, fake reachability and ping back ends, a fake room service on
// loopback, a recording script host, live sessions whose publisher and encoders are fakes, and a
// delegate that records every call it gets.
#include <gtest/gtest.h>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>
#include "ZQLiveKit/PushErrorUtil.h"
#include "ZQLiveKit/QWPushUtil.h"
#include "ZQLiveKit/QWServiceSettings.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQPlatform/SystemInfo.h"
#include "tests/probe/FakePingNetwork.h"
#include "tests/probe/FakeReachabilityNetwork.h"
#include "tests/service/facade/RecordingScriptHost.h"
#include "tests/session/LiveSessionFakes.h"
#include "tests/support/FakeRoomService.h"
#include "tests/support/TestUtil.h"
#include "tests/support/VirtualTime.h"

namespace zqtest {

// A camera that keeps the settings the session passes through.
struct FakeVideoCapture : ZVVideoCaptureSource {
    void setDelegate(std::weak_ptr<ZVVideoCaptureDelegate>) override {}
    bool running() const override { return isRunning; }
    void setRunning(bool r) override { isRunning = r; }
    std::int64_t captureDevicePosition() const override { return position; }
    void setCaptureDevicePosition(std::int64_t p) override { position = p; }
    bool beautyFace() const override { return false; }
    void setBeautyFace(bool) override {}
    double beautyLevel() const override { return beauty; }
    void setBeautyLevel(double level) override { beauty = level; }
    double brightLevel() const override { return 0; }
    void setBrightLevel(double) override {}
    double zoomScale() const override { return 1; }
    void setZoomScale(double) override {}
    bool torch() const override { return torchOn; }
    void setTorch(bool on) override { torchOn = on; }
    bool mirror() const override { return false; }
    void setMirror(bool) override {}
    bool saveLocalVideo() const override { return false; }
    void setSaveLocalVideo(bool) override {}
    std::optional<std::string> saveLocalVideoPath() const override { return std::nullopt; }
    void setSaveLocalVideoPath(std::optional<std::string>) override {}
    std::shared_ptr<platform::View> preView() const override { return preview; }
    void setPreView(std::shared_ptr<platform::View> v) override { preview = std::move(v); }
    std::shared_ptr<platform::View> warterMarkView() const override { return watermark; }
    void setWarterMarkView(std::shared_ptr<platform::View> v) override { watermark = std::move(v); }

    std::shared_ptr<platform::View> preview;
    std::shared_ptr<platform::View> watermark;
    bool isRunning = false;
    std::int64_t position = 0;
    double beauty = 0;
    bool torchOn = false;
};

// Records every delegate call as {"op": name, "args": [...]}, in order. Every operation is
// implemented unless the test drops its slot.
class RecordingDelegate {
public:
    RecordingDelegate();
    std::shared_ptr<QWPushUtilDelegate> delegate = std::make_shared<QWPushUtilDelegate>();
    std::vector<nlohmann::json> calls;

    // The names of the calls, in order.
    std::vector<std::string> ops() const;
    // The calls of one operation.
    std::vector<nlohmann::json> callsOf(const std::string& op) const;
    // The error codes (null for none) of requestLoginFailed / pushFailed, in order.
    std::vector<nlohmann::json> failureCodes(const std::string& op) const;
    void clear() { calls.clear(); }

private:
    void record(const std::string& op, nlohmann::json args) { calls.push_back({{"op", op}, {"args", std::move(args)}}); }
};

class FacadeTest : public ::testing::Test {
protected:
    FacadeTest();
    ~FacadeTest() override;

    // The facade logged in to the fake room with `nodes`, the node list reported (probe runs done).
    void loginWith(const std::vector<FakeRoomService::Node>& nodes, bool security = false);
    // Starts the login and waits for its answer (the node measurement is not waited for).
    void startLogin(bool security = false);
    // Waits in real time for work that the URL session's thread posts.
    bool waitFor(const std::function<bool()>& done, double seconds = 5.0);
    // A node that answers ICMP echo after `delay` seconds.
    FakeRoomService::Node node(const std::string& desc, const std::string& address, double delay, int nodeId);
    // Preview, then start publishing and wait for the live create's answer (the session connecting).
    void startPublishing();
    // The current session's publisher (the fake socket that startLive made).
    FakeSocket& socket() { return parts.socket(); }
    // The publisher reports a state; the facade hears it on the main queue.
    void report(ZQLiveState state);
    // Publishing with the heartbeat running: the session started and the live start was accepted.
    void reachPublishing();

    VirtualTime time;
    std::shared_ptr<FakeReachabilityNetwork> reachability = FakeReachabilityNetwork::install();
    std::shared_ptr<FakePingNetwork> ping = FakePingNetwork::install();
    TempDir home;
    FakeRoomService room;
    std::shared_ptr<ScriptHostRecord> host = std::make_shared<ScriptHostRecord>();
    FakeParts parts;
    std::vector<std::shared_ptr<FakeVideoCapture>> cameras;
    std::vector<std::shared_ptr<ZQLiveVideoConfiguration>> videoConfigurations;
    RecordingDelegate recorder;
    std::shared_ptr<QWPushUtil> util;
    PushParameters parameters;
};

} // namespace zqtest
