#include "capture/ZVVideoCapture.h"

#include "ZQLiveKit/Application.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/DispatchQueue.h"
#include "imaging/ZVImageContext.h"
#include "session/ZQLiveSessionParts.h"

namespace {

constexpr const char* kPreset640x480 = "AVCaptureSessionPreset640x480";

// The sources the shared camera registry names for each position.
std::shared_ptr<platform::CameraDevice> registryDevice(platform::CameraPosition position, std::string* error) {
    return std::shared_ptr<platform::CameraDevice>(platform::makeCameraDevice(position, error));
}

std::mutex gProviderMutex;
ZVCameraDeviceProvider gDefaultProvider = registryDevice;

// Capture type 2 of every live session is this capture, over the process's camera sources.
const bool gRegistered = [] {
    ZQLiveSessionParts::registerVideoCapture([](std::shared_ptr<ZQLiveVideoConfiguration> configuration) {
        return std::static_pointer_cast<ZVVideoCaptureSource>(ZVVideoCapture::create(std::move(configuration)));
    });
    return true;
}();

// A copy of a graph node, read on the queue that owns the graph.
template <typename Node>
std::shared_ptr<Node> onVideoQueue(const std::shared_ptr<Node>& node) {
    std::shared_ptr<Node> copy;
    runSynchronouslyOnVideoProcessingQueue([&] { copy = node; });
    return copy;
}

} // namespace

void ZVVideoCapture::setDefaultCameraDeviceProvider(ZVCameraDeviceProvider provider) {
    std::lock_guard lock(gProviderMutex);
    gDefaultProvider = provider ? std::move(provider) : ZVCameraDeviceProvider(registryDevice);
}

ZVCameraDeviceProvider ZVVideoCapture::defaultCameraDeviceProvider() {
    (void)gRegistered;
    std::lock_guard lock(gProviderMutex);
    return gDefaultProvider;
}

std::shared_ptr<ZVVideoCapture> ZVVideoCapture::create(std::shared_ptr<ZQLiveVideoConfiguration> configuration,
                                                       ZVCameraDeviceProvider provider) {
    if (!configuration) return nullptr;
    if (!provider) provider = defaultCameraDeviceProvider();
    std::shared_ptr<ZVVideoCapture> capture(new ZVVideoCapture(std::move(configuration), std::move(provider)));
    capture->initialize();
    return capture;
}

ZVVideoCapture::ZVVideoCapture(std::shared_ptr<ZQLiveVideoConfiguration> configuration, ZVCameraDeviceProvider provider)
    : mConfiguration(std::move(configuration)), mProvider(std::move(provider)) {}

void ZVVideoCapture::initialize() {
    std::weak_ptr<ZVVideoCapture> weak = weak_from_this();
    auto& center = platform::NotificationCenter::defaultCenter();
    auto observe = [&](const char* name, void (ZVVideoCapture::*handler)()) {
        mObservers.push_back(center.addObserver(name, nullptr, nullptr, [weak, handler](const platform::Notification&) {
            if (auto self = weak.lock()) ((*self).*handler)();
        }));
    };
    observe(platform::kApplicationWillResignActiveNotification, &ZVVideoCapture::willEnterBackground);
    observe(platform::kApplicationDidBecomeActiveNotification, &ZVVideoCapture::willEnterForeground);
    observe(platform::kApplicationWillChangeStatusBarOrientationNotification, &ZVVideoCapture::statusBarChanged);
    setBeautyFace(true);
    setBeautyLevel(0.5);
    setBrightLevel(0.5);
    setZoomScale(1.0);
    setMirror(false);
}

ZVVideoCapture::~ZVVideoCapture() {
    platform::DispatchQueue::main()->async([] { platform::Application::setIdleTimerDisabled(false); });
    mObservers.clear();
    // The graph's nodes go on the video-processing queue, where their framebuffers are counted.
    auto nodes = std::make_shared<std::vector<std::shared_ptr<void>>>(std::vector<std::shared_ptr<void>>{
        std::move(mBeautyFilter), std::move(mFilter), std::move(mCropfilter), std::move(mOutput),
        std::move(mBlendFilter), std::move(mUIElementInput)});
    runAsynchronouslyOnVideoProcessingQueue([nodes] { nodes->clear(); });
}

// --- the graph ---

std::shared_ptr<ZVImageVideoCamera> ZVVideoCapture::makeCameraIfNeeded() {
    {
        std::lock_guard lock(mMutex);
        if (mVideoCamera) return mVideoCamera;
    }
    std::string error;
    auto camera = ZVImageVideoCamera::create(mConfiguration->avSessionPreset(), platform::CameraPosition::Front,
                                             mProvider, &error);
    if (camera) {
        camera->setOutputImageOrientation(mConfiguration->outputImageOrientation());
        camera->setHorizontallyMirrorRearFacingCamera(false);
        camera->setHorizontallyMirrorFrontFacingCamera(false);
        camera->setFrameRate(static_cast<int>(mConfiguration->videoFrameRate()));
        std::weak_ptr<ZVVideoCapture> weak = weak_from_this();
        camera->setLossHandler([weak](const std::string& reason) {
            if (auto self = weak.lock()) self->reportError("the camera was lost: " + reason);
        });
    }
    std::lock_guard lock(mMutex);
    if (!camera) {
        mCameraError = error;
        return nullptr;
    }
    mVideoCamera = camera;
    mCaptureDevicePosition = static_cast<std::int64_t>(platform::CameraPosition::Front);
    mCameraError.clear();
    return camera;
}

std::shared_ptr<ZVImageVideoCamera> ZVVideoCapture::videoCamera() const {
    std::lock_guard lock(mMutex);
    return mVideoCamera;
}

std::shared_ptr<ZVImageBeautyFilter> ZVVideoCapture::beautyFilter() const { return onVideoQueue(mBeautyFilter); }
std::shared_ptr<ZVImageFilter> ZVVideoCapture::filter() const { return onVideoQueue(mFilter); }
std::shared_ptr<ZVImageCropFilter> ZVVideoCapture::cropfilter() const { return onVideoQueue(mCropfilter); }
std::shared_ptr<ZVImageEmptyFilter> ZVVideoCapture::output() const { return onVideoQueue(mOutput); }

std::shared_ptr<ZVImageAlphaBlendFilter> ZVVideoCapture::blendFilter() {
    std::shared_ptr<ZVImageAlphaBlendFilter> node;
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (!mBlendFilter) {
            // Each camera frame is blended with the last rendered watermark: no waiting for it.
            mBlendFilter = std::make_shared<ZVImageAlphaBlendFilter>();
            mBlendFilter->setMix(1.0);
            mBlendFilter->disableSecondFrameCheck();
        }
        node = mBlendFilter;
    });
    return node;
}

std::shared_ptr<platform::View> ZVVideoCapture::waterMarkContentView() {
    std::lock_guard lock(mMutex);
    if (!mWaterMarkContentView) {
        platform::Size size = videoSize();
        mWaterMarkContentView = platform::View::create(platform::makeRect(0, 0, size.width, size.height));
        mWaterMarkContentView->setAutoresizingMask(platform::ViewAutoresizingFlexibleWidth |
                                                   platform::ViewAutoresizingFlexibleHeight);
    }
    return mWaterMarkContentView;
}

std::shared_ptr<ZVImageUIElement> ZVVideoCapture::uiElementInput() {
    auto content = waterMarkContentView();
    std::shared_ptr<ZVImageUIElement> node;
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (!mUIElementInput) mUIElementInput = std::make_shared<ZVImageUIElement>(content);
        node = mUIElementInput;
    });
    return node;
}

std::shared_ptr<ZVImageView> ZVVideoCapture::previewImageView() {
    {
        std::lock_guard lock(mMutex);
        if (mPreviewImageView) return mPreviewImageView;
    }
    // Made outside the lock: a preview view sets itself up on the video-processing queue.
    platform::Size screen = platform::Application::mainScreenSize().value_or(videoSize());
    auto preview = ZVImageView::create(platform::makeRect(0, 0, screen.width, screen.height));
    preview->setFillMode(kZVImageFillModePreserveAspectRatioAndFilling);
    preview->setAutoresizingMask(platform::ViewAutoresizingFlexibleWidth | platform::ViewAutoresizingFlexibleHeight);
    std::lock_guard lock(mMutex);
    if (!mPreviewImageView) mPreviewImageView = std::move(preview);
    return mPreviewImageView;
}

std::shared_ptr<ZVImageMovieWriter> ZVVideoCapture::movieWriter() {
    std::lock_guard lock(mMutex);
    if (!mMovieWriter) {
        mMovieWriter = std::make_shared<ZVImageMovieWriter>(mSaveLocalVideoPath.value_or(""), videoSize());
        mMovieWriter->setEncodingLiveVideo(true);
        mMovieWriter->setShouldPassthroughAudio(true);
        if (mVideoCamera) mVideoCamera->setAudioEncodingTarget(mMovieWriter);
    }
    return mMovieWriter;
}

void ZVVideoCapture::reloadFilter() {
    auto camera = makeCameraIfNeeded();
    auto blend = blendFilter();
    auto element = uiElementInput();
    auto preview = previewImageView();
    std::shared_ptr<platform::View> watermark = warterMarkView();
    std::shared_ptr<ZVImageMovieWriter> writer = mSaveLocalVideo.load() ? movieWriter() : nullptr;
    bool crop = mConfiguration->avSessionPreset() == kPreset640x480;
    bool landscape = mConfiguration->landscape();
    platform::Size size = videoSize();
    std::weak_ptr<ZVVideoCapture> weak = weak_from_this();

    // One block on the queue: no frame ever passes a half-built graph.
    runSynchronouslyOnVideoProcessingQueue([&] {
        if (mFilter) mFilter->removeAllTargets();
        blend->removeAllTargets();
        element->removeAllTargets();
        if (camera) camera->removeAllTargets();
        if (mOutput) mOutput->removeAllTargets();
        if (mCropfilter) mCropfilter->removeAllTargets();

        mOutput = std::make_shared<ZVImageEmptyFilter>();
        if (mBeautyFace.load()) {
            // A new beauty filter starts from its own levels; the stored ones are not applied again.
            mBeautyFilter = std::make_shared<ZVImageBeautyFilter>();
            mFilter = mBeautyFilter;
        } else {
            mFilter = std::make_shared<ZVImageEmptyFilter>();
            mBeautyFilter.reset();
        }
        reloadMirror();

        if (crop) {
            mCropfilter = std::make_shared<ZVImageCropFilter>(landscape ? platform::makeRect(0, 0.125, 1, 0.75)
                                                                        : platform::makeRect(0.125, 0, 0.75, 1));
            if (camera) camera->addTarget(mCropfilter);
            mCropfilter->addTarget(mFilter);
        } else {
            mCropfilter.reset();
            if (camera) camera->addTarget(mFilter);
        }

        if (watermark) {
            mFilter->addTarget(blend);
            element->addTarget(blend);
            blend->addTarget(preview);
            if (writer) blend->addTarget(writer);
            mFilter->addTarget(mOutput);
            element->update();
        } else {
            mFilter->addTarget(mOutput);
            mOutput->addTarget(preview);
            if (writer) mOutput->addTarget(writer);
        }

        mFilter->forceProcessingAtSize(size);
        mOutput->forceProcessingAtSize(size);
        blend->forceProcessingAtSize(size);
        element->forceProcessingAtSize(size);

        mOutput->setFrameProcessingCompletionBlock([weak](ZVImageOutput& output, double) {
            if (auto self = weak.lock()) self->processVideo(output);
        });
    });
}

void ZVVideoCapture::reloadMirror() {
    auto camera = videoCamera();
    if (!camera) return;
    bool front = camera->cameraPosition() == platform::CameraPosition::Front;
    camera->setHorizontallyMirrorFrontFacingCamera(mMirror.load() && front);
    camera->setHorizontallyMirrorRearFacingCamera(false);
}

void ZVVideoCapture::processVideo(ZVImageOutput& output) {
    auto framebuffer = output.framebufferForOutput();
    // Read back into a pooled buffer of its own: the encoder may hold it while later frames are drawn.
    auto pixelBuffer = framebuffer ? framebuffer->pixelBuffer() : nullptr;
    if (!pixelBuffer) return;
    std::shared_ptr<ZVVideoCaptureDelegate> delegate;
    {
        std::lock_guard lock(mMutex);
        delegate = mDelegate.lock();
    }
    ++mFramesDelivered;
    if (delegate) delegate->captureOutputPixelBuffer(*this, pixelBuffer);
}

ZQVideoCaptureStatistics ZVVideoCapture::captureStatistics() const {
    ZQVideoCaptureStatistics statistics;
    if (auto camera = videoCamera()) {
        statistics.framesCaptured = camera->processedFrameCount();
        statistics.framesDropped = camera->droppedFrameCount();
    }
    statistics.framesDelivered = mFramesDelivered.load();
    return statistics;
}

// --- running ---

void ZVVideoCapture::setRunning(bool running) {
    if (mRunning.exchange(running) == running) return;
    std::weak_ptr<ZVVideoCapture> weak = weak_from_this();
    if (running) {
        platform::DispatchQueue::main()->async([] { platform::Application::setIdleTimerDisabled(true); });
        reloadFilter();
        startCapture();
        if (mSaveLocalVideo.load()) movieWriter()->startRecording();
    } else {
        platform::DispatchQueue::main()->async([weak] {
            platform::Application::setIdleTimerDisabled(false);
            auto self = weak.lock();
            if (!self) return;
            std::shared_ptr<ZVImageView> preview;
            {
                std::lock_guard lock(self->mMutex);
                preview = std::move(self->mPreviewImageView);
            }
            // A later setPreView makes a new preview view.
            if (preview) preview->removeFromSuperview();
        });
        if (auto camera = videoCamera()) camera->stopCameraCapture();
        if (mSaveLocalVideo.load()) movieWriter()->finishRecording();
    }
}

void ZVVideoCapture::startCapture() {
    auto& context = ZVImageContext::sharedImageProcessingContext();
    if (!context.isAvailable()) {
        reportError("video capture cannot start: no OpenGL ES context (" + context.unavailableReason() + ")");
        return;
    }
    auto camera = videoCamera();
    if (!camera) {
        std::string reason;
        {
            std::lock_guard lock(mMutex);
            reason = mCameraError;
        }
        reportError("video capture cannot start: " + (reason.empty() ? std::string("no camera") : reason));
        return;
    }
    std::string error;
    if (!camera->startCameraCapture(&error)) reportError("video capture cannot start: " + error);
}

void ZVVideoCapture::reportError(const std::string& reason) {
    platform::Console::log("ZVVideoCapture: " + reason);
    std::shared_ptr<ZVVideoCaptureDelegate> delegate;
    {
        std::lock_guard lock(mMutex);
        delegate = mDelegate.lock();
    }
    if (delegate) delegate->captureOutputDidFailWithError(*this, reason);
}

void ZVVideoCapture::setDelegate(std::weak_ptr<ZVVideoCaptureDelegate> delegate) {
    std::lock_guard lock(mMutex);
    mDelegate = std::move(delegate);
}

// --- settings ---

void ZVVideoCapture::setBeautyFace(bool on) {
    mBeautyFace = on;
    reloadFilter();
}

void ZVVideoCapture::setBeautyLevel(double level) {
    mBeautyLevel = level;
    if (auto beauty = beautyFilter()) beauty->setBeautyLevel(level);
}

void ZVVideoCapture::setBrightLevel(double level) {
    mBrightLevel = level;
    if (auto beauty = beautyFilter()) beauty->setBrightLevel(level);
}

std::int64_t ZVVideoCapture::captureDevicePosition() const {
    std::lock_guard lock(mMutex);
    return mCaptureDevicePosition;
}

void ZVVideoCapture::setCaptureDevicePosition(std::int64_t position) {
    if (position == captureDevicePosition()) return;
    auto camera = videoCamera();
    if (!camera) return;
    std::string error;
    if (!camera->rotateCamera(&error)) {
        reportError("cannot switch the camera: " + error);
        return;
    }
    {
        std::lock_guard lock(mMutex);
        mCaptureDevicePosition = static_cast<std::int64_t>(camera->cameraPosition());
    }
    // The on-screen mirroring toggles with the switch, whichever way it goes.
    auto preview = previewImageView();
    preview->setTransform(preview->transform().scaled(-1, 1));
    camera->setFrameRate(static_cast<int>(mConfiguration->videoFrameRate()));
    reloadMirror();
}

int ZVVideoCapture::videoFrameRate() const {
    auto camera = videoCamera();
    return camera ? camera->frameRate() : 0;
}

void ZVVideoCapture::setVideoFrameRate(int videoFrameRate) {
    if (videoFrameRate <= 0) return;
    auto camera = videoCamera();
    if (camera && camera->frameRate() != videoFrameRate) camera->setFrameRate(videoFrameRate);
}

bool ZVVideoCapture::torch() const {
    auto camera = videoCamera();
    auto device = camera ? camera->inputCamera() : nullptr;
    return device && device->torchActive();
}

void ZVVideoCapture::setTorch(bool on) {
    auto camera = videoCamera();
    auto device = camera ? camera->inputCamera() : nullptr;
    if (!device) return;
    if (!device->hasTorch()) {
        SaveLogUtil::sharedInstance().saveLog("Torch not available in current camera input", "");
        mTorch = false;
        return;
    }
    std::string error;
    if (device->setTorch(on, &error)) {
        mTorch = device->torchActive();
    } else {
        SaveLogUtil::sharedInstance().saveLog("Error while locking device for torch", error);
        mTorch = false;
    }
}

void ZVVideoCapture::setZoomScale(double scale) {
    auto camera = videoCamera();
    auto device = camera ? camera->inputCamera() : nullptr;
    if (device && device->setZoomFactor(scale, nullptr)) mZoomScale = scale;
}

std::optional<std::string> ZVVideoCapture::saveLocalVideoPath() const {
    std::lock_guard lock(mMutex);
    return mSaveLocalVideoPath;
}

void ZVVideoCapture::setSaveLocalVideoPath(std::optional<std::string> path) {
    std::lock_guard lock(mMutex);
    mSaveLocalVideoPath = std::move(path);
}

// --- views ---

std::shared_ptr<platform::View> ZVVideoCapture::preView() const {
    std::shared_ptr<ZVImageView> preview;
    {
        std::lock_guard lock(mMutex);
        preview = mPreviewImageView;
    }
    return preview ? preview->superview() : nullptr;
}

void ZVVideoCapture::setPreView(std::shared_ptr<platform::View> view) {
    auto preview = previewImageView();
    if (preview->superview()) preview->removeFromSuperview();
    if (!view) return;
    view->insertSubview(preview, 0);
    platform::Size size = view->bounds().size;
    preview->setFrame(platform::makeRect(0, 0, size.width, size.height));
    if (captureDevicePosition() == static_cast<std::int64_t>(platform::CameraPosition::Front))
        preview->setTransform(preview->transform().scaled(-1, 1));
}

std::shared_ptr<platform::View> ZVVideoCapture::warterMarkView() const {
    std::lock_guard lock(mMutex);
    return mWarterMarkView;
}

void ZVVideoCapture::setWarterMarkView(std::shared_ptr<platform::View> view) {
    std::shared_ptr<platform::View> old;
    {
        std::lock_guard lock(mMutex);
        old = mWarterMarkView;
    }
    if (old && old->superview()) old->removeFromSuperview();
    {
        std::lock_guard lock(mMutex);
        mWarterMarkView = view;
    }
    blendFilter()->setMix(view ? view->alpha() : 0.0);
    if (view) waterMarkContentView()->addSubview(view);
    reloadFilter();
}

std::shared_ptr<platform::Image> ZVVideoCapture::currentImage() {
    auto node = filter();
    if (!node) return nullptr;
    node->useNextFrameForImageCapture();
    return node->imageFromCurrentFramebuffer();
}

// --- notifications ---

void ZVVideoCapture::willEnterBackground() {
    platform::DispatchQueue::main()->async([] { platform::Application::setIdleTimerDisabled(false); });
    if (auto camera = videoCamera()) camera->pauseCameraCapture();
    // Nothing may be rendered in the background: wait for the GL work queued so far.
    runSynchronouslyOnVideoProcessingQueue([] {
        ZVImageContext::useImageProcessingContext();
        zvgl::glFinish();
    });
}

void ZVVideoCapture::willEnterForeground() {
    if (auto camera = videoCamera()) camera->resumeCameraCapture();
    platform::DispatchQueue::main()->async([] { platform::Application::setIdleTimerDisabled(true); });
}

void ZVVideoCapture::statusBarChanged() {
    if (!mConfiguration->autorotate()) return;
    auto camera = videoCamera();
    if (!camera) return;
    // Posted before the change: the status bar still shows the old orientation.
    std::int64_t old = platform::Application::statusBarOrientation();
    std::int64_t next = 0;
    if (mConfiguration->landscape()) {
        if (old == platform::InterfaceOrientationLandscapeRight) next = platform::InterfaceOrientationLandscapeLeft;
        if (old == platform::InterfaceOrientationLandscapeLeft) next = platform::InterfaceOrientationLandscapeRight;
    } else {
        if (old == platform::InterfaceOrientationPortrait) next = platform::InterfaceOrientationPortraitUpsideDown;
        if (old == platform::InterfaceOrientationPortraitUpsideDown) next = platform::InterfaceOrientationPortrait;
    }
    if (next) camera->setOutputImageOrientation(next);
}
