#pragma once
#include <optional>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Error.h"

// Turns the kit's error codes (1001 to 1010) into the error objects handed to the application.
class ZQLIVEKIT_EXPORT PushErrorUtil {
public:
    static constexpr const char* kErrorDomain = "com.MyCompany.MyApplication.ErrorDomain";
    // The user-info key that carries the description, as the application's error type names it.
    static constexpr const char* kLocalizedDescriptionKey = "NSLocalizedDescription";

    // An error with the kit's domain, `code`, and the code's message translated through the
    // application's string table. A code without a message (outside 1001 to 1010) still yields an
    // error of that domain and code, with an empty description. Any thread.
    static platform::Error createAnErrorWithDesc(long code);
    // The untranslated message of a kit error code, or none outside 1001 to 1010. Any thread.
    static std::optional<std::string> messageForCode(long code);
};
