#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <vector>
#include "ZQLiveKit/Export.h"

// The four script calls between the facade and the socket page, as text: builders for the facade
// and the parser of the native host, kept together so that they round-trip.
//
// Each argument is written as a JavaScript single-quoted string literal. The builders escape
// "\\" "'" "\"" as \\ \' \", line feed and carriage return as \n \r, U+2028 and U+2029 as \u2028
// \u2029, and replace ill-formed UTF-8 with U+FFFD; every other character is written as it is, so
// any text (quotes, backslashes, "</script>", emoji) arrives byte for byte. The parser takes exactly
// these escapes back and rejects anything else.
//
// All functions are pure; any thread.
namespace zqmessaging {

struct ScriptCall {
    enum class Function { SocketIOConnect, SocketIOEmit, SocketIOEmitWithOutBuffer, SocketClose };
    Function function;
    // SocketIOConnect: socket url, spare url, session id, platform, terminal. SocketIOEmit and
    // SocketIOEmitWithOutBuffer: event name, message. SocketClose: none.
    std::vector<std::string> arguments;
};

// "socketIOConnect('…','…','…','…','…')"
ZQLIVEKIT_EXPORT std::string socketIOConnectScript(std::string_view url, std::string_view spareUrl,
                                                   std::string_view sessionId, std::string_view platform,
                                                   std::string_view terminal);
// "socketIOEmit('…','…')"
ZQLIVEKIT_EXPORT std::string socketIOEmitScript(std::string_view event, std::string_view message);
// "socketIOEmitWithOutBuffer('…','…')"
ZQLIVEKIT_EXPORT std::string socketIOEmitWithOutBufferScript(std::string_view event, std::string_view message);
// "socketClose()"
ZQLIVEKIT_EXPORT std::string socketCloseScript();

// The text as the body of a single-quoted string literal (without the quotes).
ZQLIVEKIT_EXPORT std::string escapeScriptString(std::string_view text);

// Parses one call: optional blanks, the function's name, "(", its arguments as single-quoted strings
// separated by ",", ")", an optional ";" and blanks. The name must be one of the four functions and
// the number of arguments its own. Anything else gives nullopt and, when `error` is given, why.
ZQLIVEKIT_EXPORT std::optional<ScriptCall> parseScriptCall(std::string_view script, std::string* error = nullptr);

} // namespace zqmessaging
