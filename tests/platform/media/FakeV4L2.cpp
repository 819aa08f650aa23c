#include "tests/platform/media/FakeV4L2.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

namespace zqtest {

namespace {

constexpr int kBufferShift = 24; // mmap offsets: buffer index << 24

int failWith(int code) {
    errno = code;
    return -1;
}

std::size_t bytesPerLine(std::uint32_t pixelFormat, int width) {
    return pixelFormat == V4L2_PIX_FMT_YUYV || pixelFormat == V4L2_PIX_FMT_UYVY ? width * 2 : width;
}

std::size_t imageSize(std::uint32_t pixelFormat, int width, int height) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
    case V4L2_PIX_FMT_YUV420: return static_cast<std::size_t>(width) * height * 3 / 2;
    default: return static_cast<std::size_t>(width) * height * 2;
    }
}

} // namespace

void FakeV4L2::addDevice(const std::string& path, FakeCameraModel model) {
    std::lock_guard lock(mMutex);
    mDevices[path].model = std::move(model);
}

bool FakeV4L2::deliver(const std::string& path, const std::vector<std::uint8_t>& bytes, double time, bool error) {
    std::unique_lock lock(mMutex);
    Device& device = mDevices.at(path);
    State& s = device.state;
    if (!mBufferFree.wait_for(lock, std::chrono::seconds(10),
                              [&] { return !s.streaming || s.gone || !s.queued.empty(); }) ||
        !s.streaming || s.gone)
        return false;
    const std::uint32_t index = s.queued.front();
    s.queued.pop_front();
    auto& buffer = s.buffers[index];
    const std::size_t n = std::min(bytes.size(), buffer.size());
    std::memcpy(buffer.data(), bytes.data(), n);
    s.filled.push_back({index, n, time, error});
    signal(device);
    return true;
}

bool FakeV4L2::waitUntilAllQueued(const std::string& path) {
    std::unique_lock lock(mMutex);
    State& s = mDevices.at(path).state;
    return mBufferFree.wait_for(lock, std::chrono::seconds(10),
                                [&] { return s.filled.empty() && s.queued.size() == s.buffers.size(); });
}

void FakeV4L2::unplug(const std::string& path) {
    std::lock_guard lock(mMutex);
    Device& device = mDevices.at(path);
    device.state.gone = true;
    if (device.fd >= 0) signal(device); // a reader in poll() wakes to find the device gone
    mBufferFree.notify_all();
}

FakeV4L2::State FakeV4L2::state(const std::string& path) {
    std::lock_guard lock(mMutex);
    return mDevices.at(path).state;
}

bool FakeV4L2::allClosed() {
    std::lock_guard lock(mMutex);
    return mOpen.empty();
}

void FakeV4L2::signal(Device& device) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(device.fd, &one, sizeof one);
}

void FakeV4L2::drain(Device& device) {
    std::uint64_t value;
    [[maybe_unused]] auto n = ::read(device.fd, &value, sizeof value);
}

FakeV4L2::Device* FakeV4L2::deviceOf(int fd) {
    auto it = mOpen.find(fd);
    return it == mOpen.end() ? nullptr : &mDevices.at(it->second);
}

int FakeV4L2::open(const std::string& path, int) {
    std::lock_guard lock(mMutex);
    auto it = mDevices.find(path);
    if (it == mDevices.end() || it->second.state.gone) return failWith(ENOENT);
    Device& device = it->second;
    if (device.model.openErrno) return failWith(device.model.openErrno);
    if (device.fd >= 0) return failWith(EBUSY); // one user at a time is enough here
    device.fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    ++device.state.openCount;
    mOpen[device.fd] = path;
    return device.fd;
}

int FakeV4L2::close(int fd) {
    std::lock_guard lock(mMutex);
    Device* device = deviceOf(fd);
    if (!device) return failWith(EBADF);
    mOpen.erase(fd);
    device->fd = -1;
    device->state.streaming = false;
    device->state.buffers.clear();
    device->state.queued.clear();
    device->state.filled.clear();
    return ::close(fd);
}

int FakeV4L2::ioctl(int fd, unsigned long request, void* argument) {
    std::lock_guard lock(mMutex);
    Device* device = deviceOf(fd);
    if (!device) return failWith(EBADF);
    return handle(*device, request, argument);
}

int FakeV4L2::handle(Device& device, unsigned long request, void* argument) {
    FakeCameraModel& model = device.model;
    State& s = device.state;
    if (s.gone) return failWith(ENODEV);
    switch (request) {
    case VIDIOC_QUERYCAP: {
        auto* cap = static_cast<v4l2_capability*>(argument);
        *cap = {};
        std::strcpy(reinterpret_cast<char*>(cap->driver), "fake");
        cap->device_caps = model.deviceCaps;
        cap->capabilities = model.deviceCaps | V4L2_CAP_DEVICE_CAPS;
        return 0;
    }
    case VIDIOC_ENUM_FMT: {
        auto* desc = static_cast<v4l2_fmtdesc*>(argument);
        if (desc->index >= model.formats.size()) return failWith(EINVAL);
        desc->pixelformat = model.formats[desc->index].pixelFormat;
        return 0;
    }
    case VIDIOC_ENUM_FRAMESIZES: {
        auto* size = static_cast<v4l2_frmsizeenum*>(argument);
        for (const auto& format : model.formats) {
            if (format.pixelFormat != size->pixel_format) continue;
            if (size->index >= format.sizes.size()) return failWith(EINVAL);
            size->type = V4L2_FRMSIZE_TYPE_DISCRETE;
            size->discrete.width = static_cast<std::uint32_t>(format.sizes[size->index].first);
            size->discrete.height = static_cast<std::uint32_t>(format.sizes[size->index].second);
            return 0;
        }
        return failWith(EINVAL);
    }
    case VIDIOC_ENUM_FRAMEINTERVALS: {
        auto* interval = static_cast<v4l2_frmivalenum*>(argument);
        for (const auto& format : model.formats) {
            if (format.pixelFormat != interval->pixel_format || interval->index > 0) continue;
            interval->type = V4L2_FRMIVAL_TYPE_DISCRETE;
            interval->discrete = {1000, static_cast<std::uint32_t>(std::lround(format.frameRate * 1000))};
            return 0;
        }
        return failWith(EINVAL);
    }
    case VIDIOC_S_FMT: {
        if (model.setFormatErrno) return failWith(model.setFormatErrno);
        auto& pix = static_cast<v4l2_format*>(argument)->fmt.pix;
        // Like a driver: an unknown format becomes the first, the size the nearest offered.
        const FakeCameraModel::Format* chosen = &model.formats.front();
        for (const auto& format : model.formats)
            if (format.pixelFormat == pix.pixelformat) chosen = &format;
        auto size = chosen->sizes.front();
        for (const auto& candidate : chosen->sizes)
            if (std::abs(candidate.first - static_cast<int>(pix.width)) <
                std::abs(size.first - static_cast<int>(pix.width)))
                size = candidate;
        s.pixelFormat = chosen->pixelFormat;
        s.width = size.first;
        s.height = size.second;
        s.bytesPerLine = bytesPerLine(s.pixelFormat, s.width);
        s.imageSize = imageSize(s.pixelFormat, s.width, s.height);
        s.frameRate = chosen->frameRate;
        pix.pixelformat = s.pixelFormat;
        pix.width = static_cast<std::uint32_t>(s.width);
        pix.height = static_cast<std::uint32_t>(s.height);
        pix.bytesperline = static_cast<std::uint32_t>(s.bytesPerLine);
        pix.sizeimage = static_cast<std::uint32_t>(s.imageSize);
        pix.colorspace = model.colorspace;
        pix.ycbcr_enc = model.ycbcrEncoding;
        pix.quantization = model.quantization;
        return 0;
    }
    case VIDIOC_G_PARM: {
        auto* parm = static_cast<v4l2_streamparm*>(argument);
        parm->parm.capture.capability = model.canSetRate ? V4L2_CAP_TIMEPERFRAME : 0;
        parm->parm.capture.timeperframe = {1000, static_cast<std::uint32_t>(std::lround(s.frameRate * 1000))};
        return 0;
    }
    case VIDIOC_S_PARM: {
        if (!model.canSetRate) return failWith(EINVAL);
        if (s.streaming && model.setRateWhileStreamingErrno) return failWith(model.setRateWhileStreamingErrno);
        auto& frame = static_cast<v4l2_streamparm*>(argument)->parm.capture.timeperframe;
        s.frameRate = frame.numerator && frame.denominator ? static_cast<double>(frame.denominator) / frame.numerator
                                                           : 30;
        s.ratesSet.push_back(s.frameRate);
        frame = {1000, static_cast<std::uint32_t>(std::lround(s.frameRate * 1000))};
        return 0;
    }
    case VIDIOC_REQBUFS: {
        auto* buffers = static_cast<v4l2_requestbuffers*>(argument);
        if (buffers->count == 0) {
            s.buffers.clear();
            return 0;
        }
        if (model.requestBuffersErrno) return failWith(model.requestBuffersErrno);
        buffers->count = std::min<std::uint32_t>(buffers->count, 4);
        s.buffers.assign(buffers->count, std::vector<std::uint8_t>(s.imageSize));
        return 0;
    }
    case VIDIOC_QUERYBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= s.buffers.size()) return failWith(EINVAL);
        buffer->length = static_cast<std::uint32_t>(s.buffers[buffer->index].size());
        buffer->m.offset = buffer->index << kBufferShift;
        return 0;
    }
    case VIDIOC_QBUF: {
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        if (buffer->index >= s.buffers.size()) return failWith(EINVAL);
        s.queued.push_back(buffer->index);
        mBufferFree.notify_all();
        return 0;
    }
    case VIDIOC_DQBUF: {
        if (s.filled.empty()) {
            drain(device);
            return failWith(EAGAIN);
        }
        auto filled = s.filled.front();
        s.filled.pop_front();
        if (s.filled.empty()) drain(device);
        auto* buffer = static_cast<v4l2_buffer*>(argument);
        buffer->index = filled.index;
        buffer->bytesused = static_cast<std::uint32_t>(filled.bytes);
        buffer->flags = filled.error ? V4L2_BUF_FLAG_ERROR : 0;
        buffer->timestamp.tv_sec = static_cast<time_t>(filled.time);
        buffer->timestamp.tv_usec =
            static_cast<suseconds_t>(std::lround((filled.time - std::floor(filled.time)) * 1e6));
        return 0;
    }
    case VIDIOC_STREAMON:
        s.streaming = true;
        mBufferFree.notify_all();
        return 0;
    case VIDIOC_STREAMOFF:
        s.streaming = false;
        s.queued.clear();
        s.filled.clear();
        drain(device);
        mBufferFree.notify_all();
        return 0;
    case VIDIOC_QUERYCTRL: {
        auto* control = static_cast<v4l2_queryctrl*>(argument);
        if (control->id == V4L2_CID_FLASH_LED_MODE && model.torch) {
            control->type = V4L2_CTRL_TYPE_MENU;
            control->minimum = V4L2_FLASH_LED_MODE_NONE;
            control->maximum = V4L2_FLASH_LED_MODE_TORCH;
            return 0;
        }
        if (control->id == V4L2_CID_ZOOM_ABSOLUTE && model.zoom) {
            control->type = V4L2_CTRL_TYPE_INTEGER;
            control->minimum = model.zoomMin;
            control->maximum = model.zoomMax;
            control->step = 1;
            return 0;
        }
        return failWith(EINVAL);
    }
    case VIDIOC_QUERYMENU: return static_cast<v4l2_querymenu*>(argument)->index <= 2 ? 0 : failWith(EINVAL);
    case VIDIOC_S_CTRL: {
        auto* control = static_cast<v4l2_control*>(argument);
        if (control->id == V4L2_CID_FLASH_LED_MODE && model.torch) s.torchMode = control->value;
        else if (control->id == V4L2_CID_ZOOM_ABSOLUTE && model.zoom) s.zoomValue = control->value;
        else return failWith(EINVAL);
        return 0;
    }
    case VIDIOC_G_CTRL: {
        auto* control = static_cast<v4l2_control*>(argument);
        if (control->id == V4L2_CID_FLASH_LED_MODE && model.torch) control->value = s.torchMode;
        else if (control->id == V4L2_CID_ZOOM_ABSOLUTE && model.zoom) control->value = s.zoomValue;
        else return failWith(EINVAL);
        return 0;
    }
    default: return failWith(ENOTTY);
    }
}

void* FakeV4L2::mmap(std::size_t length, int fd, off_t offset) {
    std::lock_guard lock(mMutex);
    Device* device = deviceOf(fd);
    const auto index = static_cast<std::size_t>(offset >> kBufferShift);
    if (!device || index >= device->state.buffers.size() || device->state.buffers[index].size() < length) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return device->state.buffers[index].data();
}

int FakeV4L2::munmap(void*, std::size_t) { return 0; }

int FakeV4L2::poll(pollfd* fds, nfds_t count, int timeoutMs) { return ::poll(fds, count, timeoutMs); }

std::vector<std::string> FakeV4L2::deviceNodes() {
    std::lock_guard lock(mMutex);
    std::vector<std::string> nodes;
    for (const auto& [path, device] : mDevices) nodes.push_back(path);
    return nodes;
}

} // namespace zqtest
