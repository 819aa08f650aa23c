#pragma once
#include <memory>
#include <mutex>

namespace zqprobe {

// A process-wide, replaceable back end: the Linux one by default, a fake in tests. Any thread.
template <class Interface, class Default>
class BackendSlot {
public:
    static std::shared_ptr<Interface> get() {
        std::lock_guard lock(mutex());
        return slot();
    }
    // nullptr restores the default.
    static void set(std::shared_ptr<Interface> backend) {
        std::lock_guard lock(mutex());
        slot() = backend ? std::move(backend) : std::make_shared<Default>();
    }

private:
    static std::mutex& mutex() {
        static std::mutex instance;
        return instance;
    }
    static std::shared_ptr<Interface>& slot() {
        // Never destroyed: objects torn down at exit may still ask for it.
        static auto* backend = new std::shared_ptr<Interface>(std::make_shared<Default>());
        return *backend;
    }
};

} // namespace zqprobe
