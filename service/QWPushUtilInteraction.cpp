// The facade's interaction settings and the interaction token.
#include "ZQLiveKit/QWServiceSettings.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Format.h"
#include "ZQPlatform/JSONSerialization.h"
#include "service/JsonValue.h"
#include "service/QWPushUtilInternal.h"
#include "service/RoomRequests.h"

void QWPushUtil::interactionEventWithDict(const std::optional<nlohmann::json>& dict) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (!dict || !dict->is_object()) return;
    auto model = std::make_shared<ZQSInteractionConfigureModel>();
    if (const nlohmann::json* value = zqservice::member(*dict, "liveCommerce")) {
        std::int64_t liveCommerce = zqservice::integerValue(*value).value_or(0);
        model->setIsLiveStoreSwitch(liveCommerce);
        mLiveStoreSwitch = liveCommerce;
    }
    callDelegate(&QWPushUtilDelegate::onInteractionConfigure, model);
}

void QWPushUtil::getInteractionToken(TokenResult result, TokenCallback token) {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mLiveStoreSwitch == 0) {
        if (result) result(false, "Interaction Function is Not Enabled.");
        return;
    }
    if (mInteractionToken && !mInteractionToken->empty()) {
        if (result) result(true, "Succed");
        if (token) token(*mInteractionToken);
        return;
    }
    zqservice::TokenFields fields{mLoginUserId.value_or(""), mLoginRoomId.value_or(""), mViewerId.value_or(""),
                                  mLoginViewerName.value_or(""), mKey.value_or("")};
    auto request = zqservice::interactionTokenRequest(
        zqservice::serviceBase(QWServiceSettings::interactionHost(), zqservice::kInteractionTokenPath), fields, mSecurity);
    std::weak_ptr<QWPushUtil> weak = weak_from_this();
    // Answers run on the URL session's queue, as the callers of this operation expect.
    auto task = platform::URLSession::shared()->dataTask(
        request, [weak, result, token](const std::optional<platform::Error>& error,
                                       const std::optional<platform::HTTPURLResponse>& response,
                                       const std::optional<std::string>& data) {
            auto answer = [&](bool success, const std::string& message) {
                if (result) result(success, message);
            };
            if (error) return answer(false, error->localizedDescription);
            if (!response) return answer(false, "response == nil");
            if (!data) return answer(false, "data == nil");
            if (response->statusCode == 200) {
                if (auto self = weak.lock()) self->receiveInteractionWithData(data, result, token);
                return;
            }
            platform::Error parseError;
            auto parsed = platform::JSONSerialization::parse(*data, &parseError);
            if (!parsed) return answer(false, parseError.localizedDescription);
            std::string message;
            if (const nlohmann::json* value = zqservice::member(*parsed, "message"))
                message = value->is_string() ? value->get<std::string>() : value->dump();
            answer(false, platform::stringWithFormat("code:%ld --> message:%s", response->statusCode, message.c_str()));
        });
    task->resume();
}

void QWPushUtil::receiveInteractionWithData(const std::optional<std::string>& data, const TokenResult& result,
                                            const TokenCallback& token) {
    auto answer = [&](bool success, const std::string& message) {
        if (result) result(success, message);
    };
    if (!data) return answer(false, "data is bad");
    platform::Error error;
    auto parsed = platform::JSONSerialization::parse(*data, &error);
    if (!parsed) return answer(false, error.localizedDescription);
    // Every answer ends in a callback: a caller must never wait for one that does not come.
    if (!parsed->is_object()) return answer(false, "the interaction service's answer is not a JSON object");
    const nlohmann::json& body = *parsed;
    if (zqservice::boolMember(body, "success").value_or(false)) {
        const nlohmann::json* payload = zqservice::member(body, "data");
        auto value = payload ? zqservice::stringMember(*payload, "token") : std::nullopt;
        if (!value) return answer(false, "the interaction service's answer holds no token");
        if (value->empty()) return answer(false, "toke is nil");
        answer(true, "Succed");
        if (token) token(*value);
        return;
    }
    const nlohmann::json* refusal = zqservice::member(body, "error");
    if (!refusal) return answer(false, "the interaction service refused without a reason");
    answer(false, refusal->is_string() ? refusal->get<std::string>() : refusal->dump());
}

std::optional<std::string> QWPushUtil::compactFormatDataForDictionary(const nlohmann::json& object) {
    if (!object.is_object()) return std::nullopt;
    return platform::JSONSerialization::serialize(object);
}
