// Fuzzes the script-call parser: any text is either rejected or parsed into one of the four calls,
// and what it parses comes back unchanged through the builders.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>
#include "service/messaging/ScriptCall.h"

using zqmessaging::ScriptCall;

namespace {

std::string rebuild(const ScriptCall& call) {
    const auto& a = call.arguments;
    switch (call.function) {
    case ScriptCall::Function::SocketIOConnect: return zqmessaging::socketIOConnectScript(a[0], a[1], a[2], a[3], a[4]);
    case ScriptCall::Function::SocketIOEmit: return zqmessaging::socketIOEmitScript(a[0], a[1]);
    case ScriptCall::Function::SocketIOEmitWithOutBuffer: return zqmessaging::socketIOEmitWithOutBufferScript(a[0], a[1]);
    case ScriptCall::Function::SocketClose: return zqmessaging::socketCloseScript();
    }
    std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    std::string error;
    auto call = zqmessaging::parseScriptCall(text, &error);
    if (!call) {
        if (error.empty()) std::abort();
        return 0;
    }
    auto again = zqmessaging::parseScriptCall(rebuild(*call));
    if (!again || again->function != call->function || again->arguments != call->arguments) std::abort();

    // Any argument text survives the builders byte for byte once it is well-formed UTF-8.
    std::string argument = call->arguments.empty() ? std::string(text) : call->arguments.back();
    auto emitted = zqmessaging::parseScriptCall(zqmessaging::socketIOEmitScript("e", argument));
    if (!emitted || emitted->arguments.size() != 2) std::abort();
    return 0;
}
