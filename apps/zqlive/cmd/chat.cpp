// zqlive chat: the room messaging bridge alone, for diagnosing a room's socket server. Loads the
// native script host, connects it as the kit would, sends messages and prints what the host posts.
#include <cstdio>
#include <memory>
#include <string>
#include <vector>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/RunLoop.h"
#include "apps/zqlive/Cli.h"
#include "service/messaging/ScriptCall.h"
#include "service/messaging/ScriptHost.h"

namespace {

using zqmessaging::ScriptHost;

constexpr const char* kUsage =
    "chat --url URL --session S [--spare URL] [--send TEXT]... [--event NAME] [--listen SEC]\n"
    "            [--connect-timeout SEC]\n\n"
    "  --url URL              the room's socket URL, e.g. http://host:port/ROOM (the path is the namespace)\n"
    "  --session S            the session id sent in the handshake\n"
    "  --spare URL            the spare socket URL, tried in turn when the first cannot be reached\n"
    "  --send TEXT            a message to emit once connected; repeatable, sent in order\n"
    "  --event NAME           the event the messages are sent as (default chat_message)\n"
    "  --listen SEC           stay connected this long after sending (default: with --send, leave once\n"
    "                         the messages are out; without, until SIGINT or SIGTERM)\n"
    "  --connect-timeout SEC  give up when not connected by then (default 10)\n\n"
    "Prints {\"event\":\"socket\",\"state\":\"connecting|connected|disconnected|closed\",\"url\":...} for every\n"
    "state change, {\"event\":\"socket_message\",\"type\":...,\"param\":...} for every message the host posts\n"
    "and {\"event\":\"sent\",\"type\":...,\"message\":...} for every message sent. Exits 1 when it cannot connect.";

// The platform and terminal values the kit itself sends.
constexpr const char* kPlatform = "3";
constexpr const char* kTerminal = "1";

int runChat(const std::vector<std::string>& argv) {
    zqlive::Args args(argv, {});
    args.allowOnly({"url", "session", "spare", "send", "event", "listen", "connect-timeout"});
    if (!args.positionals().empty()) throw zqlive::UsageError("unexpected argument '" + args.positionals()[0] + "'");
    auto url = args.value("url");
    auto session = args.value("session");
    if (!url || url->empty()) throw zqlive::UsageError("--url is required");
    if (!session) throw zqlive::UsageError("--session is required");
    std::string spare = args.valueOr("spare", "");
    std::vector<std::string> sends = args.values("send");
    std::string event = args.valueOr("event", "chat_message");
    if (event.empty()) throw zqlive::UsageError("--event must not be empty");
    double listen = args.number("listen", -1, 0, 7 * 86400);
    double connectTimeout = args.number("connect-timeout", 10, 0.1, 3600);

    zqlive::InterruptWatch interrupts; // before the host starts its thread
    auto& loop = platform::RunLoop::main();
    loop.runUntilIdle(); // this thread is the main thread from here on

    zqlive::StatusLine status;
    bool connected = false;
    bool done = false;
    int exitCode = 0;
    std::string failure;
    std::string refusal; // the server's connect_error text, if any
    platform::DelayedTask connectDeadline;
    platform::DelayedTask listenTimer;
    auto finish = [&](int code, std::string reason) {
        if (done) return;
        done = true;
        exitCode = code;
        failure = std::move(reason);
        loop.stop();
    };

    std::unique_ptr<ScriptHost> host = zqmessaging::makeNativeScriptHost();
    host->setMessageHandler([&](const std::string&, const nlohmann::json& body) {
        std::string type = body.value("type", "");
        std::string param = body.value("param", "");
        if (type == "connect_error") refusal = param;
        zqlive::emit({{"event", "socket_message"}, {"type", type}, {"param", param}});
    });
    host->setStateHandler([&](ScriptHost::ConnectionState state, const std::string& stateURL) {
        zqlive::emit({{"event", "socket"}, {"state", zqmessaging::connectionStateName(state)}, {"url", stateURL}});
        status.update(std::string(zqmessaging::connectionStateName(state)) + " " + stateURL);
        if (state == ScriptHost::ConnectionState::Closed && !connected) {
            finish(1, refusal.empty() ? "the connection was closed before it was established"
                                      : "the server refused the room: " + refusal);
            return;
        }
        if (state != ScriptHost::ConnectionState::Connected || connected) return;
        connected = true;
        connectDeadline.cancel();
        for (const auto& text : sends) {
            host->evaluateJavaScript(zqmessaging::socketIOEmitScript(event, text));
            zqlive::emit({{"event", "sent"}, {"type", event}, {"message", text}});
        }
        if (listen >= 0) {
            listenTimer = platform::DispatchQueue::main()->after(listen, [&] { finish(0, ""); });
        } else if (!sends.empty()) {
            finish(0, ""); // closing the host sends what is queued first
        }
    });
    host->load([&] {
        host->evaluateJavaScript(zqmessaging::socketIOConnectScript(*url, spare, *session, kPlatform, kTerminal));
    });
    connectDeadline = platform::DispatchQueue::main()->after(connectTimeout, [&] {
        if (!connected) {
            char reason[96];
            std::snprintf(reason, sizeof reason, "could not connect within %g s", connectTimeout);
            finish(1, reason);
        }
    });
    interrupts.watch([&] { finish(connected ? 0 : 1, connected ? "" : "interrupted before connecting"); });

    loop.run();
    connectDeadline.cancel();
    listenTimer.cancel();
    host.reset(); // leaves the room and closes the socket
    status.finish();
    if (exitCode != 0) std::fprintf(stderr, "zqlive chat: %s\n", failure.c_str());
    return exitCode;
}

} // namespace

ZQLIVE_COMMAND(chat, "chat", "connect to a room's socket server, send messages and print what arrives", kUsage,
               runChat);
