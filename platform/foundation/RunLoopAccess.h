#pragma once
#include <cstddef>

namespace platform {
class RunLoop;
namespace detail {

// What the runtime's internals (the simulated runtime, resets between tests) do to the main run
// loop beyond its public interface.
struct RunLoopAccess {
    // Drops queued tasks, I/O sources and perform requests.
    static void reset(RunLoop& loop);
    // Delivers I/O readiness once without waiting, on the calling thread; returns how many
    // callbacks ran.
    static std::size_t pollSources(RunLoop& loop);
};

} // namespace detail
} // namespace platform
