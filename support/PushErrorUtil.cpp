#include "ZQLiveKit/PushErrorUtil.h"

#include <array>
#include "ZQLiveKit/ZQLocalization.h"

namespace {
constexpr long kFirstCode = 1001;
// Indexed by code - 1001.
constexpr std::array<const char*, 10> kMessages = {
    "密码错误",         // 1001 login refused: wrong password
    "心跳请求失败",     // 1002 live start refused or unreadable
    "长时间未推流",     // 1003 no healthy publishing for too long
    "RTMP连接失败",     // 1004
    "RTMP连接超时",     // 1005
    "返回内容格式错误", // 1006 unreadable reply or incomplete login data
    "可能是参数错误",   // 1007 live create refused
    "网络异常",         // 1008 network unreachable
    "网络超时",         // 1009 request failed or RTMP link check failed
    "暂不支持多主讲",   // 1010
};
} // namespace

std::optional<std::string> PushErrorUtil::messageForCode(long code) {
    if (code < kFirstCode || code >= kFirstCode + static_cast<long>(kMessages.size())) return std::nullopt;
    return kMessages[static_cast<std::size_t>(code - kFirstCode)];
}

platform::Error PushErrorUtil::createAnErrorWithDesc(long code) {
    // A code without a message gets an empty description rather than a made-up text: the kit never
    // asks for one, and an application can still tell the code.
    auto message = messageForCode(code);
    std::string description = message ? ZQLocalization::localizedString(*message) : std::string();
    platform::Error error;
    error.domain = kErrorDomain;
    error.code = code;
    error.localizedDescription = description;
    error.userInfo = nlohmann::json::object({{kLocalizedDescriptionKey, description}});
    return error;
}
