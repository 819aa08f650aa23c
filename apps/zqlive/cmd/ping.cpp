// zqlive ping: probes hosts by ICMP echo and ranks them the way the kit picks an ingest node.
#include <cstdio>
#include <string>
#include <vector>
#include "ZQLiveKit/ZQPingManager.h"
#include "ZQPlatform/RunLoop.h"
#include "apps/zqlive/Cli.h"

namespace {

int runPing(const std::vector<std::string>& argv) {
    zqlive::Args args(argv, {"records"});
    args.allowOnly({"count", "records"});
    long long count = args.integer("count", ZQPingManager::kDefaultProbeCount, 1, 1000);
    if (args.positionals().empty()) throw zqlive::UsageError("name at least one host");

    nlohmann::json candidates = nlohmann::json::array();
    for (auto& argument : args.positionals()) {
        auto eq = argument.find('=');
        std::string host = argument.substr(0, eq);
        if (host.empty()) throw zqlive::UsageError("empty host in '" + argument + "'");
        candidates.push_back({{"host", host}, {"desc", eq == std::string::npos ? host : argument.substr(eq + 1)}});
    }

    zqlive::StatusLine status;
    ZQPingManager manager;
    manager.setProbeCount(static_cast<long>(count));
    bool records = args.has("records");
    int answered = 0;
    manager.setRecordHandler([&](const ZQPingItem& item) {
        if (item.status() == ZQPingStatusReplied) status.update(item.hostName() + ": reply " + std::to_string(++answered));
        if (!records) return;
        zqlive::emit({{"event", "record"},
                      {"host", item.hostName()},
                      {"desc", item.desc()},
                      {"status", static_cast<unsigned>(item.status())},
                      {"delay", item.millSecondsDelay()}});
    });

    bool found = false;
    manager.getFatestAddress(candidates, [&](const std::optional<std::string>& fastest,
                                             const std::optional<nlohmann::json>& rows) {
        status.finish();
        // The manager ranks a host whose probes were all lost (at 1000 ms each); with no answer from
        // any host there is no fastest one to name.
        found = fastest.has_value() && answered > 0;
        zqlive::emit({{"event", "result"},
                      {"fastest", found ? nlohmann::json(*fastest) : nlohmann::json(nullptr)},
                      {"rows", rows ? *rows : nlohmann::json::array()}});
        platform::RunLoop::main().stop();
    });
    // Every run ends (answered, lost or failed), so the completion always comes.
    platform::RunLoop::main().run();
    if (!found) std::fprintf(stderr, "zqlive ping: no host answered\n");
    return found ? 0 : 1;
}

} // namespace

ZQLIVE_COMMAND(ping, "ping", "probe hosts by ICMP echo and rank them by mean delay",
               "ping HOST[=DESC]... [--count N] [--records]\n\n"
               "  HOST[=DESC]  a host name or address, with the label shown in the rows (default: the host)\n"
               "  --count N    probes per host (default 3)\n"
               "  --records    print every probe record as it happens\n\n"
               "Prints {\"event\":\"result\",\"fastest\":...,\"rows\":[...]}; exits 1 (fastest null) when no probe of\n"
               "any host was answered.",
               runPing);
