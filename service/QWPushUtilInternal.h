#pragma once
// Shared by the facade's source files: the delegate call helper and the texts they share.
#include <utility>
#include "ZQLiveKit/QWPushUtil.h"
#include "platform/foundation/DispatchCheck.h"

template <class F, class... Args>
bool QWPushUtil::callDelegate(F QWPushUtilDelegate::*slot, Args&&... args) {
    // Held through the call, and the function copied, so a delegate may let go of itself inside it.
    auto delegate = mDelegate.lock();
    if (!delegate || !((*delegate).*slot)) return false;
    auto function = (*delegate).*slot;
    function(std::forward<Args>(args)...);
    return true;
}

namespace zqservice {

// The socket page's handler name and script calls.
inline constexpr const char* kSocketMessageHandler = "socket_message";

} // namespace zqservice
