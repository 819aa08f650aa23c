#pragma once
#include <optional>
#include <string>
#include <utility>
#include "ZQSLivePushStoreModule/Export.h"

// What the store client needs from the application: the interaction token it obtained from the
// kit's facade. Set it before the first request; without one, requests carry no token header.
class ZQS_STORE_EXPORT ZQSLivePushStoreFuncConfig {
public:
    const std::optional<std::string>& token() const { return mToken; }
    void setToken(std::optional<std::string> token) { mToken = std::move(token); }

private:
    std::optional<std::string> mToken;
};
