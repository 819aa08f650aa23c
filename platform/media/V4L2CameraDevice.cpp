#include "platform/media/V4L2CameraDevice.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <tuple>
#include <unistd.h>
#include "ZQPlatform/Clock.h"

extern "C" {
#include <libavutil/pixfmt.h>
}

namespace platform {

namespace {

class SystemV4L2Api final : public V4L2Api {
public:
    int open(const std::string& path, int flags) override { return ::open(path.c_str(), flags); }
    int close(int fd) override { return ::close(fd); }
    int ioctl(int fd, unsigned long request, void* argument) override { return ::ioctl(fd, request, argument); }
    void* mmap(std::size_t length, int fd, off_t offset) override {
        return ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    }
    int munmap(void* address, std::size_t length) override { return ::munmap(address, length); }
    int poll(pollfd* fds, nfds_t count, int timeoutMs) override { return ::poll(fds, count, timeoutMs); }
    std::vector<std::string> deviceNodes() override {
        std::vector<std::pair<long, std::string>> found;
        if (DIR* dir = ::opendir("/dev")) {
            while (dirent* entry = ::readdir(dir)) {
                const char* name = entry->d_name;
                if (std::strncmp(name, "video", 5) != 0 || !name[5]) continue;
                char* end = nullptr;
                long number = std::strtol(name + 5, &end, 10);
                if (*end == '\0') found.emplace_back(number, std::string("/dev/") + name);
            }
            ::closedir(dir);
        }
        std::sort(found.begin(), found.end());
        std::vector<std::string> nodes;
        for (auto& [number, path] : found) nodes.push_back(std::move(path));
        return nodes;
    }
};

std::string fourcc(std::uint32_t code) {
    std::string text;
    for (int i = 0; i < 4; ++i) {
        char c = static_cast<char>((code >> (8 * i)) & 0xFF);
        if (c != ' ') text += c >= 32 && c < 127 ? c : '?';
    }
    return text;
}

// Lower is better: NV12 as is, other raw YUV through libswscale, JPEG through the decoder too.
int formatRank(std::uint32_t pixelFormat) {
    switch (pixelFormat) {
    case V4L2_PIX_FMT_NV12: return 0;
    case V4L2_PIX_FMT_YUYV:
    case V4L2_PIX_FMT_UYVY:
    case V4L2_PIX_FMT_YUV420:
    case V4L2_PIX_FMT_NV21: return 1;
    case V4L2_PIX_FMT_MJPEG:
    case V4L2_PIX_FMT_JPEG: return 2;
    default: return -1;
    }
}

bool isJpeg(std::uint32_t pixelFormat) {
    return pixelFormat == V4L2_PIX_FMT_MJPEG || pixelFormat == V4L2_PIX_FMT_JPEG;
}

// Capture capabilities of the node (not of the whole physical device).
std::uint32_t nodeCapabilities(const v4l2_capability& cap) {
    return (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
}

bool isCaptureNode(const v4l2_capability& cap) {
    const std::uint32_t caps = nodeCapabilities(cap);
    return (caps & V4L2_CAP_VIDEO_CAPTURE) && (caps & V4L2_CAP_STREAMING);
}

double rateOf(const v4l2_fract& interval) {
    return interval.numerator > 0 && interval.denominator > 0
               ? static_cast<double>(interval.denominator) / interval.numerator
               : 0;
}

std::string errnoText(int code) { return std::strerror(code); }

constexpr const char* kBusy = "the camera is busy (used by another program)";

// A capture buffer of the mmap kind, for VIDIOC_QUERYBUF, QBUF and DQBUF.
v4l2_buffer mmapBuffer(std::uint32_t index = 0) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

} // namespace

std::shared_ptr<V4L2Api> V4L2Api::system() {
    static auto api = std::make_shared<SystemV4L2Api>();
    return api;
}

bool isUsableV4L2Format(std::uint32_t pixelFormat) { return formatRank(pixelFormat) >= 0; }

std::optional<V4L2FrameSize> chooseV4L2Format(const std::vector<V4L2FrameSize>& offered, int shapeWidth,
                                              int shapeHeight, double frameRate) {
    const double wanted = frameRate > 0 ? frameRate : 30;
    std::optional<V4L2FrameSize> best;
    std::tuple<int, int, long long, int> bestKey{};
    for (const auto& offer : offered) {
        if (!isUsableV4L2Format(offer.pixelFormat) || offer.width <= 0 || offer.height <= 0) continue;
        const CropRect crop = centreCrop(offer.width, offer.height, shapeWidth, shapeHeight, 1, 1);
        const bool fastEnough = offer.maxFrameRate == 0 || offer.maxFrameRate + 0.5 >= wanted;
        const bool covers = crop.width >= shapeWidth && crop.height >= shapeHeight;
        const long long size = covers ? static_cast<long long>(offer.width) * offer.height
                                      : -static_cast<long long>(crop.width) * crop.height;
        std::tuple<int, int, long long, int> key{fastEnough ? 0 : 1, covers ? 0 : 1, size,
                                                 formatRank(offer.pixelFormat)};
        if (!best || key < bestKey) {
            best = offer;
            bestKey = key;
        }
    }
    return best;
}

bool FrameRateGate::admit(double time, double rate) {
    constexpr double kSlack = 0.25; // of a period
    if (!(rate > 0)) {
        mStarted = false;
        return true;
    }
    if (!mStarted || rate != mRate) {
        mRate = rate;
        mOrigin = time;
        mNext = 1;
        mStarted = true;
        return true;
    }
    const double position = (time - mOrigin) * rate;
    if (position + kSlack < mNext) return false;
    mNext = std::floor(position + kSlack) + 1;
    return true;
}

V4L2CameraDevice::V4L2CameraDevice(std::string path, CameraPosition position, std::shared_ptr<V4L2Api> api)
    : mAskedPath(std::move(path)), mPosition(position), mApi(std::move(api)) {}

V4L2CameraDevice::~V4L2CameraDevice() {
    stop();
    release();
}

std::string V4L2CameraDevice::name() const {
    if (!mPath.empty()) return mPath;
    return mAskedPath.empty() ? "camera" : mAskedPath;
}

bool V4L2CameraDevice::fail(std::string* error, const std::string& reason) const {
    if (error) *error = name() + ": " + reason;
    return false;
}

int V4L2CameraDevice::xioctl(unsigned long request, void* argument) const {
    int ret;
    do {
        ret = mApi->ioctl(mFd, request, argument);
    } while (ret < 0 && errno == EINTR);
    return ret;
}

bool V4L2CameraDevice::open(int width, int height, std::string* error) {
    if (isRunning()) return fail(error, "cannot open while capturing");
    if (!PixelBuffer::isValidSize(width, height) || width % 2 || height % 2)
        return fail(error, "bad picture size " + std::to_string(width) + "x" + std::to_string(height));
    stop(); // joins a capture that ended by itself
    release();
    mLost = false;
    if (!(mAskedPath.empty() ? openFirstDevice(width, height, error) : openDevice(mAskedPath, width, height, error)))
        return false;
    mWidth = width;
    mHeight = height;
    queryControls();
    applyFrameRate();
    return true;
}

bool V4L2CameraDevice::openDevice(const std::string& path, int width, int height, std::string* error) {
    mPath = path;
    mIsCaptureNode = false;
    int fd;
    do {
        fd = mApi->open(path, O_RDWR | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        const int code = errno;
        if (code == EBUSY) return fail(error, kBusy);
        if (code == ENOENT || code == ENODEV || code == ENXIO)
            return fail(error, "no such camera (" + errnoText(code) + ")");
        return fail(error, "cannot open the camera (" + errnoText(code) + ")");
    }
    mFd = fd;
    v4l2_capability cap{};
    bool ok;
    if (xioctl(VIDIOC_QUERYCAP, &cap) < 0) {
        ok = fail(error, "not a V4L2 device (" + errnoText(errno) + ")");
    } else if (!isCaptureNode(cap)) {
        ok = fail(error, "not a video capture device with streaming I/O");
    } else {
        mIsCaptureNode = true;
        ok = negotiate(width, height, error) && mapBuffers(error);
    }
    if (!ok) release();
    return ok;
}

bool V4L2CameraDevice::openFirstDevice(int width, int height, std::string* error) {
    // The first capture node that opens; failing that, why the first capture node did not.
    std::string firstReason;
    for (const auto& node : mApi->deviceNodes()) {
        std::string reason;
        if (openDevice(node, width, height, &reason)) return true;
        if (mIsCaptureNode && firstReason.empty()) firstReason = reason;
    }
    mPath.clear();
    if (!firstReason.empty()) {
        if (error) *error = firstReason;
        return false;
    }
    return fail(error, "no V4L2 video capture device found");
}

bool V4L2CameraDevice::negotiate(int width, int height, std::string* error) {
    std::vector<V4L2FrameSize> offered;
    std::string formats;
    for (std::uint32_t index = 0;; ++index) {
        v4l2_fmtdesc desc{};
        desc.index = index;
        desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (xioctl(VIDIOC_ENUM_FMT, &desc) < 0) break;
        formats += (formats.empty() ? "" : ", ") + fourcc(desc.pixelformat);
        if (!isUsableV4L2Format(desc.pixelformat)) continue;
        auto addSize = [&](int w, int h) {
            V4L2FrameSize size{desc.pixelformat, w, h, 0};
            for (std::uint32_t i = 0;; ++i) {
                v4l2_frmivalenum interval{};
                interval.index = i;
                interval.pixel_format = desc.pixelformat;
                interval.width = static_cast<std::uint32_t>(w);
                interval.height = static_cast<std::uint32_t>(h);
                if (xioctl(VIDIOC_ENUM_FRAMEINTERVALS, &interval) < 0) break;
                if (interval.type == V4L2_FRMIVAL_TYPE_DISCRETE) {
                    size.maxFrameRate = std::max(size.maxFrameRate, rateOf(interval.discrete));
                } else {
                    size.maxFrameRate = std::max(size.maxFrameRate, rateOf(interval.stepwise.min));
                    break;
                }
            }
            offered.push_back(size);
        };
        bool anySize = false;
        for (std::uint32_t i = 0;; ++i) {
            v4l2_frmsizeenum frameSize{};
            frameSize.index = i;
            frameSize.pixel_format = desc.pixelformat;
            if (xioctl(VIDIOC_ENUM_FRAMESIZES, &frameSize) < 0) break;
            anySize = true;
            if (frameSize.type == V4L2_FRMSIZE_TYPE_DISCRETE) {
                addSize(static_cast<int>(frameSize.discrete.width), static_cast<int>(frameSize.discrete.height));
                continue;
            }
            // A range of sizes: the asked one brought into the range, and the largest.
            const auto& range = frameSize.stepwise;
            auto fit = [](int value, std::uint32_t low, std::uint32_t high, std::uint32_t step) {
                long v = std::clamp<long>(value, low, high);
                if (step > 1) v = low + (v - low) / step * step;
                return static_cast<int>(v);
            };
            addSize(fit(width, range.min_width, range.max_width, range.step_width),
                    fit(height, range.min_height, range.max_height, range.step_height));
            addSize(static_cast<int>(range.max_width), static_cast<int>(range.max_height));
            break;
        }
        // A driver that lists no sizes: ask for the size itself and see what S_FMT gives.
        if (!anySize) offered.push_back({desc.pixelformat, width, height, 0});
    }

    const QuarterTurn turn = sensorTurn(mPosition, mOrientation.load());
    const int shapeWidth = swapsSides(turn) ? height : width, shapeHeight = swapsSides(turn) ? width : height;
    auto choice = chooseV4L2Format(offered, shapeWidth, shapeHeight, mFrameRate.load());
    if (!choice)
        return fail(error, "no usable picture format (offers " + (formats.empty() ? std::string("none") : formats) +
                               "; takes NV12, YUYV, UYVY, YU12, NV21, MJPG)");

    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = static_cast<std::uint32_t>(choice->width);
    format.fmt.pix.height = static_cast<std::uint32_t>(choice->height);
    format.fmt.pix.pixelformat = choice->pixelFormat;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    if (xioctl(VIDIOC_S_FMT, &format) < 0) {
        const int code = errno;
        return fail(error, code == EBUSY ? kBusy : "cannot set the picture format (" + errnoText(code) + ")");
    }
    const auto& pix = format.fmt.pix;
    if (!isUsableV4L2Format(pix.pixelformat) || !PixelBuffer::isValidSize(static_cast<int>(pix.width),
                                                                          static_cast<int>(pix.height))) {
        return fail(error, "the driver gave an unusable format (" + fourcc(pix.pixelformat) + " " +
                        std::to_string(pix.width) + "x" + std::to_string(pix.height) + ")");
    }
    mFormat = {pix.pixelformat, static_cast<int>(pix.width), static_cast<int>(pix.height), choice->maxFrameRate};
    const std::size_t packedBytes =
        pix.pixelformat == V4L2_PIX_FMT_YUYV || pix.pixelformat == V4L2_PIX_FMT_UYVY ? 2 : 1;
    mBytesPerLine = std::max<std::size_t>(pix.bytesperline, pix.width * packedBytes);

    if (isJpeg(pix.pixelformat)) {
        mColor = {true, YCbCrMatrix::BT601};
        mJpeg = std::make_unique<StillImageDecoder>(StillImageDecoder::Codec::Jpeg);
    } else {
        const auto colorspace = static_cast<v4l2_colorspace>(pix.colorspace);
        std::uint32_t encoding = pix.ycbcr_enc;
        if (encoding == V4L2_YCBCR_ENC_DEFAULT) encoding = V4L2_MAP_YCBCR_ENC_DEFAULT(colorspace);
        std::uint32_t quantization = pix.quantization;
        if (quantization == V4L2_QUANTIZATION_DEFAULT)
            quantization = V4L2_MAP_QUANTIZATION_DEFAULT(false, colorspace, encoding);
        mColor.fullRange = quantization == V4L2_QUANTIZATION_FULL_RANGE;
        mColor.matrix = encoding == V4L2_YCBCR_ENC_601 || encoding == V4L2_YCBCR_ENC_XV601 ? YCbCrMatrix::BT601
                                                                                            : YCbCrMatrix::BT709;
        mJpeg.reset();
    }

    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    mCanSetRate = xioctl(VIDIOC_G_PARM, &parm) == 0 && (parm.parm.capture.capability & V4L2_CAP_TIMEPERFRAME);
    mDeviceFrameRate = mCanSetRate ? rateOf(parm.parm.capture.timeperframe) : 0;
    return true;
}

bool V4L2CameraDevice::mapBuffers(std::string* error) {
    v4l2_requestbuffers request{};
    request.count = kBufferCount;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    if (xioctl(VIDIOC_REQBUFS, &request) < 0) {
        const int code = errno;
        return fail(error, code == EBUSY ? kBusy : "no streaming buffers (" + errnoText(code) + ")");
    }
    if (request.count < 2) {
        return fail(error, "the driver gave too few streaming buffers");
    }
    for (std::uint32_t index = 0; index < request.count; ++index) {
        v4l2_buffer buffer = mmapBuffer(index);
        if (xioctl(VIDIOC_QUERYBUF, &buffer) < 0) {
            return fail(error, "cannot query a streaming buffer (" + errnoText(errno) + ")");
        }
        void* data = mApi->mmap(buffer.length, mFd, static_cast<off_t>(buffer.m.offset));
        if (data == MAP_FAILED) {
            return fail(error, "cannot map a streaming buffer (" + errnoText(errno) + ")");
        }
        mBuffers.push_back({data, buffer.length});
    }
    return true;
}

void V4L2CameraDevice::queryControls() {
    mHasTorch = false;
    v4l2_queryctrl flash{};
    flash.id = V4L2_CID_FLASH_LED_MODE;
    if (xioctl(VIDIOC_QUERYCTRL, &flash) == 0 && !(flash.flags & V4L2_CTRL_FLAG_DISABLED) &&
        flash.minimum <= V4L2_FLASH_LED_MODE_TORCH && flash.maximum >= V4L2_FLASH_LED_MODE_TORCH) {
        v4l2_querymenu item{};
        item.id = V4L2_CID_FLASH_LED_MODE;
        item.index = V4L2_FLASH_LED_MODE_TORCH;
        mHasTorch = flash.type != V4L2_CTRL_TYPE_MENU || xioctl(VIDIOC_QUERYMENU, &item) == 0;
    }
    mHasZoom = false;
    v4l2_queryctrl zoom{};
    zoom.id = V4L2_CID_ZOOM_ABSOLUTE;
    if (xioctl(VIDIOC_QUERYCTRL, &zoom) == 0 && !(zoom.flags & (V4L2_CTRL_FLAG_DISABLED | V4L2_CTRL_FLAG_READ_ONLY)) &&
        zoom.maximum > zoom.minimum) {
        mHasZoom = true;
        mZoomMin = zoom.minimum;
        mZoomMax = zoom.maximum;
        mZoomStep = std::max(1, zoom.step);
    }
}

void V4L2CameraDevice::setFrameRate(int framesPerSecond) {
    mFrameRate = std::max(framesPerSecond, 0);
    if (mFd >= 0) applyFrameRate();
}

void V4L2CameraDevice::applyFrameRate() {
    if (!mCanSetRate) return;
    v4l2_streamparm parm{};
    parm.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    // 0/0 asks for the driver's nominal rate. While streaming many drivers refuse (EBUSY): then the
    // gate thins the pictures instead.
    const int rate = mFrameRate.load();
    parm.parm.capture.timeperframe = {rate > 0 ? 1u : 0u, static_cast<std::uint32_t>(rate)};
    if (xioctl(VIDIOC_S_PARM, &parm) == 0) mDeviceFrameRate = rateOf(parm.parm.capture.timeperframe);
}

bool V4L2CameraDevice::setTorch(bool on, std::string* error) {
    if (!mHasTorch) {
        if (error) *error = "Torch not available";
        return false;
    }
    v4l2_control control{V4L2_CID_FLASH_LED_MODE, on ? V4L2_FLASH_LED_MODE_TORCH : V4L2_FLASH_LED_MODE_NONE};
    if (xioctl(VIDIOC_S_CTRL, &control) < 0) {
        return fail(error,
                    std::string("cannot switch the torch ") + (on ? "on" : "off") + " (" + errnoText(errno) + ")");
    }
    return true;
}

bool V4L2CameraDevice::torchActive() const {
    if (!mHasTorch) return false;
    v4l2_control control{V4L2_CID_FLASH_LED_MODE, 0};
    return xioctl(VIDIOC_G_CTRL, &control) == 0 && control.value == V4L2_FLASH_LED_MODE_TORCH;
}

bool V4L2CameraDevice::setZoomFactor(double factor, std::string* error) {
    if (!mHasZoom) {
        if (error) *error = "Zoom not available";
        return false;
    }
    // Zoom units are the device's: its minimum counts as 1x and, where the minimum is positive (UVC
    // cameras give 100 ... 500), one minimum more as each further 1x; otherwise 100 units per 1x.
    const double unit = mZoomMin > 0 ? mZoomMin : 100;
    const double maxFactor = 1 + (mZoomMax - mZoomMin) / unit;
    if (!std::isfinite(factor) || factor < 1 || factor > maxFactor + 1e-9) {
        char range[64];
        std::snprintf(range, sizeof range, "%g is outside 1 to %g", std::isfinite(factor) ? factor : 0.0, maxFactor);
        return fail(error, std::string("zoom factor ") + range);
    }
    long value = std::lround(mZoomMin + (factor - 1) * unit);
    value = mZoomMin + (value - mZoomMin) / mZoomStep * mZoomStep;
    v4l2_control control{V4L2_CID_ZOOM_ABSOLUTE,
                         static_cast<std::int32_t>(std::clamp<long>(value, mZoomMin, mZoomMax))};
    if (xioctl(VIDIOC_S_CTRL, &control) < 0) {
        return fail(error, "cannot set the zoom (" + errnoText(errno) + ")");
    }
    return true;
}

bool V4L2CameraDevice::start(SampleHandler onSample, LossHandler onLost, std::string* error) {
    if (mFd < 0 || mBuffers.empty()) return fail(error, "not open");
    if (isRunning()) return fail(error, "already capturing");
    if (mLost) return fail(error, "the camera was lost; open it again");
    stop(); // joins a capture that ended by itself
    for (std::uint32_t index = 0; index < mBuffers.size(); ++index) {
        v4l2_buffer buffer = mmapBuffer(index);
        if (xioctl(VIDIOC_QBUF, &buffer) < 0) {
            const int code = errno;
            int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
            xioctl(VIDIOC_STREAMOFF, &type); // takes the queued buffers back
            return fail(error, "cannot queue a streaming buffer (" + errnoText(code) + ")");
        }
    }
    int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (xioctl(VIDIOC_STREAMON, &type) < 0) {
        const int code = errno;
        xioctl(VIDIOC_STREAMOFF, &type); // takes the queued buffers back
        return fail(error, code == EBUSY ? kBusy : "cannot start streaming (" + errnoText(code) + ")");
    }
    mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (mWakeFd < 0) {
        xioctl(VIDIOC_STREAMOFF, &type);
        return fail(error, "no wake-up descriptor (" + errnoText(errno) + ")");
    }
    mOnSample = std::move(onSample);
    mOnLost = std::move(onLost);
    mGate = FrameRateGate();
    mRunning = true;
    mThread = std::thread(&V4L2CameraDevice::run, this);
    return true;
}

void V4L2CameraDevice::stop() {
    if (mThread.joinable()) {
        if (mThread.get_id() == std::this_thread::get_id()) {
            // From a handler (not allowed, but not a deadlock): the thread ends after it.
            mRunning = false;
            std::uint64_t one = 1;
            [[maybe_unused]] auto n = ::write(mWakeFd, &one, sizeof one);
            return;
        }
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(mWakeFd, &one, sizeof one);
        mThread.join();
    }
    if (mWakeFd >= 0) {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        if (mFd >= 0) xioctl(VIDIOC_STREAMOFF, &type); // fails harmlessly on a lost device
        ::close(mWakeFd);
        mWakeFd = -1;
    }
    mRunning = false;
    mOnSample = nullptr;
    mOnLost = nullptr;
}

void V4L2CameraDevice::release() {
    for (const auto& buffer : mBuffers) mApi->munmap(buffer.data, buffer.length);
    mBuffers.clear();
    if (mFd >= 0) {
        v4l2_requestbuffers request{};
        request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request.memory = V4L2_MEMORY_MMAP;
        xioctl(VIDIOC_REQBUFS, &request); // count 0 frees the driver's buffers
        mApi->close(mFd);
        mFd = -1;
    }
    mHasTorch = mHasZoom = false;
}

void V4L2CameraDevice::reportLoss(const std::string& reason) {
    if (mLost.exchange(true)) return;
    mRunning = false;
    if (mOnLost) mOnLost(name() + ": " + reason);
}

void V4L2CameraDevice::run() {
    pthread_setname_np(pthread_self(), "zq.camera.v4l2");
    while (mRunning.load()) {
        pollfd fds[2] = {{mFd, POLLIN, 0}, {mWakeFd, POLLIN, 0}};
        int ready = mApi->poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            reportLoss("waiting for pictures failed (" + errnoText(errno) + ")");
            return;
        }
        if (fds[1].revents) return; // stop()
        if (!fds[0].revents) continue;
        const bool deviceError = fds[0].revents & (POLLERR | POLLHUP | POLLNVAL);
        v4l2_buffer buffer = mmapBuffer();
        if (xioctl(VIDIOC_DQBUF, &buffer) < 0) {
            const int code = errno;
            if (code == EAGAIN && !deviceError) continue;
            reportLoss(code == EAGAIN ? "the device reports an error" : "the camera is gone (" + errnoText(code) + ")");
            return;
        }
        if (buffer.index < mBuffers.size() && !(buffer.flags & V4L2_BUF_FLAG_ERROR)) {
            double taken = buffer.timestamp.tv_sec + buffer.timestamp.tv_usec / 1e6;
            if (taken == 0)
                taken = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
            if (mGate.admit(taken, mFrameRate.load()))
                deliver(mBuffers[buffer.index], std::min<std::size_t>(buffer.bytesused, mBuffers[buffer.index].length));
        }
        if (xioctl(VIDIOC_QBUF, &buffer) < 0) {
            reportLoss("the camera is gone (" + errnoText(errno) + ")");
            return;
        }
    }
}

void V4L2CameraDevice::deliver(const Buffer& buffer, std::size_t bytesUsed) {
    const auto* bytes = static_cast<const std::uint8_t*>(buffer.data);
    const int w = mFormat.width, h = mFormat.height;
    const std::size_t stride = mBytesPerLine;
    SourcePicture picture;
    picture.width = w;
    picture.height = h;
    std::size_t needed = stride * static_cast<std::size_t>(h);
    switch (mFormat.pixelFormat) {
    case V4L2_PIX_FMT_NV12:
    case V4L2_PIX_FMT_NV21:
        picture.format = mFormat.pixelFormat == V4L2_PIX_FMT_NV12 ? AV_PIX_FMT_NV12 : AV_PIX_FMT_NV21;
        picture.data[1] = bytes + needed;
        picture.linesize[1] = static_cast<int>(stride);
        needed += stride * static_cast<std::size_t>((h + 1) / 2);
        break;
    case V4L2_PIX_FMT_YUV420: {
        picture.format = AV_PIX_FMT_YUV420P;
        const std::size_t chromaStride = stride / 2, chromaBytes = chromaStride * static_cast<std::size_t>((h + 1) / 2);
        picture.data[1] = bytes + needed;
        picture.data[2] = bytes + needed + chromaBytes;
        picture.linesize[1] = picture.linesize[2] = static_cast<int>(chromaStride);
        needed += 2 * chromaBytes;
        break;
    }
    case V4L2_PIX_FMT_YUYV: picture.format = AV_PIX_FMT_YUYV422; break;
    case V4L2_PIX_FMT_UYVY: picture.format = AV_PIX_FMT_UYVY422; break;
    default: needed = 0; break; // JPEG
    }
    std::string error;
    if (mJpeg) {
        // A damaged JPEG (a USB hiccup) costs that one picture.
        const AVFrame* frame = mJpeg->decode({bytes, bytesUsed}, &error);
        if (!frame) return;
        picture = sourcePicture(*frame);
    } else {
        if (bytesUsed < needed) return; // a short picture: never read past what the driver filled
        picture.data[0] = bytes;
        picture.linesize[0] = static_cast<int>(stride);
    }
    auto output = mConverter.convert(picture, mWidth, mHeight, sensorTurn(mPosition, mOrientation.load()), &error);
    if (!output || !mOnSample) return;
    mOnSample(CameraSample{std::move(output), mColor.fullRange, mColor.matrix, mediaTime()});
}

} // namespace platform
