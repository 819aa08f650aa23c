#pragma once
// Runs the built zqlive tool as a user would, keeping its JSON lines and its stderr apart.
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>
#include "tests/support/TestUtil.h"

namespace zqtest {

struct ZqliveRun {
    int status = -1;
    std::vector<nlohmann::json> events; // stdout, one JSON object a line
    std::string errors;                 // stderr

    // The first event of that name (null when there is none).
    nlohmann::json event(const std::string& name) const {
        for (const auto& e : events)
            if (e["event"] == name) return e;
        return nullptr;
    }
};

// `arguments` go through /bin/sh after the tool's path; `environment` ("NAME=value ...") before it.
inline ZqliveRun runZqlive(const std::string& arguments, const std::string& environment = "") {
    TempDir dir;
    ZqliveRun run;
    std::string output;
    run.status = runCommand(environment + " " + buildDir() + "/bin/zqlive " + arguments + " 2>" + dir.file("err"),
                            &output);
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) run.events.push_back(nlohmann::json::parse(line));
    run.errors = readFile(dir.file("err"));
    return run;
}

} // namespace zqtest
