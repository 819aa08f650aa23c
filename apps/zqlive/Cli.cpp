#include "apps/zqlive/Cli.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <csignal>
#include <iostream>
#include <sys/signalfd.h>
#include <unistd.h>
#include "ZQPlatform/RunLoop.h"

namespace zqlive {

Args::Args(std::vector<std::string> argv, std::vector<std::string> switches) : mSwitches(std::move(switches)) {
    for (std::size_t i = 0; i < argv.size(); ++i) {
        const std::string& arg = argv[i];
        if (arg.rfind("--", 0) != 0 || arg.size() == 2) {
            mPositionals.push_back(arg);
            continue;
        }
        std::string name = arg.substr(2);
        std::string value;
        if (auto eq = name.find('='); eq != std::string::npos) {
            value = name.substr(eq + 1);
            name.resize(eq);
        } else if (std::find(mSwitches.begin(), mSwitches.end(), name) == mSwitches.end()) {
            if (i + 1 >= argv.size()) throw UsageError("option --" + name + " needs a value");
            value = argv[++i];
        }
        mOptions[name] = value;
        mInOrder.emplace_back(name, value);
    }
}

std::vector<std::string> Args::values(const std::string& name) const {
    std::vector<std::string> result;
    for (auto& [option, value] : mInOrder)
        if (option == name) result.push_back(value);
    return result;
}

bool Args::has(const std::string& name) const { return mOptions.count(name) != 0; }

std::optional<std::string> Args::value(const std::string& name) const {
    auto it = mOptions.find(name);
    if (it == mOptions.end()) return std::nullopt;
    return it->second;
}

std::string Args::valueOr(const std::string& name, const std::string& fallback) const {
    return value(name).value_or(fallback);
}

long long Args::integer(const std::string& name, long long fallback, long long min, long long max) const {
    auto text = value(name);
    if (!text) return fallback;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text->c_str(), &end, 10);
    if (text->empty() || *end || errno || v < min || v > max)
        throw UsageError("--" + name + " must be an integer from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", got '" + *text + "'");
    return v;
}

double Args::number(const std::string& name, double fallback, double min, double max) const {
    auto text = value(name);
    if (!text) return fallback;
    char* end = nullptr;
    double v = std::strtod(text->c_str(), &end);
    if (text->empty() || *end || !(v >= min && v <= max))
        throw UsageError("--" + name + " must be a number from " + std::to_string(min) + " to " +
                         std::to_string(max) + ", got '" + *text + "'");
    return v;
}

void Args::allowOnly(const std::vector<std::string>& known) const {
    for (auto& [name, v] : mOptions)
        if (std::find(known.begin(), known.end(), name) == known.end()) throw UsageError("unknown option --" + name);
}

void emit(const nlohmann::ordered_json& event) {
    std::string line = event.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

StatusLine::StatusLine() : mActive(isatty(STDERR_FILENO) != 0) {}
StatusLine::~StatusLine() { finish(); }

void StatusLine::update(const std::string& text) {
    if (!mActive) return;
    std::fprintf(stderr, "\r\033[K%s", text.c_str());
    std::fflush(stderr);
    mDrawn = true;
}

void StatusLine::finish() {
    if (mActive && mDrawn) std::fputc('\n', stderr);
    mDrawn = false;
}

InterruptWatch::InterruptWatch() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    mFd = signalfd(-1, &signals, SFD_CLOEXEC | SFD_NONBLOCK);
}

InterruptWatch::~InterruptWatch() {
    if (mWatching) platform::RunLoop::main().removeSource(mSource);
    if (mFd >= 0) ::close(mFd);
}

void InterruptWatch::watch(std::function<void()> handler) {
    if (mFd < 0 || mWatching) return;
    mWatching = true;
    mSource = platform::RunLoop::main().addReadSource(mFd, [fd = mFd, handler = std::move(handler)] {
        signalfd_siginfo info;
        while (::read(fd, &info, sizeof info) == sizeof info) {
        }
        handler();
    });
}

std::vector<Command>& CommandRegistry::all() {
    static std::vector<Command> commands;
    return commands;
}

} // namespace zqlive
