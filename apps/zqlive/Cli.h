#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zqlive {

// A bad command line: the message is printed as the one-line reason.
struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// Command-line arguments: positionals plus "--name value" options and "--name" switches.
class Args {
public:
    // `switches` are the options that take no value.
    Args(std::vector<std::string> argv, std::vector<std::string> switches);

    const std::vector<std::string>& positionals() const { return mPositionals; }
    bool has(const std::string& name) const;
    std::optional<std::string> value(const std::string& name) const;
    std::string valueOr(const std::string& name, const std::string& fallback) const;
    // Every value of an option given more than once, in order (value() gives the last).
    std::vector<std::string> values(const std::string& name) const;
    // Integer and number options, range-checked; a malformed value throws UsageError.
    long long integer(const std::string& name, long long fallback, long long min, long long max) const;
    double number(const std::string& name, double fallback, double min, double max) const;
    // Throws UsageError for any option not in `known`.
    void allowOnly(const std::vector<std::string>& known) const;

private:
    std::vector<std::string> mPositionals;
    std::map<std::string, std::string> mOptions;
    std::vector<std::pair<std::string, std::string>> mInOrder;
    std::vector<std::string> mSwitches;
};

// One JSON object per line on stdout, keys in the order given, flushed at once so a reader sees events as they happen.
void emit(const nlohmann::ordered_json& event);

// A status line on stderr, redrawn in place; only when stderr is a terminal.
class StatusLine {
public:
    StatusLine();
    ~StatusLine();
    void update(const std::string& text);
    void finish();

private:
    bool mActive;
    bool mDrawn = false;
};

// SIGINT and SIGTERM as events of the main run loop. The constructor blocks both for the calling
// thread and every thread started after it, so construct it before anything starts a thread; watch()
// then runs the handler on the loop for each signal. Main thread.
class InterruptWatch {
public:
    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;
    void watch(std::function<void()> handler);

private:
    int mFd = -1;
    std::uint64_t mSource = 0;
    bool mWatching = false;
};

struct Command {
    const char* name;
    const char* summary;
    const char* usage;
    int (*run)(const std::vector<std::string>& argv);
};

// Commands register themselves at start-up (one file per command).
class CommandRegistry {
public:
    static std::vector<Command>& all();
    struct Registrar {
        explicit Registrar(Command command) { all().push_back(command); }
    };
};

} // namespace zqlive

#define ZQLIVE_COMMAND(ident, ...) static ::zqlive::CommandRegistry::Registrar ident##_registrar({__VA_ARGS__})
