#include "ZQPlatform/Task.h"

namespace platform {

TaskSafety::TaskSafety() : mAlive(std::make_shared<std::atomic<bool>>(true)) {}
TaskSafety::~TaskSafety() { invalidate(); }
void TaskSafety::invalidate() { mAlive->store(false); }
bool TaskSafety::alive() const { return mAlive->load(); }

Task TaskSafety::safe(Task task) const {
    return [alive = mAlive, task = std::move(task)] {
        if (alive->load()) task();
    };
}

} // namespace platform
