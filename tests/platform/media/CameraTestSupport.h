#pragma once
// Helpers for the camera back-end tests: collecting what a device delivers, reading its pixels.
#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <filesystem>
#include <functional>
#include <string>
#include <unistd.h>
#include <vector>
#include "platform/media/CameraDevice.h"
#include "platform/media/SensorFrame.h"
#include "tests/support/TestUtil.h"

namespace zqtest {

// A media file made with the ffmpeg command line ("ffmpeg -v error -y <arguments> <file>") and kept
// in the build tree, so the many test processes ctest starts make it once. Empty when ffmpeg fails.
inline std::string mediaMadeWithFfmpeg(const std::string& name, const std::string& arguments) {
    const std::string folder = buildDir() + "/test-media";
    const std::string path = folder + "/" + std::to_string(std::hash<std::string>{}(arguments) % 1000000) + "-" + name;
    if (std::filesystem::exists(path)) return path;
    std::filesystem::create_directories(folder);
    // Made beside it under a name of its own, then renamed: parallel runs never see half a file.
    const std::string part = folder + "/part-" + std::to_string(::getpid()) + "-" + name;
    if (runCommand("ffmpeg -v error -y " + arguments + " '" + part + "'") != 0) return {};
    std::filesystem::rename(part, path);
    return path;
}

// Keeps every sample and loss report a device delivers; tests wait on it for a count.
class SampleCollector {
public:
    platform::CameraDevice::SampleHandler sampleHandler() {
        return [this](const platform::CameraSample& sample) {
            std::lock_guard lock(mMutex);
            mSamples.push_back(sample);
            mChanged.notify_all();
        };
    }
    platform::CameraDevice::LossHandler lossHandler() {
        return [this](const std::string& reason) {
            std::lock_guard lock(mMutex);
            mLosses.push_back(reason);
            mChanged.notify_all();
        };
    }
    // Whether `count` samples arrived within the time-out (a generous bound against hangs).
    bool waitForSamples(std::size_t count, std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, timeout, [&] { return mSamples.size() >= count; });
    }
    bool waitForLoss(std::chrono::seconds timeout = std::chrono::seconds(20)) {
        std::unique_lock lock(mMutex);
        return mChanged.wait_for(lock, timeout, [&] { return !mLosses.empty(); });
    }
    std::vector<platform::CameraSample> samples() {
        std::lock_guard lock(mMutex);
        return mSamples;
    }
    std::vector<std::string> losses() {
        std::lock_guard lock(mMutex);
        return mLosses;
    }
    std::size_t sampleCount() {
        std::lock_guard lock(mMutex);
        return mSamples.size();
    }

private:
    std::mutex mMutex;
    std::condition_variable mChanged;
    std::vector<platform::CameraSample> mSamples;
    std::vector<std::string> mLosses;
};

inline int lumaAt(const platform::PixelBuffer& picture, int x, int y) {
    return picture.planeData(0)[static_cast<std::size_t>(y) * picture.bytesPerRow(0) + x];
}

// (Cb, Cr) of the chroma pair covering pixel (x, y).
inline std::array<int, 2> chromaAt(const platform::PixelBuffer& picture, int x, int y) {
    const std::uint8_t* pair =
        picture.planeData(1) + static_cast<std::size_t>(y / 2) * picture.bytesPerRow(1) + (x / 2) * 2;
    return {pair[0], pair[1]};
}

// The sample's picture as RGB, converted with the range and matrix it declares.
class RgbPicture {
public:
    explicit RgbPicture(const platform::CameraSample& sample)
        : mBgra(platform::nv12ToBgra(*sample.pixelBuffer, {sample.fullRange, sample.matrix})) {}
    bool valid() const { return mBgra != nullptr; }
    std::array<int, 3> at(int x, int y) const {
        const std::uint8_t* p = mBgra->planeData(0) + static_cast<std::size_t>(y) * mBgra->bytesPerRow(0) + 4 * x;
        return {p[2], p[1], p[0]};
    }

private:
    std::shared_ptr<platform::PixelBuffer> mBgra;
};

// Whether every channel is within `tolerance` of the expected colour.
inline bool near(std::array<int, 3> rgb, std::array<int, 3> expected, int tolerance = 24) {
    for (int i = 0; i < 3; ++i)
        if (std::abs(rgb[i] - expected[i]) > tolerance) return false;
    return true;
}

// Whether one channel (0 red, 1 green, 2 blue) clearly dominates: the colour of a patch whatever
// matrix the file's maker converted it with.
inline bool mostly(std::array<int, 3> rgb, int channel) {
    for (int i = 0; i < 3; ++i)
        if (i == channel ? rgb[i] < 160 : rgb[i] > 90) return false;
    return true;
}

inline std::string describe(std::array<int, 3> rgb) {
    return "(" + std::to_string(rgb[0]) + ", " + std::to_string(rgb[1]) + ", " + std::to_string(rgb[2]) + ")";
}

} // namespace zqtest
