#pragma once
#include <string>
#include <string_view>

// The script calls the facade evaluates in the socket page, as text. Each argument is written as a
// JavaScript single-quoted string literal, so a quote, a backslash or a line break in a chat text
// cannot end the argument or the call. Pure; any thread.
namespace zqservice {

// The text as the body of a single-quoted literal: \ ' " line feed, carriage return, U+2028 and
// U+2029 escaped, bytes that are not UTF-8 replaced by U+FFFD.
std::string scriptString(std::string_view text);

std::string socketIOConnectScript(std::string_view url, std::string_view spareUrl, std::string_view sessionId,
                                  std::string_view platform, std::string_view terminal);
std::string socketIOEmitScript(std::string_view event, std::string_view message);
std::string socketIOEmitWithOutBufferScript(std::string_view event, std::string_view message);
std::string socketCloseScript();

} // namespace zqservice
