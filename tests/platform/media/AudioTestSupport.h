#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>
#include "platform/media/AudioUnit.h"

namespace zqtest {

// Writes a 16-bit PCM WAV file. `declaredFrames` other than the sample count makes a header that
// claims more (or less) than the file holds, as a recording cut short does.
void writeWav(const std::string& path, int sampleRate, int channels, const std::vector<std::int16_t>& samples,
              long declaredFrames = -1);

// Drives an I/O unit as the capture does: sets it up for interleaved 16-bit PCM, renders each
// period from inside the input callback and keeps a copy of it.
class UnitRecorder {
public:
    explicit UnitRecorder(std::unique_ptr<platform::AudioUnit> unit) : mUnit(std::move(unit)) {}
    ~UnitRecorder();

    // Properties and initialize(); the status of initialize().
    platform::OSStatus setUp(double sampleRate, std::uint32_t channels);
    platform::AudioUnit& unit() { return *mUnit; }

    // Starts the unit, waits for `count` periods and stops it; false if the start failed or the
    // periods did not come in `timeoutSeconds` (real time).
    bool record(std::size_t count, double timeoutSeconds = 10);
    // Waits (real time, at most `timeoutSeconds`) for `count` periods; false if they did not come.
    bool waitForPeriods(std::size_t count, double timeoutSeconds = 10);
    std::vector<std::vector<std::uint8_t>> periods();
    // The periods' samples, one after the other.
    std::vector<std::int16_t> samples();
    // Arrival time (steady clock, seconds) of each period.
    std::vector<double> arrivals();

private:
    static constexpr std::size_t kMaxPeriods = 4096;
    std::unique_ptr<platform::AudioUnit> mUnit;
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<std::vector<std::uint8_t>> mPeriods;
    std::vector<double> mArrivals;
};

} // namespace zqtest
