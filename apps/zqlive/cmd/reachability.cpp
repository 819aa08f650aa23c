// zqlive reachability: the network status the kit sees before it talks to the room service.
#include <string>
#include <vector>
#include "ZQLiveKit/QWPushReachability.h"
#include "apps/zqlive/Cli.h"

namespace {

int runReachability(const std::vector<std::string>& argv) {
    zqlive::Args args(argv, {});
    args.allowOnly({});
    if (args.positionals().size() > 1) throw zqlive::UsageError("takes at most one host");
    auto reachability = args.positionals().empty()
                            ? QWPushReachability::reachabilityForInternetConnection()
                            : QWPushReachability::reachabilityWithHostName(args.positionals().front());
    if (!reachability) throw zqlive::UsageError("not a host name or address: '" + args.positionals().front() + "'");
    zqlive::emit({{"event", "reachability"},
                  {"status", reachability->currentReachabilityStatus()},
                  {"connectionRequired", reachability->connectionRequired()}});
    return 0;
}

} // namespace

ZQLIVE_COMMAND(reachability, "reachability", "report whether the network is reachable and over which link",
               "reachability [HOST]\n\n"
               "  HOST  a host name or address (default: the internet at large)\n\n"
               "Prints {\"event\":\"reachability\",\"status\":n,\"connectionRequired\":bool}: status 0 not reachable,\n"
               "2 reachable (not cellular), 3/4/5 cellular 2G/3G/LTE.",
               runReachability);
