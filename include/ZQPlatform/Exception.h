#pragma once
#include <stdexcept>
#include <string>
#include "ZQPlatform/Export.h"

namespace platform {

// The one exception the kit throws (NSException): only the few constructors that refuse a missing
// argument raise it. Carries a name and a reason; what() is the reason.
class ZQ_PLATFORM_EXPORT Exception : public std::runtime_error {
public:
    Exception(std::string name, const std::string& reason);
    ~Exception() override;

    const std::string& name() const { return mName; }
    std::string reason() const { return what(); }

private:
    std::string mName;
};

} // namespace platform
