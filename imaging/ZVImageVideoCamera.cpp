#include "imaging/ZVImageVideoCamera.h"

#include <algorithm>

#include "ZQPlatform/Console.h"
#include "imaging/ZVImageContext.h"
#include "imaging/ZVImageFramebufferCache.h"

using namespace zvgl;

namespace {

const char* positionName(platform::CameraPosition position) {
    return position == platform::CameraPosition::Front ? "front" : "back";
}

// The rotation that turns a landscape sensor picture upright for the interface orientation.
int rotationFor(platform::CameraPosition position, bool mirrored, std::int64_t orientation) {
    static const int kTable[4][4] = {
        // orientation 1, 2, 3, 4
        {2, 1, 0, 7}, // back
        {5, 7, 3, 4}, // back, mirrored
        {2, 1, 7, 0}, // front
        {5, 6, 3, 4}, // front, mirrored
    };
    if (orientation < 1 || orientation > 4) return kZVImageNoRotation;
    int row = (position == platform::CameraPosition::Front ? 2 : 0) + (mirrored ? 1 : 0);
    return kTable[row][orientation - 1];
}

const float* conversionMatrix(const platform::CameraSample& sample) {
    if (sample.matrix == platform::YCbCrMatrix::BT709)
        return sample.fullRange ? kZVColorConversion709FullRange : kZVColorConversion709;
    return sample.fullRange ? kZVColorConversion601FullRange : kZVColorConversion601;
}

} // namespace

platform::Size ZVImageVideoCamera::sizeForSessionPreset(const std::string& sessionPreset) {
    if (sessionPreset == "AVCaptureSessionPresetiFrame960x540") return {960, 540};
    if (sessionPreset == "AVCaptureSessionPreset1280x720") return {1280, 720};
    return {640, 480};
}

std::shared_ptr<ZVImageVideoCamera> ZVImageVideoCamera::create(const std::string& sessionPreset,
                                                               platform::CameraPosition cameraPosition,
                                                               ZVCameraDeviceProvider provider, std::string* error) {
    std::string reason;
    auto device = provider ? provider(cameraPosition, &reason) : nullptr;
    if (!device) {
        if (reason.empty()) reason = std::string("no camera source at the ") + positionName(cameraPosition);
    } else {
        platform::Size size = sizeForSessionPreset(sessionPreset);
        if (!device->open(static_cast<int>(size.width), static_cast<int>(size.height), &reason)) {
            platform::Console::log("Couldn't add video output");
            reason = "camera " + device->name() + " cannot be opened: " + reason;
            device.reset();
        }
    }
    if (!device) {
        if (error) *error = reason;
        return nullptr;
    }
    return std::shared_ptr<ZVImageVideoCamera>(
        new ZVImageVideoCamera(sessionPreset, cameraPosition, std::move(provider), std::move(device)));
}

ZVImageVideoCamera::ZVImageVideoCamera(std::string sessionPreset, platform::CameraPosition position,
                                       ZVCameraDeviceProvider provider, std::shared_ptr<platform::CameraDevice> device)
    : mCaptureSessionPreset(std::move(sessionPreset)), mCaptureSize(sizeForSessionPreset(mCaptureSessionPreset)),
      mProvider(std::move(provider)), mDevice(std::move(device)), mCameraPosition(position) {
    mIsFullYUVRange = mDevice->offersFullRange();
    runSynchronouslyOnVideoProcessingQueue([&] {
        ZVImageContext::useImageProcessingContext();
        conversionProgram(mIsFullYUVRange.load());
    });
}

ZVImageVideoCamera::~ZVImageVideoCamera() {
    std::shared_ptr<platform::CameraDevice> device;
    {
        std::lock_guard lock(mDeviceMutex);
        device = std::move(mDevice);
    }
    if (device && device->isRunning()) device->stop();
    GLuint textures[2] = {mLuminanceTexture, mChrominanceTexture};
    if (textures[0] || textures[1])
        runAsynchronouslyOnVideoProcessingQueue([textures] {
            ZVImageContext::useImageProcessingContext();
            glDeleteTextures(2, textures);
        });
}

std::shared_ptr<ZVGLProgram> ZVImageVideoCamera::conversionProgram(bool fullRange) {
    auto& program = fullRange ? mFullRangeProgram : mVideoRangeProgram;
    if (!program) {
        program = ZVImageContext::sharedImageProcessingContext().linkedProgram(
            kZVImageVertexShaderString,
            fullRange ? kZVImageYUVFullRangeConversionForLAFragmentShaderString
                      : kZVImageYUVVideoRangeConversionForLAFragmentShaderString,
            {"position", "inputTextureCoordinate"});
    }
    return program;
}

bool ZVImageVideoCamera::startDevice(const std::shared_ptr<platform::CameraDevice>& device, std::string* error) {
    std::weak_ptr<ZVImageVideoCamera> weak = std::static_pointer_cast<ZVImageVideoCamera>(shared_from_this());
    auto onSample = [weak](const platform::CameraSample& sample) {
        if (auto camera = weak.lock()) camera->captureOutput(sample);
    };
    auto onLost = [weak](const std::string& reason) {
        auto camera = weak.lock();
        if (!camera) return;
        std::function<void(const std::string&)> handler;
        {
            std::lock_guard lock(camera->mDeviceMutex);
            handler = camera->mLossHandler;
        }
        if (handler) handler(reason);
    };
    std::string reason;
    if (device->start(onSample, onLost, &reason)) return true;
    if (error) *error = "camera " + device->name() + " cannot start: " + reason;
    return false;
}

bool ZVImageVideoCamera::startCameraCapture(std::string* error) {
    auto device = inputCamera();
    if (!device) {
        if (error) *error = "no camera";
        return false;
    }
    if (device->isRunning()) return true;
    return startDevice(device, error);
}

void ZVImageVideoCamera::stopCameraCapture() {
    if (auto device = inputCamera(); device && device->isRunning()) device->stop();
}

bool ZVImageVideoCamera::isRunning() const {
    auto device = inputCamera();
    return device && device->isRunning();
}

std::shared_ptr<platform::CameraDevice> ZVImageVideoCamera::inputCamera() const {
    std::lock_guard lock(mDeviceMutex);
    return mDevice;
}

platform::CameraPosition ZVImageVideoCamera::cameraPosition() const {
    std::lock_guard lock(mDeviceMutex);
    return mCameraPosition;
}

bool ZVImageVideoCamera::rotateCamera(std::string* error) {
    if (!mProvider || !mProvider(platform::CameraPosition::Front, nullptr)) {
        if (error) *error = "there is no front camera source to switch with";
        return false;
    }
    platform::CameraPosition current = cameraPosition();
    platform::CameraPosition next =
        current == platform::CameraPosition::Front ? platform::CameraPosition::Back : platform::CameraPosition::Front;
    std::string missing;
    auto device = mProvider(next, &missing);
    if (!device) {
        if (error) *error = missing.empty() ? std::string("no camera source at the ") + positionName(next) : missing;
        return false;
    }
    std::string reason;
    if (!device->open(static_cast<int>(mCaptureSize.width), static_cast<int>(mCaptureSize.height), &reason)) {
        if (error) *error = "camera " + device->name() + " cannot be opened: " + reason;
        return false;
    }
    auto old = inputCamera();
    bool wasRunning = old && old->isRunning();
    if (wasRunning) old->stop();
    if (wasRunning && !startDevice(device, error)) {
        // The old source goes back in.
        startDevice(old, nullptr);
        return false;
    }
    device->setFrameRate(std::max(0, mFrameRate.load()));
    {
        std::lock_guard lock(mDeviceMutex);
        mDevice = device;
        mCameraPosition = next;
    }
    mIsFullYUVRange = device->offersFullRange();
    setOutputImageOrientation(mOutputImageOrientation.load());
    return true;
}

void ZVImageVideoCamera::setFrameRate(int frameRate) {
    mFrameRate = frameRate;
    if (auto device = inputCamera()) device->setFrameRate(frameRate > 0 ? frameRate : 0);
}

void ZVImageVideoCamera::setOutputImageOrientation(std::int64_t orientation) {
    mOutputImageOrientation = orientation;
    // The source turns its scene as a phone's sensor would see it held that way; the rotation
    // table below then turns it upright again.
    if (auto device = inputCamera()) device->setOutputImageOrientation(orientation);
    updateOrientationSendToTargets();
}

void ZVImageVideoCamera::setHorizontallyMirrorFrontFacingCamera(bool mirror) {
    mMirrorFront = mirror;
    updateOrientationSendToTargets();
}

void ZVImageVideoCamera::setHorizontallyMirrorRearFacingCamera(bool mirror) {
    mMirrorRear = mirror;
    updateOrientationSendToTargets();
}

int ZVImageVideoCamera::internalRotation() const {
    int rotation = 0;
    runSynchronouslyOnVideoProcessingQueue([&] { rotation = mInternalRotation; });
    return rotation;
}

void ZVImageVideoCamera::updateOrientationSendToTargets() {
    runSynchronouslyOnVideoProcessingQueue([&] {
        platform::CameraPosition position = cameraPosition();
        bool mirrored = position == platform::CameraPosition::Front ? mMirrorFront.load() : mMirrorRear.load();
        mInternalRotation = rotationFor(position, mirrored, mOutputImageOrientation.load());
        for (const auto& entry : targetEntries()) entry.target->setInputRotation(outputRotation(), entry.index);
    });
}

void ZVImageVideoCamera::setDelegate(std::weak_ptr<ZVImageVideoCameraDelegate> delegate) {
    std::lock_guard lock(mDeviceMutex);
    mDelegate = std::move(delegate);
}

void ZVImageVideoCamera::setLossHandler(std::function<void(const std::string&)> handler) {
    std::lock_guard lock(mDeviceMutex);
    mLossHandler = std::move(handler);
}

void ZVImageVideoCamera::captureOutput(const platform::CameraSample& sample) {
    if (!sample.pixelBuffer) return;
    bool idle = false;
    if (!mFrameInFlight->compare_exchange_strong(idle, true)) {
        ++mDroppedFrames;
        return;
    }
    std::weak_ptr<ZVImageVideoCamera> weak = std::static_pointer_cast<ZVImageVideoCamera>(shared_from_this());
    runAsynchronouslyOnVideoProcessingQueue([weak, sample, inFlight = mFrameInFlight] {
        if (auto camera = weak.lock()) {
            std::shared_ptr<ZVImageVideoCameraDelegate> delegate;
            {
                std::lock_guard lock(camera->mDeviceMutex);
                delegate = camera->mDelegate.lock();
            }
            if (delegate) delegate->willOutputSampleBuffer(sample);
            camera->processVideoSampleBuffer(sample);
        }
        *inFlight = false;
    });
}

void ZVImageVideoCamera::processVideoSampleBuffer(const platform::CameraSample& sample) {
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (mCapturePaused.load() || !ZVImageContext::sharedImageProcessingContext().isAvailable()) return;
        const auto& buffer = sample.pixelBuffer;
        if (!buffer || buffer->format() != platform::PixelFormat::NV12) return;
        int width = buffer->width(), height = buffer->height();
        ZVImageContext::useImageProcessingContext();

        // Luminance as a one-channel texture, chrominance as luminance-alpha (U in red, V in alpha).
        bool allocate = width != mTextureWidth || height != mTextureHeight || !mLuminanceTexture;
        if (!mLuminanceTexture) {
            GLuint textures[2];
            glGenTextures(2, textures);
            mLuminanceTexture = textures[0];
            mChrominanceTexture = textures[1];
            for (GLuint texture : textures) {
                glBindTexture(GL_TEXTURE_2D, texture);
                glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
                glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
            }
        }
        glActiveTexture(GL_TEXTURE4);
        glBindTexture(GL_TEXTURE_2D, mLuminanceTexture);
        ZVImageContext::uploadRows(GL_LUMINANCE, 1, width, height, buffer->planeData(0), buffer->bytesPerRow(0),
                                   allocate);
        glActiveTexture(GL_TEXTURE5);
        glBindTexture(GL_TEXTURE_2D, mChrominanceTexture);
        ZVImageContext::uploadRows(GL_LUMINANCE_ALPHA, 2, (width + 1) / 2, buffer->planeHeight(1), buffer->planeData(1),
                                   buffer->bytesPerRow(1), allocate);
        mTextureWidth = width;
        mTextureHeight = height;

        platform::Size rotated = ZVImageRotatedSize({static_cast<double>(width), static_cast<double>(height)},
                                                    mInternalRotation);
        auto program = conversionProgram(sample.fullRange);
        ZVImageContext::setActiveShaderProgram(program);
        mOutputFramebuffer = ZVImageContext::sharedFramebufferCache().fetchFramebufferForSize(rotated, false);
        mOutputFramebuffer->activateFramebuffer();
        glClearColor(0, 0, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);

        // Luminance texels land on output pixels one to one. Chrominance (half size) is
        // interpolated on a GPU; where the CPU draws, each sample covers its 2x2 pixels, as the
        // encoder's 4:2:0 conversion takes them back, at well under half the cost.
        glActiveTexture(GL_TEXTURE4);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
        glActiveTexture(GL_TEXTURE5);
        GLint chromaFilter = ZVImageContext::sharedImageProcessingContext().rendersOnCPU() ? GL_NEAREST : GL_LINEAR;
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, chromaFilter);
        glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, chromaFilter);
        glUniform1i(program->uniformIndex("luminanceTexture"), 4);
        glUniform1i(program->uniformIndex("chrominanceTexture"), 5);
        glUniformMatrix3fv(program->uniformIndex("colorConversionMatrix"), 1, GL_FALSE, conversionMatrix(sample));
        GLuint position = program->attributeIndex("position");
        GLuint coordinate = program->attributeIndex("inputTextureCoordinate");
        glEnableVertexAttribArray(position);
        glEnableVertexAttribArray(coordinate);
        glVertexAttribPointer(position, 2, GL_FLOAT, GL_FALSE, 0, kZVImageVertices);
        glVertexAttribPointer(coordinate, 2, GL_FLOAT, GL_FALSE, 0, ZVImageTextureCoordinatesForRotation(mInternalRotation));
        glDrawArrays(GL_TRIANGLE_STRIP, 0, 4);
        ++mProcessedFrames;

        auto framebuffer = mOutputFramebuffer;
        auto entries = targetEntries();
        for (const auto& entry : entries) {
            if (isIgnored(*entry.target)) continue;
            entry.target->setInputSize(rotated, entry.index);
            entry.target->setInputFramebuffer(framebuffer, entry.index);
        }
        framebuffer->unlock();
        removeOutputFramebuffer();
        for (const auto& entry : entries) {
            if (isIgnored(*entry.target)) continue;
            entry.target->newFrameReadyAtTime(sample.presentationTime, entry.index);
        }
    });
}
