#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/ZQSInteractionConfigureModel.h"
#include "ZQPlatform/Error.h"

// What the facade reports to the application. Every operation is optional: an operation is
// "implemented" when its slot holds a function, and the facade asks before each call, because for a
// few of them it acts differently when the application does not listen (a failed login only closes
// the socket when requestLoginFailed is implemented). Set the slots before handing the delegate to
// the facade; the facade holds it weakly and calls it on the main queue.
//
// Slot names follow the operations' first keywords (requestLoginFailed:reason: -> requestLoginFailed);
// docs/naming.md lists them.
class ZQLIVEKIT_EXPORT QWPushUtilDelegate {
public:
    using Failure = std::function<void(const std::optional<platform::Error>& error, const std::optional<std::string>& reason)>;
    using Text = std::function<void(const std::string& text)>;
    using Signal = std::function<void()>;

    // requestLoginFailed:reason: the login could not be done or was refused.
    Failure requestLoginFailed;
    // roomInfo: {"module", "manuallyRecordMode", "openHostMode", "liveDuration"} as received.
    std::function<void(const nlohmann::json& roomInfo)> roomInfo;
    // roomName: the node list is ready (the room's name, none when the login answer had none).
    std::function<void(const std::optional<std::string>& roomName)> roomName;
    // nodeListDic:bestNodeIndex: the node list ({desc: {"time": text, "index": n}}) and the chosen
    // node (1-based, 0 for none).
    std::function<void(const nlohmann::json& nodeList, std::int64_t bestNodeIndex)> nodeListDic;
    // requestLoginSucceedWithViewerId: the last step of a login (none when the answer had no id).
    std::function<void(const std::optional<std::string>& viewerId)> requestLoginSucceedWithViewerId;
    // pushFailed:reason: a publishing step failed.
    Failure pushFailed;
    // getLiveidBeforPush: a live was created, right before connecting.
    Text getLiveidBeforPush;
    // isConnectionNetWork: a connection attempt starts.
    Signal isConnectionNetWork;
    // setConnectionStatus: 1 connecting, 3 connected, 5 failed or error.
    std::function<void(std::int64_t status)> setConnectionStatus;
    // connectedNetWorkFinished: the session reached its started or error state.
    Signal connectedNetWorkFinished;
    // stopPushSuccessful: publishing stopped.
    Signal stopPushSuccessful;

    // Room messages (payload strings unchanged).
    Text room_user_count;
    Text on_chat_message;
    Text on_private_chat;
    // customMessage: the "message" value of a custom message (null when absent).
    std::function<void(const nlohmann::json& message)> customMessage;
    // receivePublisherId:onlineUsers: the room context's publisher id (none without one) and the
    // online users, id to name.
    std::function<void(const std::optional<std::string>& publisherId, const std::map<std::string, std::string>& onlineUsers)>
        receivePublisherId;
    Signal publishStream;
    std::function<void(bool isMe)> setMainSpeaker;
    Signal endStream;
    Signal kick_out;

    // onInteractionConfigure: the room's interaction settings.
    std::function<void(const std::shared_ptr<ZQSInteractionConfigureModel>& model)> onInteractionConfigure;
};
