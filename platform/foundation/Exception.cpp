#include "ZQPlatform/Exception.h"

namespace platform {

Exception::Exception(std::string name, const std::string& reason)
    : std::runtime_error(reason), mName(std::move(name)) {}

// Out of line so that the type's identity lives in this library and a catch in one kit library
// matches a throw in another.
Exception::~Exception() = default;

} // namespace platform
