// zqlive room: one broadcast through the push facade, as an application runs it: log in to the room,
// choose the ingest node, preview, publish, control the cloud recording, stop and log out. Every
// call the facade makes on its delegate is printed as it happens.
#include <cstdio>
#include <fstream>
#include <memory>
#include <mutex>
#include <sstream>
#include <unistd.h>
#include "ZQLiveKit/QWPushUtil.h"
#include "ZQLiveKit/QWServiceSettings.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQLiveKit/TestPatternSource.h"
#include "ZQLiveKit/ToneSource.h"
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/TrustSettings.h"
#include "ZQPlatform/UserDefaults.h"
#include "apps/zqlive/AudioInputOption.h"
#include "apps/zqlive/Cli.h"
#include "service/messaging/ScriptHost.h"

namespace {

using nlohmann::json;
using ojson = nlohmann::ordered_json;

constexpr const char* kUsage =
    "room --config FILE [--node N] [--duration S] [--size WxH] [--bitrate KBPS] [--orientation 1|2|3|4]\n"
    "            [--back] [--record start,pause,resume,stop] [--token] [--save-log] [--video testsrc]\n"
    "            [--audio tone|silence|mic[:DEVICE]|file:WAV] [--login-only]\n"
    "            [--chat TEXT]... [--private-chat USERID:TEXT] [--user-count] [--room-context]\n\n"
    "  --config FILE   the room and its services (JSON): viewHost, liveHost, interactionHost (host[:port]),\n"
    "                  httpDnsUrl (http URL), caFile, userId, roomId, viewerName, token, security, appGroup;\n"
    "                  the file wins over the ZQLIVEKIT_* environment, which wins over the built-in hosts\n"
    "  --node N        publish to node N of the list (default: the fastest, else node 1)\n"
    "  --duration S    seconds to stay live after the stream started (default 0: until SIGINT/SIGTERM)\n"
    "  --size WxH      video size (default 360x640); --bitrate KBPS (default 800); always 30 frames/s\n"
    "  --orientation   interface orientation: 1 portrait (default), 2 upside down, 3/4 landscape\n"
    "  --back          the back camera instead of the front one\n"
    "  --record LIST   record-control steps to run in order once live, each after the previous answer\n"
    "  --token         fetch the interaction token once the room reports live commerce on\n"
    "  --save-log      keep the kit's diagnostic log and print its path\n"
    "  --video, --audio  the camera and microphone, as for zqlive publish (default testsrc and tone)\n"
    "  --login-only    log in, print the node list and log out\n"
    "  --chat TEXT     a public chat message (repeatable), sent once the room socket first connects\n"
    "  --private-chat USERID:TEXT  a private chat, sent once the room context (asked for on connecting)\n"
    "                  has arrived; a chat the room drops (unknown user, oneself) prints a note\n"
    "  --user-count, --room-context  ask the room socket for its user count or its context once connected\n\n"
    "Prints one JSON object per line: every delegate call ({\"event\":\"delegate\",\"op\":...,\"args\":[...]}),\n"
    "\"started\", \"record\", \"token\", \"note\", \"socket\" (room socket state) and \"nodes\" events, and last\n"
    "{\"event\":\"done\",\"ok\":...,\"reason\":...}. A kick-out from the room ends the run like a failure.\n"
    "Exit 0 when the broadcast ran and stopped cleanly and every record step succeeded, 1 on a reported\n"
    "failure, 2 on bad arguments or configuration.";

constexpr double kLoginLimit = 30.0;
constexpr double kStopLimit = 10.0;
constexpr double kLiveStopLimit = 5.0;
constexpr double kTokenLimit = 20.0;
constexpr double kLiveStartWait = 10.0;

// --- Configuration ---

struct RoomConfig {
    std::optional<std::string> viewHost, liveHost, httpDnsUrl, interactionHost, caFile, appGroup;
    std::string userId, roomId, viewerName, token;
    bool security = false;
};

RoomConfig readConfig(const std::string& path) {
    std::ifstream in(path);
    if (!in) throw zqlive::UsageError("cannot read the config file '" + path + "'");
    std::stringstream text;
    text << in.rdbuf();
    json file = json::parse(text.str(), nullptr, false);
    if (file.is_discarded() || !file.is_object()) throw zqlive::UsageError("the config file '" + path + "' is not a JSON object");
    RoomConfig config;
    auto text_ = [&](const std::string& key) -> std::optional<std::string> {
        auto it = file.find(key);
        if (it == file.end()) return std::nullopt;
        if (!it->is_string()) throw zqlive::UsageError("config key \"" + key + "\" must be a string");
        return it->get<std::string>();
    };
    auto host = [&](const std::string& key) {
        auto value = text_(key);
        if (value && value->find("://") != std::string::npos)
            throw zqlive::UsageError("config key \"" + key + "\" is host[:port] without a scheme, got \"" + *value + "\"");
        if (value && !QWServiceSettings::isValidHost(*value))
            throw zqlive::UsageError("config key \"" + key + "\" is not a valid host[:port]: \"" + *value + "\"");
        return value;
    };
    auto required = [&](const std::string& key) {
        auto value = text_(key);
        if (!value) throw zqlive::UsageError("config key \"" + key + "\" is missing");
        return *value;
    };
    static const std::vector<std::string> kKeys = {"viewHost", "liveHost", "httpDnsUrl", "interactionHost", "caFile",
                                                   "userId",   "roomId",   "viewerName", "token",           "security",
                                                   "appGroup"};
    for (auto& [key, value] : file.items())
        if (std::find(kKeys.begin(), kKeys.end(), key) == kKeys.end())
            throw zqlive::UsageError("unknown config key \"" + key + "\"");
    config.viewHost = host("viewHost");
    config.liveHost = host("liveHost");
    config.interactionHost = host("interactionHost");
    config.httpDnsUrl = text_("httpDnsUrl");
    if (config.httpDnsUrl && !QWServiceSettings::isValidHTTPURL(*config.httpDnsUrl))
        throw zqlive::UsageError("config key \"httpDnsUrl\" must be an http:// or https:// URL, got \"" + *config.httpDnsUrl + "\"");
    config.caFile = text_("caFile");
    if (config.caFile && ::access(config.caFile->c_str(), R_OK) != 0)
        throw zqlive::UsageError("config key \"caFile\" names a file that cannot be read: \"" + *config.caFile + "\"");
    config.appGroup = text_("appGroup");
    if (config.appGroup && !platform::UserDefaults::isValidSuiteName(*config.appGroup))
        throw zqlive::UsageError("config key \"appGroup\" may hold only letters, digits, \".\", \"-\" and \"_\", got \"" +
                                 *config.appGroup + "\"");
    config.userId = required("userId");
    config.roomId = required("roomId");
    config.viewerName = required("viewerName");
    config.token = required("token");
    if (auto it = file.find("security"); it != file.end()) {
        if (!it->is_boolean()) throw zqlive::UsageError("config key \"security\" must be true or false");
        config.security = it->get<bool>();
    }
    return config;
}

struct RoomOptions {
    RoomConfig config;
    std::optional<long long> node;
    double duration = 0;
    int width = 360, height = 640;
    int bitrate = 800;
    int orientation = 1;
    bool back = false;
    std::vector<std::string> record;
    bool token = false;
    bool saveLog = false;
    bool loginOnly = false;
    zqlive::AudioInputOption audio;
    std::vector<std::string> chats;
    std::optional<std::pair<std::string, std::string>> privateChat; // user id, text
    bool userCount = false;
    bool roomContext = false;
};

RoomOptions parse(const std::vector<std::string>& argv) {
    zqlive::Args args(argv, {"back", "token", "save-log", "login-only", "user-count", "room-context"});
    args.allowOnly({"config", "node", "duration", "size", "bitrate", "orientation", "back", "record", "token", "save-log",
                    "video", "audio", "login-only", "chat", "private-chat", "user-count", "room-context"});
    if (!args.positionals().empty()) throw zqlive::UsageError("unexpected argument '" + args.positionals()[0] + "'");
    auto path = args.value("config");
    if (!path) throw zqlive::UsageError("--config FILE is required");
    RoomOptions o;
    if (args.has("node")) o.node = args.integer("node", 1, 1, 1000000);
    o.duration = args.number("duration", 0, 0, 86400);
    if (auto size = args.value("size")) {
        int w = 0, h = 0;
        char tail = 0;
        if (std::sscanf(size->c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w < 16 || h < 16 || w > 4096 || h > 4096)
            throw zqlive::UsageError("--size must be WxH with sides from 16 to 4096, got '" + *size + "'");
        o.width = w;
        o.height = h;
    }
    o.bitrate = static_cast<int>(args.integer("bitrate", 800, 1, 50000));
    o.orientation = static_cast<int>(args.integer("orientation", 1, 1, 4));
    o.back = args.has("back");
    if (auto steps = args.value("record")) {
        std::stringstream list(*steps);
        for (std::string step; std::getline(list, step, ',');) {
            if (step != "start" && step != "pause" && step != "resume" && step != "stop")
                throw zqlive::UsageError("--record takes start, pause, resume and stop, got '" + step + "'");
            o.record.push_back(step);
        }
    }
    if (args.valueOr("video", "testsrc") != "testsrc") throw zqlive::UsageError("--video supports only testsrc");
    o.audio = zqlive::parseAudioInputOption(args.valueOr("audio", "tone"));
    o.token = args.has("token");
    o.saveLog = args.has("save-log");
    o.loginOnly = args.has("login-only");
    o.chats = args.values("chat");
    if (auto chat = args.value("private-chat")) {
        auto colon = chat->find(':');
        if (colon == std::string::npos || colon == 0 || colon + 1 == chat->size())
            throw zqlive::UsageError("--private-chat must be USERID:TEXT, got '" + *chat + "'");
        o.privateChat = std::make_pair(chat->substr(0, colon), chat->substr(colon + 1));
    }
    o.userCount = args.has("user-count");
    o.roomContext = args.has("room-context");
    o.config = readConfig(*path);
    return o;
}

// --- Printing what the facade reports ---

json errorJson(const std::optional<platform::Error>& error) {
    if (!error) return nullptr;
    return {{"domain", error->domain}, {"code", error->code}, {"description", error->localizedDescription}};
}

json orNull(const std::optional<std::string>& text) { return text ? json(*text) : json(nullptr); }

void printDelegate(const char* op, json args) {
    zqlive::emit(ojson{{"event", "delegate"}, {"op", op}, {"args", ojson(std::move(args))}});
}

std::string failureText(const std::optional<platform::Error>& error, const std::optional<std::string>& reason) {
    std::string text;
    if (error) text = "error " + std::to_string(error->code) + " (" + error->localizedDescription + ")";
    if (reason) text += (text.empty() ? "" : ": ") + *reason;
    return text.empty() ? "failed without a reason" : text;
}

// --- Media ---

// The run's camera and microphone, as for zqlive publish: a test pattern pushed into the session the
// facade makes for its preview, at the size the facade chose, and a pushed tone or silence, or the
// session's own microphone capture of a device or file.
class SyntheticMedia {
public:
    explicit SyntheticMedia(zqlive::AudioInputOption audio) : mAudio(std::move(audio)) {}
    ~SyntheticMedia() { stop(); }

    std::shared_ptr<ZQLiveSession> makeSession(std::shared_ptr<ZQLiveAudioConfiguration> audio,
                                               std::shared_ptr<ZQLiveVideoConfiguration> video) {
        const std::int64_t audioType = mAudio.captured() ? ZQLiveCaptureAudio : ZQLiveInputAudio;
        auto session = ZQLiveSession::create(audio, video, audioType | ZQLiveInputVideo);
        {
            std::lock_guard lock(mMutex);
            mTarget = session;
        }
        if (!mCamera) {
            auto size = video->videoSize();
            mCamera = std::make_unique<platform::TestPatternSource>(static_cast<int>(size.width), static_cast<int>(size.height),
                                                                    30.0, platform::PixelFormat::NV12);
            mCamera->setCallback([this](const std::shared_ptr<platform::PixelBuffer>& picture) {
                if (auto target = target_()) target->pushVideo(picture);
            });
            mCamera->start();
        }
        if (!mMicrophone && !mAudio.captured()) {
            const double frequency = mAudio.kind == zqlive::AudioInputOption::Kind::Tone ? 440.0 : 0.0;
            mMicrophone = std::make_unique<platform::ToneSource>(static_cast<std::uint32_t>(audio->audioSampleRate()),
                                                                 static_cast<std::uint32_t>(audio->numberOfChannels()),
                                                                 audio->bufferLength(), frequency);
            mMicrophone->setCallback([this](std::span<const std::uint8_t> pcm) {
                if (auto target = target_()) target->pushAudio(ZQBytes(pcm.data(), pcm.size()));
            });
            mMicrophone->start();
        }
        return session;
    }

    void stop() {
        if (mCamera) mCamera->stop();
        if (mMicrophone) mMicrophone->stop();
    }

private:
    std::shared_ptr<ZQLiveSession> target_() {
        std::lock_guard lock(mMutex);
        return mTarget.lock();
    }

    const zqlive::AudioInputOption mAudio;
    std::mutex mMutex;
    std::weak_ptr<ZQLiveSession> mTarget; // guarded by mMutex
    std::unique_ptr<platform::TestPatternSource> mCamera;
    std::unique_ptr<platform::ToneSource> mMicrophone;
};

// --- The run ---

class RoomRun {
public:
    explicit RoomRun(RoomOptions options) : mOptions(std::move(options)), mMedia(mOptions.audio) {}

    int run();

private:
    enum class Phase { LoggingIn, Publishing, Live, Stopping, Done };

    void start();
    void makeDelegate();
    void loginAccepted();
    void nodeListReported();
    void loginComplete();
    void live();
    void nextRecordStep();
    void askForToken();
    void stop(const std::string& failure);
    void afterStopPush();
    void finish();
    void fail(const std::string& reason) { stop(reason); }
    void updateStatus();
    void socketStateChanged(zqmessaging::ScriptHost::ConnectionState state, const std::string& url);
    void sendPrivateChat();

    RoomOptions mOptions;
    SyntheticMedia mMedia;
    std::shared_ptr<QWPushUtil> mUtil;
    std::shared_ptr<QWPushUtilDelegate> mDelegate;
    Phase mPhase = Phase::LoggingIn;
    std::size_t mExpectedReports = 0;
    std::size_t mReports = 0;
    bool mMeasurementKnown = false;
    bool mStarted = false;
    std::int64_t mConnectionStatus = 0;
    double mStartedAt = 0;
    std::size_t mRecordStep = 0;
    bool mRecordFailed = false;
    bool mStopConfirmed = false;
    bool mTokenAsked = false;
    bool mTokenPending = false;
    bool mTokenFailed = false;
    bool mSocketConnected = false;   // the room socket has connected at least once
    bool mPrivateChatPending = false; // waits for the room context that names its target
    std::optional<std::string> mFailure;
    int mExitCode = 0;
    platform::DelayedTask mLoginLimit, mDurationTask, mStopLimit, mTokenLimit;
    std::shared_ptr<platform::Timer> mStopPoll;
    std::shared_ptr<platform::Timer> mRecordWait;
    std::shared_ptr<platform::Timer> mStatusTimer;
    zqlive::StatusLine mStatus;
    platform::TaskSafety mSafety;
};

void RoomRun::makeDelegate() {
    mDelegate = std::make_shared<QWPushUtilDelegate>();
    auto& d = *mDelegate;
    d.requestLoginFailed = [this](auto& error, auto& reason) {
        printDelegate("requestLoginFailed:reason:", {errorJson(error), orNull(reason)});
        fail("login failed: " + failureText(error, reason));
    };
    d.roomInfo = [this](const json& info) {
        printDelegate("roomInfo:", {info});
        // The measurement starts in the same step as this report: look once it has.
        platform::DispatchQueue::main()->async(mSafety.safe([this] { loginAccepted(); }));
    };
    d.roomName = [](auto& name) { printDelegate("roomName:", {orNull(name)}); };
    d.nodeListDic = [](const json& list, std::int64_t best) { printDelegate("nodeListDic:bestNodeIndex:", {list, best}); };
    d.requestLoginSucceedWithViewerId = [this](auto& id) {
        printDelegate("requestLoginSucceedWithViewerId:", {orNull(id)});
        nodeListReported();
    };
    d.pushFailed = [this](auto& error, auto& reason) {
        printDelegate("pushFailed:reason:", {errorJson(error), orNull(reason)});
        fail("publishing failed: " + failureText(error, reason));
    };
    d.getLiveidBeforPush = [](const std::string& id) { printDelegate("getLiveidBeforPush:", {id}); };
    d.isConnectionNetWork = [] { printDelegate("isConnectionNetWork", json::array()); };
    d.setConnectionStatus = [this](std::int64_t status) {
        printDelegate("setConnectionStatus:", {status});
        mConnectionStatus = status;
        if (status == 3 && !mStarted && mPhase == Phase::Publishing) live();
    };
    d.connectedNetWorkFinished = [] { printDelegate("connectedNetWorkFinished", json::array()); };
    d.stopPushSuccessful = [this] {
        printDelegate("stopPushSuccessful", json::array());
        mStopConfirmed = true;
    };
    d.room_user_count = [](const std::string& p) { printDelegate("room_user_count:", {p}); };
    d.on_chat_message = [](const std::string& p) { printDelegate("on_chat_message:", {p}); };
    d.on_private_chat = [](const std::string& p) { printDelegate("on_private_chat:", {p}); };
    d.customMessage = [](const json& m) { printDelegate("customMessage:", {m}); };
    d.receivePublisherId = [this](auto& id, auto& users) {
        printDelegate("receivePublisherId:onlineUsers:", {orNull(id), json(users)});
        if (mPrivateChatPending) sendPrivateChat();
    };
    d.publishStream = [] { printDelegate("publishStream", json::array()); };
    d.setMainSpeaker = [](bool me) { printDelegate("setMainSpeaker:", {me}); };
    d.endStream = [] { printDelegate("endStream", json::array()); };
    d.kick_out = [this] {
        printDelegate("kick_out", json::array());
        fail("kicked out");
    };
    d.onInteractionConfigure = [this](auto& model) {
        printDelegate("onInteractionConfigure:", {{{"isLiveStoreSwitch", model ? model->isLiveStoreSwitch() : 0}}});
        if (mOptions.token && model && model->isLiveStoreSwitch() != 0 && !mTokenAsked) askForToken();
    };
}

void RoomRun::start() {
    mUtil = QWPushUtil::sharedInstance();
    makeDelegate();
    mUtil->setDelegate(mDelegate);
    PushParameters parameters;
    parameters.setUserId(mOptions.config.userId);
    parameters.setRoomId(mOptions.config.roomId);
    parameters.setViewerName(mOptions.config.viewerName);
    parameters.setToken(mOptions.config.token);
    parameters.setSecurity(mOptions.config.security);
    mLoginLimit = platform::DispatchQueue::main()->after(kLoginLimit, mSafety.safe([this] {
        if (mPhase == Phase::LoggingIn) fail("login did not complete");
    }));
    mStatusTimer = platform::Timer::scheduled(0.5, true, [this](platform::Timer&) { updateStatus(); });
    mUtil->loginWithParameters(parameters);
}

void RoomRun::loginAccepted() {
    if (mPhase != Phase::LoggingIn || mMeasurementKnown) return;
    mMeasurementKnown = true;
    // HTTP-DNS resolution reports the node list once; the speed test once per node.
    mExpectedReports = mUtil->httpDNSRequest() ? 1 : mUtil->arrPublishUrls().size();
    if (mExpectedReports > 0 && mReports >= mExpectedReports) loginComplete();
}

void RoomRun::nodeListReported() {
    ++mReports;
    if (mPhase == Phase::LoggingIn && mMeasurementKnown && mReports == mExpectedReports) loginComplete();
}

void RoomRun::loginComplete() {
    mLoginLimit.cancel();
    auto nodes = mUtil->arrPublishUrls();
    const long long count = nodes.is_array() ? static_cast<long long>(nodes.size()) : 0;
    if (mOptions.loginOnly) {
        ojson list = ojson::array();
        for (long long i = 0; i < count; ++i) {
            const json& entry = nodes[static_cast<std::size_t>(i)];
            std::string desc = entry.value("desc", "");
            json record = mUtil->resultDict().is_object() ? mUtil->resultDict().value(desc, json()) : json();
            list.push_back(ojson{{"index", i + 1},
                                 {"desc", desc},
                                 {"host", entry.value("host", "")},
                                 {"time", record.is_object() ? record.value("time", json()) : json()}});
        }
        zqlive::emit(ojson{{"event", "nodes"}, {"best", mUtil->smallIndex()}, {"nodes", list}});
        stop("");
        return;
    }
    long long node = mUtil->smallIndex();
    if (mOptions.node) {
        if (*mOptions.node > count) {
            mExitCode = 2;
            stop("--node " + std::to_string(*mOptions.node) + " is out of range: the room has " + std::to_string(count) +
                 (count == 1 ? " node" : " nodes"));
            return;
        }
        node = *mOptions.node;
    } else if (node == 0) {
        node = 1;
        zqlive::emit(ojson{{"event", "note"}, {"text", "no node was measured as fastest; publishing to node 1"}});
    }
    mUtil->setNodeIndex(node);
    mPhase = Phase::Publishing;
    mUtil->setVideoSize({static_cast<double>(mOptions.width), static_cast<double>(mOptions.height)}, mOptions.bitrate, 30);
    mUtil->startPreviewWithCameraFront(!mOptions.back, mOptions.orientation);
    mUtil->startPushWithCameraFront();
}

void RoomRun::live() {
    mStarted = true;
    mStartedAt = platform::mediaTime();
    mPhase = Phase::Live;
    zqlive::emit(ojson{{"event", "started"}, {"node", mUtil->smallIndex()}, {"liveid", orNull(mUtil->liveid())}});
    if (mOptions.duration > 0)
        mDurationTask = platform::DispatchQueue::main()->after(mOptions.duration, mSafety.safe([this] { stop(""); }));
    if (mOptions.record.empty()) return;
    // Recording asks for a live the room service has started: the record steps wait for the answer
    // to the live start (sent right after this report).
    const double began = platform::mediaTime();
    mRecordWait = platform::Timer::scheduled(0.05, true, [this, began](platform::Timer& timer) {
        auto liveStart = mUtil->liveStartURLCancel();
        if (mPhase != Phase::Live) return timer.invalidate();
        if (liveStart && !liveStart->isFinished() && platform::mediaTime() - began < kLiveStartWait) return;
        timer.invalidate();
        nextRecordStep();
    });
}

void RoomRun::nextRecordStep() {
    if (mPhase != Phase::Live || mRecordStep >= mOptions.record.size()) return;
    std::string step = mOptions.record[mRecordStep++];
    auto completion = [this, step](bool success, const json& result) {
        zqlive::emit(ojson{{"event", "record"}, {"op", step}, {"success", success}, {"result", ojson(result)}});
        if (!success) mRecordFailed = true;
        nextRecordStep();
    };
    if (step == "start") mUtil->startRecordWithCompletion(completion);
    else if (step == "pause") mUtil->pauseRecordWithCompletion(completion);
    else if (step == "resume") mUtil->resumeRecordWithCompletion(completion);
    else mUtil->stopRecordWithCompletion(completion);
}

void RoomRun::askForToken() {
    mTokenAsked = true;
    mTokenPending = true;
    // The answers come on the URL session's queue (a cached token on this one): a failed result alone,
    // or a successful result followed at once by the token. The run lives on the main queue.
    auto show = [this](bool success, std::string message, std::string token) {
        platform::DispatchQueue::main()->async(mSafety.safe([this, success, message, token] {
            zqlive::emit(ojson{{"event", "token"},
                               {"success", success},
                               {"message", message},
                               {"token", token.empty() ? json(nullptr) : json(token.substr(0, 4) + "…")}});
            if (!success) mTokenFailed = true;
            mTokenPending = false;
            if (mPhase == Phase::Done) finish();
        }));
    };
    auto message = std::make_shared<std::string>();
    mUtil->getInteractionToken(
        [show, message](bool success, const std::string& text) {
            if (success)
                *message = text;
            else
                show(false, text, "");
        },
        [show, message](const std::string& token) { show(true, *message, token); });
}

void RoomRun::stop(const std::string& failure) {
    if (mPhase == Phase::Stopping || mPhase == Phase::Done) return;
    if (!failure.empty() && !mFailure) mFailure = failure;
    // A broadcast that had lost its ingest when asked to stop did not run to its end: the facade
    // reports the error state, while the publisher's own reconnecting shows only in the session.
    auto session = mUtil ? mUtil->session() : nullptr;
    const bool connected = mConnectionStatus == 3 && (!session || session->state() == ZQLiveStart);
    if (!mFailure && mStarted && !connected) mFailure = "the connection to the ingest was lost";
    const bool wasPublishing = mPhase == Phase::Publishing || mPhase == Phase::Live;
    mPhase = Phase::Stopping;
    mLoginLimit.cancel();
    mDurationTask.cancel();
    if (!wasPublishing) {
        afterStopPush();
        return;
    }
    mUtil->stopPush();
    // A stop that did not complete at once waits for the connection attempt to reach its end; with
    // none running (the live is still being created, or failed) nothing more will stop.
    auto attempt = mUtil->firstPushTimer();
    if (!attempt || !attempt->isValid()) mStopConfirmed = true;
    double began = platform::mediaTime();
    mStopPoll = platform::Timer::scheduled(0.1, true, [this, began](platform::Timer& timer) {
        const double waited = platform::mediaTime() - began;
        auto liveStop = mUtil->liveStopURLCancel();
        const bool liveStopDone = !liveStop || liveStop->isFinished() || waited >= kLiveStopLimit;
        if ((mStopConfirmed || waited >= kStopLimit) && liveStopDone) {
            if (!mStopConfirmed && mStarted && !mFailure) mFailure = "publishing did not stop within 10 s";
            timer.invalidate();
            afterStopPush();
        }
    });
}

void RoomRun::afterStopPush() {
    mUtil->stopPreview();
    mUtil->logout();
    mPhase = Phase::Done;
    if (mTokenPending) {
        mTokenLimit = platform::DispatchQueue::main()->after(kTokenLimit, mSafety.safe([this] {
            mTokenPending = false;
            mTokenFailed = true;
            finish();
        }));
        return;
    }
    finish();
}

void RoomRun::finish() {
    if (mTokenPending) return;
    mTokenLimit.cancel();
    if (mStatusTimer) mStatusTimer->invalidate();
    mStatus.finish();
    if (!mFailure && !mOptions.loginOnly && !mStarted) mFailure = "interrupted before the broadcast started";
    if (!mFailure && mRecordFailed) mFailure = "a record step failed";
    if (!mFailure && mTokenFailed) mFailure = "the interaction token could not be fetched";
    const bool chatAsked = !mOptions.chats.empty() || mOptions.privateChat || mOptions.userCount || mOptions.roomContext;
    if (chatAsked && !mSocketConnected)
        zqlive::emit(ojson{{"event", "note"}, {"text", "chat options not sent: the room socket never connected"}});
    if (mPrivateChatPending)
        zqlive::emit(ojson{{"event", "note"}, {"text", "private chat not sent: the room context never arrived"}});
    if (mOptions.saveLog) zqlive::emit(ojson{{"event", "log"}, {"path", SaveLogUtil::sharedInstance().saveLogPath()}});
    zqlive::emit(ojson{{"event", "done"}, {"ok", !mFailure}, {"reason", mFailure ? json(*mFailure) : json(nullptr)}});
    if (mFailure && mExitCode == 0) mExitCode = 1;
    if (mFailure) std::fprintf(stderr, "zqlive room: %s\n", mFailure->c_str());
    platform::RunLoop::main().stop();
}

// The chat options go out once, on the first connection: a reconnection does not repeat them.
void RoomRun::socketStateChanged(zqmessaging::ScriptHost::ConnectionState state, const std::string& url) {
    zqlive::emit(ojson{{"event", "socket"}, {"state", zqmessaging::connectionStateName(state)}, {"url", url}});
    if (state != zqmessaging::ScriptHost::ConnectionState::Connected || mSocketConnected) return;
    mSocketConnected = true;
    if (mPhase == Phase::Stopping || mPhase == Phase::Done) return;
    if (mOptions.userCount) mUtil->roomUserCount();
    // A private chat names its target through the room context: ask for it when the run does not already.
    if (mOptions.roomContext || mOptions.privateChat) mUtil->roomContext();
    mPrivateChatPending = mOptions.privateChat.has_value();
    for (auto& text : mOptions.chats) mUtil->chatMessage(text);
}

void RoomRun::sendPrivateChat() {
    mPrivateChatPending = false;
    auto& [userId, text] = *mOptions.privateChat;
    if (mUtil->privateChatWithTouserid(userId, text)) return;
    const bool self = mUtil->viewerId() == userId;
    zqlive::emit(ojson{{"event", "note"},
                       {"text", "private chat to " + userId + " not sent: " +
                                    (self ? "that is this presenter" : "the room context does not list the user")}});
}

void RoomRun::updateStatus() {
    if (!mUtil) return;
    char text[256];
    auto session = mUtil->session();
    auto debug = session ? session->debugInfo() : nullptr;
    double heartbeat = mUtil->seconds() > 0 ? platform::wallTime() - mUtil->seconds() : -1;
    std::snprintf(text, sizeof text, "%-24s node %lld  %6.1f s  heartbeat %s  %6.0f kbit/s  dropped %lld",
                  mUtil->videoState().value_or("logging in").c_str(), static_cast<long long>(mUtil->smallIndex()),
                  mStarted ? platform::mediaTime() - mStartedAt : 0.0,
                  heartbeat < 0 ? "-" : (std::to_string(static_cast<int>(heartbeat)) + " s ago").c_str(),
                  debug ? debug->currentBandwidth() * 8 / 1000 : 0.0, debug ? static_cast<long long>(debug->dropFrame()) : 0LL);
    mStatus.update(text);
}

int RoomRun::run() {
    // Settings: the file wins over the environment, which wins over the built-in defaults.
    auto apply = [](bool (*setter)(std::optional<std::string>), const std::optional<std::string>& value) {
        if (value) setter(value);
    };
    apply(&QWServiceSettings::setViewHost, mOptions.config.viewHost);
    apply(&QWServiceSettings::setLiveHost, mOptions.config.liveHost);
    apply(&QWServiceSettings::setHTTPDNSURL, mOptions.config.httpDnsUrl);
    apply(&QWServiceSettings::setInteractionHost, mOptions.config.interactionHost);
    if (mOptions.config.caFile) platform::TrustSettings::setCaFile(mOptions.config.caFile);
    if (mOptions.config.appGroup) QWPushUtil::setApplicationGroup(*mOptions.config.appGroup);
    if (mOptions.saveLog) SaveLogUtil::sharedInstance().isNeedToSaveLog(true);

    // Before any thread starts, so every thread inherits the blocked signals.
    zqlive::InterruptWatch interrupts;
    interrupts.watch([this] { stop(""); });
    auto& loop = platform::RunLoop::main();
    QWPushUtil::setSessionMaker([this](auto audio, auto video, std::int64_t) { return mMedia.makeSession(audio, video); });
    // The kit's own socket host, watched so the chat options wait for the connection.
    // The facade may keep its host past this run: the host reaches the run only while it lasts.
    auto socketWatch = std::make_shared<zqmessaging::ScriptHost::StateHandler>(
        [this](zqmessaging::ScriptHost::ConnectionState state, const std::string& url) { socketStateChanged(state, url); });
    QWPushUtil::setScriptHostFactory([watch = std::weak_ptr(socketWatch)] {
        auto host = zqmessaging::makeNativeScriptHost();
        host->setStateHandler([watch](zqmessaging::ScriptHost::ConnectionState state, const std::string& url) {
            if (auto handler = watch.lock()) (*handler)(state, url);
        });
        return host;
    });
    // The session's own microphone (a device or a file): an input that fails ends the run.
    std::unique_ptr<zqlive::AudioInputWatch> audioInput;
    if (mOptions.audio.captured()) {
        audioInput = std::make_unique<zqlive::AudioInputWatch>(mOptions.audio);
        audioInput->setFailureHandler([this, &audioInput] { stop("audio input failed: " + audioInput->failure()); });
    }
    platform::DispatchQueue::main()->async([this] { start(); });
    loop.run();
    mMedia.stop();
    QWPushUtil::setSessionMaker(nullptr);
    QWPushUtil::setScriptHostFactory(nullptr);
    socketWatch.reset();
    if (mStopPoll) mStopPoll->invalidate();
    if (mRecordWait) mRecordWait->invalidate();
    mUtil.reset();
    QWPushUtil::attempDealloc();
    return mExitCode;
}

int runRoom(const std::vector<std::string>& argv) {
    RoomRun run(parse(argv));
    return run.run();
}

} // namespace

ZQLIVE_COMMAND(room, "room", "log in to a room, publish a broadcast through the push facade, stop and log out", kUsage,
               runRoom);
