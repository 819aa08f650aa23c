#include "service/SocketScripts.h"

#include <cstdint>
#include <initializer_list>
#include "service/JsonValue.h"

namespace zqservice {
namespace {

std::string call(std::string_view function, std::initializer_list<std::string_view> arguments) {
    std::string text(function);
    text.push_back('(');
    bool first = true;
    for (auto argument : arguments) {
        if (!first) text.push_back(',');
        first = false;
        text.push_back('\'');
        text += scriptString(argument);
        text.push_back('\'');
    }
    text.push_back(')');
    return text;
}

} // namespace

std::string scriptString(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t length = utf8SequenceLength(text, i);
        if (length == 0) {
            out += "\xEF\xBF\xBD"; // U+FFFD
            ++i;
            continue;
        }
        std::string_view sequence = text.substr(i, length);
        i += length;
        if (sequence == "\\") out += "\\\\";
        else if (sequence == "'") out += "\\'";
        else if (sequence == "\"") out += "\\\"";
        else if (sequence == "\n") out += "\\n";
        else if (sequence == "\r") out += "\\r";
        else if (sequence == "\xE2\x80\xA8") out += "\\u2028";
        else if (sequence == "\xE2\x80\xA9") out += "\\u2029";
        else out += sequence;
    }
    return out;
}

std::string socketIOConnectScript(std::string_view url, std::string_view spareUrl, std::string_view sessionId,
                                  std::string_view platform, std::string_view terminal) {
    return call("socketIOConnect", {url, spareUrl, sessionId, platform, terminal});
}

std::string socketIOEmitScript(std::string_view event, std::string_view message) {
    return call("socketIOEmit", {event, message});
}

std::string socketIOEmitWithOutBufferScript(std::string_view event, std::string_view message) {
    return call("socketIOEmitWithOutBuffer", {event, message});
}

std::string socketCloseScript() { return "socketClose()"; }

} // namespace zqservice
