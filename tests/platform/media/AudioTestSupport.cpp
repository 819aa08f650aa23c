#include "tests/platform/media/AudioTestSupport.h"

#include <chrono>
#include <cstring>
#include <fstream>

namespace zqtest {

namespace {

void put32(std::ofstream& out, std::uint32_t v) {
    char b[4] = {static_cast<char>(v), static_cast<char>(v >> 8), static_cast<char>(v >> 16), static_cast<char>(v >> 24)};
    out.write(b, 4);
}
void put16(std::ofstream& out, std::uint16_t v) {
    char b[2] = {static_cast<char>(v), static_cast<char>(v >> 8)};
    out.write(b, 2);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

} // namespace

void writeWav(const std::string& path, int sampleRate, int channels, const std::vector<std::int16_t>& samples,
              long declaredFrames) {
    const auto frames = static_cast<std::uint32_t>(declaredFrames >= 0 ? declaredFrames
                                                                        : static_cast<long>(samples.size()) / channels);
    const std::uint32_t dataBytes = frames * 2 * static_cast<std::uint32_t>(channels);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write("RIFF", 4);
    put32(out, 36 + dataBytes);
    out.write("WAVEfmt ", 8);
    put32(out, 16);
    put16(out, 1);
    put16(out, static_cast<std::uint16_t>(channels));
    put32(out, static_cast<std::uint32_t>(sampleRate));
    put32(out, static_cast<std::uint32_t>(sampleRate * channels * 2));
    put16(out, static_cast<std::uint16_t>(channels * 2));
    put16(out, 16);
    out.write("data", 4);
    put32(out, dataBytes);
    for (std::int16_t s : samples) put16(out, static_cast<std::uint16_t>(s));
}

UnitRecorder::~UnitRecorder() { mUnit->stop(); }

platform::OSStatus UnitRecorder::setUp(double sampleRate, std::uint32_t channels) {
    using namespace platform;
    mUnit->setEnableIO(AudioUnitScope::Input, kInputBus, 1);
    mUnit->setStreamFormat(AudioUnitScope::Output, kInputBus, interleavedS16(sampleRate, channels));
    mUnit->setInputCallback(AudioUnitScope::Global, kInputBus,
                            [this](AudioUnitRenderActionFlags& flags, const AudioTimeStamp& timeStamp,
                                   std::uint32_t bus, std::uint32_t frames) {
                                AudioBufferList list;
                                list.numberBuffers = 1;
                                OSStatus status = mUnit->render(flags, timeStamp, bus, frames, list);
                                if (status != noErr) return status;
                                auto* bytes = static_cast<const std::uint8_t*>(list.buffers[0].data);
                                std::lock_guard lock(mMutex);
                                // Unpaced PCMs deliver as fast as they are read: keep the first ones.
                                if (mPeriods.size() >= kMaxPeriods) return status;
                                mPeriods.emplace_back(bytes, bytes + list.buffers[0].dataByteSize);
                                mArrivals.push_back(now());
                                mChanged.notify_all();
                                return status;
                            });
    return mUnit->initialize();
}

bool UnitRecorder::record(std::size_t count, double timeoutSeconds) {
    if (mUnit->start() != platform::noErr) return false;
    bool arrived = waitForPeriods(count, timeoutSeconds);
    mUnit->stop();
    return arrived;
}

bool UnitRecorder::waitForPeriods(std::size_t count, double timeoutSeconds) {
    std::unique_lock lock(mMutex);
    return mChanged.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return mPeriods.size() >= count; });
}

std::vector<std::vector<std::uint8_t>> UnitRecorder::periods() {
    std::lock_guard lock(mMutex);
    return mPeriods;
}

std::vector<std::int16_t> UnitRecorder::samples() {
    std::vector<std::int16_t> all;
    for (auto& period : periods()) {
        std::size_t at = all.size();
        all.resize(at + period.size() / 2);
        std::memcpy(all.data() + at, period.data(), period.size() / 2 * 2);
    }
    return all;
}

std::vector<double> UnitRecorder::arrivals() {
    std::lock_guard lock(mMutex);
    return mArrivals;
}

} // namespace zqtest
