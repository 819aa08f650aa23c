#pragma once
// Queue-ownership checks for the kit's own code (never installed). ZQ_DCHECK_ON(queue) states that
// the caller runs on `queue`, the queue that owns the data it touches. The build decides whether the
// checks are compiled in (CMake option ZQ_DCHECK, which defines ZQ_DCHECK_IS_ON); the consumer's
// NDEBUG has no say. A failed check prints the file, the line and both queues' labels, then aborts.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include "ZQPlatform/DispatchQueue.h"

#ifndef ZQ_DCHECK_IS_ON
#define ZQ_DCHECK_IS_ON 0
#endif

namespace platform::detail {

[[noreturn]] inline void dcheckOnQueueFailed(const DispatchQueue* queue, const char* expression, const char* file,
                                             int line) {
    const DispatchQueue* current = DispatchQueue::current();
    std::fprintf(stderr, "%s:%d: ZQ_DCHECK_ON(%s) failed: expected queue \"%s\", running on %s%s%s\n", file, line,
                 expression, queue ? queue->label().c_str() : "(null)", current ? "queue \"" : "",
                 current ? current->label().c_str() : "no queue", current ? "\"" : "");
    std::fflush(stderr);
    std::abort();
}

inline void dcheckOnQueue(const DispatchQueue* queue, const char* expression, const char* file, int line) {
    if (!queue || !queue->isCurrent()) dcheckOnQueueFailed(queue, expression, file, line);
}

inline void dcheckOnQueue(const std::shared_ptr<DispatchQueue>& queue, const char* expression, const char* file,
                          int line) {
    dcheckOnQueue(queue.get(), expression, file, line);
}

} // namespace platform::detail

#if ZQ_DCHECK_IS_ON
#define ZQ_DCHECK_ON(queue) ::platform::detail::dcheckOnQueue((queue), #queue, __FILE__, __LINE__)
#else
#define ZQ_DCHECK_ON(queue) ((void)0)
#endif
