#pragma once
#include <mutex>
#include <string>
#include <vector>
#include "ZQPlatform/Clock.h"
#include "transport/ZVStreamSocket.h"

namespace zqtest {

// Records what a publisher reports, with the media-clock time of each report. Thread-safe.
class RecordingDelegate : public ZVStreamSocketDelegate {
public:
    struct Event {
        std::string kind; // "status", "error", "buffer"
        std::uint64_t value;
        double time;
    };

    void socketStatus(const std::shared_ptr<ZVStreamSocket>&, ZQLiveState status) override {
        add("status", status);
    }
    void socketDidError(const std::shared_ptr<ZVStreamSocket>&, std::uint64_t code) override { add("error", code); }
    void socketBufferStatus(const std::shared_ptr<ZVStreamSocket>&, ZVBufferState state) override {
        add("buffer", state);
    }
    void socketDebug(const std::shared_ptr<ZVStreamSocket>&, std::shared_ptr<ZQLiveDebug> debug) override {
        std::lock_guard lock(mMutex);
        mDebug.push_back(std::move(debug));
    }

    std::vector<Event> events() const {
        std::lock_guard lock(mMutex);
        return mEvents;
    }
    static constexpr std::uint64_t kErrorBase = 1000;

    // Statuses and errors in order; errors written as kErrorBase + code to tell them apart.
    std::vector<std::uint64_t> trail() const {
        std::vector<std::uint64_t> out;
        for (auto& e : events()) {
            if (e.kind == "status") out.push_back(e.value);
            if (e.kind == "error") out.push_back(kErrorBase + e.value);
        }
        return out;
    }
    std::vector<double> timesOf(std::uint64_t status) const {
        std::vector<double> out;
        for (auto& e : events())
            if (e.kind == "status" && e.value == status) out.push_back(e.time);
        return out;
    }
    bool sawStatus(std::uint64_t status) const { return !timesOf(status).empty(); }
    std::vector<std::shared_ptr<ZQLiveDebug>> debugRecords() const {
        std::lock_guard lock(mMutex);
        return mDebug;
    }

private:
    void add(const char* kind, std::uint64_t value) {
        std::lock_guard lock(mMutex);
        mEvents.push_back({kind, value, platform::mediaTime()});
    }
    mutable std::mutex mMutex;
    std::vector<Event> mEvents;
    std::vector<std::shared_ptr<ZQLiveDebug>> mDebug;
};

} // namespace zqtest
