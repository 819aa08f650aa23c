#pragma once
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "platform/media/AudioUnit.h"

namespace zqtest {

// What a fake unit was asked, shared with the test so it outlives the unit.
struct FakeUnitRecord {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<std::string> calls;
    platform::AudioStreamDescription format;
    platform::AudioUnit::InputCallback callback;
    int starts = 0;
    int stops = 0;
    bool disposed = false;
    bool running = false;

    void add(const std::string& call) {
        std::lock_guard lock(mutex);
        calls.push_back(call);
        changed.notify_all();
    }
    std::vector<std::string> snapshot() {
        std::lock_guard lock(mutex);
        return calls;
    }
};

// An I/O unit the test drives: it records every call in order and renders bytes 1, 2, 3, … when
// deliver() runs its input callback on the calling thread, as the unit's thread would.
class FakeAudioUnit final : public platform::AudioUnit {
public:
    FakeAudioUnit(std::shared_ptr<FakeUnitRecord> record, platform::OSStatus initializeStatus)
        : mRecord(std::move(record)), mInitializeStatus(initializeStatus) {}
    ~FakeAudioUnit() override {
        std::lock_guard lock(mRecord->mutex);
        mRecord->disposed = true;
        mRecord->changed.notify_all();
    }

    platform::OSStatus setEnableIO(platform::AudioUnitScope scope, std::uint32_t element, std::uint32_t enable) override {
        mRecord->add("enableIO scope " + std::to_string(static_cast<int>(scope)) + " element " +
                     std::to_string(element) + " value " + std::to_string(enable));
        return platform::noErr;
    }
    platform::OSStatus setStreamFormat(platform::AudioUnitScope scope, std::uint32_t element,
                                       const platform::AudioStreamDescription& f) override {
        {
            std::lock_guard lock(mRecord->mutex);
            mRecord->format = f;
        }
        mRecord->add("streamFormat scope " + std::to_string(static_cast<int>(scope)) + " element " +
                     std::to_string(element));
        return platform::noErr;
    }
    platform::OSStatus setInputCallback(platform::AudioUnitScope scope, std::uint32_t element,
                                        InputCallback callback) override {
        {
            std::lock_guard lock(mRecord->mutex);
            mRecord->callback = std::move(callback);
        }
        mRecord->add("inputCallback scope " + std::to_string(static_cast<int>(scope)) + " element " +
                     std::to_string(element));
        return platform::noErr;
    }
    platform::OSStatus initialize() override {
        mRecord->add("initialize");
        return mInitializeStatus;
    }
    platform::OSStatus start() override {
        std::lock_guard lock(mRecord->mutex);
        ++mRecord->starts;
        mRecord->running = true;
        mRecord->changed.notify_all();
        return platform::noErr;
    }
    platform::OSStatus stop() override {
        std::lock_guard lock(mRecord->mutex);
        ++mRecord->stops;
        mRecord->running = false;
        mRecord->changed.notify_all();
        return platform::noErr;
    }
    platform::OSStatus render(platform::AudioUnitRenderActionFlags&, const platform::AudioTimeStamp&,
                              std::uint32_t bus, std::uint32_t frames, platform::AudioBufferList& data) override {
        if (failRender || bus != platform::kInputBus || data.numberBuffers != 1 || data.buffers[0].data) return -10863;
        mMemory.resize(frames * mRecord->format.bytesPerFrame);
        for (std::size_t i = 0; i < mMemory.size(); ++i) mMemory[i] = static_cast<std::uint8_t>(i + 1);
        data.buffers[0].data = mMemory.data();
        data.buffers[0].dataByteSize = static_cast<std::uint32_t>(mMemory.size());
        return platform::noErr;
    }
    std::string errorDescription() const override { return mInitializeStatus ? "the fake refuses to initialise" : ""; }

    std::atomic<bool> failRender{false};

private:
    std::shared_ptr<FakeUnitRecord> mRecord;
    platform::OSStatus mInitializeStatus;
    std::vector<std::uint8_t> mMemory;
};

// The I/O component the capture finds while a test installs it.
class FakeAudioComponent final : public platform::AudioComponent {
public:
    std::shared_ptr<FakeUnitRecord> record = std::make_shared<FakeUnitRecord>();
    platform::OSStatus instanceStatus = platform::noErr;
    platform::OSStatus initializeStatus = platform::noErr;
    FakeAudioUnit* lastUnit = nullptr;

    platform::OSStatus instanceNew(std::unique_ptr<platform::AudioUnit>* unit) override {
        if (instanceStatus != platform::noErr) return instanceStatus;
        auto made = std::make_unique<FakeAudioUnit>(record, initializeStatus);
        lastUnit = made.get();
        *unit = std::move(made);
        return platform::noErr;
    }
    std::string name() const override { return "fake"; }

    // Runs the input callback as the unit's thread would, with `frames` frames.
    platform::OSStatus deliver(std::uint32_t frames) {
        platform::AudioUnit::InputCallback callback;
        {
            std::lock_guard lock(record->mutex);
            callback = record->callback;
        }
        platform::AudioUnitRenderActionFlags flags = 0;
        return callback ? callback(flags, {}, platform::kInputBus, frames) : -1;
    }
};

} // namespace zqtest
