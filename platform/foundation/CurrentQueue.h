#pragma once
#include "ZQPlatform/DispatchQueue.h"

namespace platform::detail {
// The serial or main queue whose task the calling thread is running.
extern thread_local DispatchQueue* tCurrentQueue;

class CurrentQueueScope {
public:
    explicit CurrentQueueScope(DispatchQueue* queue) : mPrevious(tCurrentQueue) { tCurrentQueue = queue; }
    ~CurrentQueueScope() { tCurrentQueue = mPrevious; }
    CurrentQueueScope(const CurrentQueueScope&) = delete;
    CurrentQueueScope& operator=(const CurrentQueueScope&) = delete;

private:
    DispatchQueue* mPrevious;
};
} // namespace platform::detail
