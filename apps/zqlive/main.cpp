// zqlive: drives the kit's libraries for demos, diagnostics and acceptance tests.
// Every subcommand prints JSON lines on stdout and exits non-zero with a one-line reason on failure.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <vector>
#include "apps/zqlive/Cli.h"

namespace {
void printUsage(FILE* out) {
    std::fprintf(out, "usage: zqlive <command> [options]   (zqlive <command> --help for details)\n\ncommands:\n");
    auto commands = zqlive::CommandRegistry::all();
    std::sort(commands.begin(), commands.end(),
              [](const auto& a, const auto& b) { return std::strcmp(a.name, b.name) < 0; });
    for (auto& c : commands) std::fprintf(out, "  %-14s %s\n", c.name, c.summary);
}
} // namespace

int main(int argc, char** argv) {
    if (argc < 2 || !std::strcmp(argv[1], "--help") || !std::strcmp(argv[1], "-h")) {
        printUsage(argc < 2 ? stderr : stdout);
        return argc < 2 ? 2 : 0;
    }
    std::string name = argv[1];
    std::vector<std::string> rest(argv + 2, argv + argc);
    for (auto& command : zqlive::CommandRegistry::all()) {
        if (name != command.name) continue;
        if (std::find(rest.begin(), rest.end(), "--help") != rest.end()) {
            std::printf("usage: zqlive %s\n\n%s\n", command.usage, command.summary);
            return 0;
        }
        try {
            return command.run(rest);
        } catch (const zqlive::UsageError& e) {
            std::fprintf(stderr, "zqlive %s: %s\n", command.name, e.what());
            return 2;
        } catch (const std::exception& e) {
            std::fprintf(stderr, "zqlive %s: %s\n", command.name, e.what());
            return 1;
        }
    }
    std::fprintf(stderr, "zqlive: unknown command '%s'\n", name.c_str());
    printUsage(stderr);
    return 2;
}
