#include "platform/media/PacedCameraDevice.h"

#include "ZQPlatform/Clock.h"

namespace platform {

PacedCameraDevice::PacedCameraDevice(CameraPosition position, std::string threadName,
                                     std::shared_ptr<PacerClock> clock)
    : mPosition(position), mThreadName(std::move(threadName)), mClock(std::move(clock)) {}

PacedCameraDevice::~PacedCameraDevice() { stop(); }

bool PacedCameraDevice::open(int width, int height, std::string* error) {
    if (isRunning()) {
        if (error) *error = name() + ": cannot open while running";
        return false;
    }
    if (!PixelBuffer::isValidSize(width, height) || width % 2 || height % 2) {
        if (error) *error = name() + ": bad picture size " + std::to_string(width) + "x" + std::to_string(height);
        return false;
    }
    stop(); // joins a run that ended by itself
    mOpen = false;
    if (!openSource(width, height, error)) return false;
    mWidth = width;
    mHeight = height;
    mOpen = true;
    mLost = false;
    return true;
}

bool PacedCameraDevice::offersFullRange() const { return mOpen && color().fullRange; }

void PacedCameraDevice::setFrameRate(int framesPerSecond) {
    mFrameRate = framesPerSecond > 0 ? framesPerSecond : 0;
    if (mPacer) mPacer->setPeriod(period());
}

double PacedCameraDevice::period() const {
    const int asked = mFrameRate.load();
    const double rate = asked > 0 ? asked : nativeFrameRate();
    return 1.0 / (rate > 0 ? rate : 30.0);
}

void PacedCameraDevice::setOutputImageOrientation(std::int64_t orientation) { mOrientation = orientation; }

bool PacedCameraDevice::start(SampleHandler onSample, LossHandler onLost, std::string* error) {
    auto fail = [&](const std::string& reason) {
        if (error) *error = name() + ": " + reason;
        return false;
    };
    if (!mOpen) return fail("not open");
    if (isRunning()) return fail("already running");
    if (mLost) return fail("the source was lost; open it again");
    stop(); // joins a run that ended by itself
    mOnSample = std::move(onSample);
    mOnLost = std::move(onLost);
    restart();
    mStartTime = mClock->now();
    // Like a camera: a late picture is dropped, never delivered in a burst.
    mPacer = std::make_unique<RealTimePacer>(
        mThreadName, period(), [this](std::uint64_t index) { tick(index); }, mClock, 1.0,
        RealTimePacer::LatePolicy::Drop);
    return mPacer->start() || fail("the delivery thread did not start");
}

void PacedCameraDevice::tick(std::uint64_t index) {
    if (mLost) return;
    std::string lost;
    auto picture = makePicture(index, mClock->now() - mStartTime,
                               sensorTurn(mPosition, mOrientation.load()), &lost);
    if (!lost.empty()) {
        mLost = true;
        if (mOnLost) mOnLost(name() + ": " + lost);
        mPacer->stop(); // from the tick: the thread ends after it
        return;
    }
    if (!picture || !mOnSample) return;
    const ColorDescription described = color();
    mOnSample(CameraSample{std::move(picture), described.fullRange, described.matrix, mediaTime()});
}

void PacedCameraDevice::stop() {
    if (mPacer) mPacer->stop();
}

bool PacedCameraDevice::isRunning() const { return mPacer && mPacer->running() && !mLost; }

} // namespace platform
