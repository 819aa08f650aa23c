#include "tests/imaging/ImagingTestSupport.h"

#include <algorithm>
#include <cmath>
#include <random>
#include "imaging/ZVImageFilter.h"
#include "imaging/ZVImageFramebufferCache.h"

namespace zvtest {

Picture Picture::filled(int width, int height, std::array<std::uint8_t, 4> colour) {
    Picture p{width, height, {}};
    p.rgba.resize(static_cast<std::size_t>(width * height) * 4);
    for (int i = 0; i < width * height; ++i) std::copy(colour.begin(), colour.end(), p.rgba.begin() + i * 4);
    return p;
}

std::array<std::uint8_t, 4> Picture::at(int x, int y) const {
    auto i = static_cast<std::size_t>((y * width + x) * 4);
    return {rgba[i], rgba[i + 1], rgba[i + 2], rgba[i + 3]};
}

void Picture::set(int x, int y, std::array<std::uint8_t, 4> colour) {
    auto i = static_cast<std::size_t>((y * width + x) * 4);
    std::copy(colour.begin(), colour.end(), rgba.begin() + static_cast<std::ptrdiff_t>(i));
}

Picture Picture::gradient(int width, int height) {
    Picture p = filled(width, height, {0, 0, 0, 255});
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            p.set(x, y, {static_cast<std::uint8_t>(x * 255 / std::max(1, width - 1)),
                         static_cast<std::uint8_t>(y * 255 / std::max(1, height - 1)), 128, 255});
    return p;
}

Picture Picture::noise(int width, int height, unsigned variant) {
    std::mt19937 random(variant);
    Picture p = filled(width, height, {0, 0, 0, 255});
    for (std::size_t i = 0; i < p.rgba.size(); ++i)
        if (i % 4 != 3) p.rgba[i] = static_cast<std::uint8_t>(random() & 0xff);
    return p;
}

Picture fromBGRA(const platform::PixelBuffer& buffer) {
    Picture p = Picture::filled(buffer.width(), buffer.height(), {0, 0, 0, 0});
    for (int y = 0; y < buffer.height(); ++y) {
        const std::uint8_t* row = buffer.planeData(0) + static_cast<std::size_t>(y) * buffer.bytesPerRow(0);
        for (int x = 0; x < buffer.width(); ++x) p.set(x, y, {row[x * 4 + 2], row[x * 4 + 1], row[x * 4], row[x * 4 + 3]});
    }
    return p;
}

PictureSource::PictureSource(const Picture& picture) {
    platform::Size size{static_cast<double>(picture.width), static_cast<double>(picture.height)};
    mPicture = std::make_shared<ZVImageFramebuffer>(size);
    mPicture->disableReferenceCounting();
    mPicture->uploadRGBA(picture.rgba.data(), static_cast<std::size_t>(picture.width) * 4);
}

platform::Size PictureSource::size() const { return mPicture->size(); }

void PictureSource::deliver(double frameTime) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        mOutputFramebuffer = mPicture;
        auto entries = targetEntries();
        for (const auto& entry : entries) {
            entry.target->setInputSize(mPicture->size(), entry.index);
            entry.target->setInputFramebuffer(mPicture, entry.index);
        }
        for (const auto& entry : entries) entry.target->newFrameReadyAtTime(frameTime, entry.index);
    });
}

void FrameCatcher::setInputFramebuffer(std::shared_ptr<ZVImageFramebuffer> framebuffer, int) {
    ZVImageFramebuffer::hold(mInput, std::move(framebuffer));
}

void FrameCatcher::resetInput(int) { ZVImageFramebuffer::release(mInput); }

void FrameCatcher::newFrameReadyAtTime(double, int) {
    auto input = std::move(mInput);
    if (!input) return;
    auto pixels = input->pixelBuffer();
    input->unlock();
    if (!pixels) return;
    std::lock_guard lock(mMutex);
    mFrames.push_back(fromBGRA(*pixels));
}

std::vector<Picture> FrameCatcher::frames() const {
    std::lock_guard lock(mMutex);
    return mFrames;
}

Picture FrameCatcher::last() const {
    std::lock_guard lock(mMutex);
    return mFrames.empty() ? Picture{} : mFrames.back();
}

std::size_t FrameCatcher::count() const {
    std::lock_guard lock(mMutex);
    return mFrames.size();
}

Picture runFilter(const std::shared_ptr<ZVImageFilter>& filter, const Picture& picture, int rotation) {
    auto source = std::make_shared<PictureSource>(picture);
    auto catcher = std::make_shared<FrameCatcher>();
    source->addTarget(filter);
    filter->addTarget(catcher);
    runSynchronouslyOnVideoProcessingQueue([&] { filter->setInputRotation(rotation, 0); });
    source->deliver();
    source->removeAllTargets();
    filter->removeTarget(catcher);
    return catcher->last();
}

std::shared_ptr<platform::PixelBuffer> flatNV12(int width, int height, std::uint8_t y, std::uint8_t u, std::uint8_t v) {
    auto buffer = platform::PixelBuffer::create(width, height, platform::PixelFormat::NV12);
    for (int row = 0; row < buffer->planeHeight(0); ++row)
        std::fill_n(buffer->planeData(0) + static_cast<std::size_t>(row) * buffer->bytesPerRow(0), width, y);
    for (int row = 0; row < buffer->planeHeight(1); ++row) {
        std::uint8_t* p = buffer->planeData(1) + static_cast<std::size_t>(row) * buffer->bytesPerRow(1);
        for (int x = 0; x < (width + 1) / 2; ++x) {
            p[2 * x] = u;
            p[2 * x + 1] = v;
        }
    }
    return buffer;
}

std::shared_ptr<platform::PixelBuffer> nv12From(const Picture& picture) {
    auto buffer = platform::PixelBuffer::create(picture.width, picture.height, platform::PixelFormat::NV12);
    auto clampByte = [](double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); };
    for (int y = 0; y < picture.height; ++y)
        for (int x = 0; x < picture.width; ++x) {
            auto c = picture.at(x, y);
            double luma = 16 + 0.257 * c[0] + 0.504 * c[1] + 0.098 * c[2];
            buffer->planeData(0)[static_cast<std::size_t>(y) * buffer->bytesPerRow(0) + static_cast<std::size_t>(x)] =
                clampByte(luma);
        }
    for (int y = 0; y < buffer->planeHeight(1); ++y)
        for (int x = 0; x < (picture.width + 1) / 2; ++x) {
            auto c = picture.at(std::min(2 * x, picture.width - 1), std::min(2 * y, picture.height - 1));
            std::uint8_t* p = buffer->planeData(1) + static_cast<std::size_t>(y) * buffer->bytesPerRow(1) + 2 * x;
            p[0] = clampByte(128 - 0.148 * c[0] - 0.291 * c[1] + 0.439 * c[2]);
            p[1] = clampByte(128 + 0.439 * c[0] - 0.368 * c[1] - 0.071 * c[2]);
        }
    return buffer;
}

bool FakeCameraDevice::open(int width, int height, std::string* error) {
    if (openFails) {
        if (error) *error = "busy";
        return false;
    }
    openedWidth = width;
    openedHeight = height;
    return true;
}

bool FakeCameraDevice::start(SampleHandler onSample, LossHandler onLost, std::string* error) {
    if (startFails) {
        if (error) *error = "start refused";
        return false;
    }
    std::lock_guard lock(mMutex);
    mOnSample = std::move(onSample);
    mOnLost = std::move(onLost);
    mRunning = true;
    return true;
}

void FakeCameraDevice::stop() {
    std::lock_guard lock(mMutex);
    mRunning = false;
    mOnSample = nullptr;
    mOnLost = nullptr;
}

bool FakeCameraDevice::setTorch(bool on, std::string* error) {
    if (torchFails) {
        if (error) *error = "device locked by another client";
        return false;
    }
    mTorch = on;
    return true;
}

bool FakeCameraDevice::setZoomFactor(double factor, std::string* error) {
    if (!zoomable) {
        if (error) *error = "Zoom not available";
        return false;
    }
    zoom = factor;
    return true;
}

bool FakeCameraDevice::deliver(const std::shared_ptr<platform::PixelBuffer>& nv12, double time) {
    platform::CameraSample sample;
    sample.pixelBuffer = nv12;
    sample.fullRange = fullRange;
    sample.presentationTime = time;
    return deliver(sample);
}

bool FakeCameraDevice::deliver(const platform::CameraSample& sample) {
    SampleHandler handler;
    {
        std::lock_guard lock(mMutex);
        if (!mRunning) return false;
        handler = mOnSample;
    }
    if (handler) handler(sample);
    return true;
}

void FakeCameraDevice::loseDevice(const std::string& reason) {
    LossHandler handler;
    {
        std::lock_guard lock(mMutex);
        handler = mOnLost;
    }
    if (handler) handler(reason);
}

void drainVideoQueue() { runSynchronouslyOnVideoProcessingQueue([] {}); }

} // namespace zvtest
