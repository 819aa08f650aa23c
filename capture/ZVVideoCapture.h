#pragma once
#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "ZQPlatform/NotificationCenter.h"
#include "capture/ZVImageBeautyFilter.h"
#include "imaging/ZVImageCropFilter.h"
#include "imaging/ZVImageMovieWriter.h"
#include "imaging/ZVImageTwoInputFilter.h"
#include "imaging/ZVImageUIElement.h"
#include "imaging/ZVImageVideoCamera.h"
#include "imaging/ZVImageView.h"
#include "session/ZVCaptureSource.h"

// The camera with its effects chain: camera → (crop for the 640x480 preset) → beauty or empty
// filter → output node, whose finished pictures go to the delegate as BGRA pixel buffers, and →
// preview view, with the watermark blended into the preview only. Also the camera controls: front
// and back, mirroring, zoom, torch, frame rate, orientation after the status bar, and background
// handling on the application's notifications.
//
// Controls are called from the application's thread (through the session); the graph and the
// pictures live on the video-processing queue, which the controls wait for when they change the
// graph. Without a camera (no source at the position, or no GPU context) the capture stays usable:
// its controls do nothing and starting it reports why, once per start, to the delegate.
class ZVVideoCapture final : public ZVVideoCaptureSource, public std::enable_shared_from_this<ZVVideoCapture> {
public:
    // initWithVideoConfiguration:. Cameras come from `provider` (the process's camera sources when
    // none is given).
    static std::shared_ptr<ZVVideoCapture> create(std::shared_ptr<ZQLiveVideoConfiguration> configuration,
                                                  ZVCameraDeviceProvider provider = nullptr);
    ~ZVVideoCapture() override;

    // Where captures made without an explicit provider find their cameras: the shared camera
    // registry's sources unless replaced (nullptr restores them). Any thread.
    static void setDefaultCameraDeviceProvider(ZVCameraDeviceProvider provider);
    static ZVCameraDeviceProvider defaultCameraDeviceProvider();

    // ZVVideoCaptureSource
    void setDelegate(std::weak_ptr<ZVVideoCaptureDelegate> delegate) override;
    bool running() const override { return mRunning.load(); }
    void setRunning(bool running) override;
    std::int64_t captureDevicePosition() const override;
    void setCaptureDevicePosition(std::int64_t position) override;
    bool beautyFace() const override { return mBeautyFace.load(); }
    void setBeautyFace(bool on) override;
    double beautyLevel() const override { return mBeautyLevel.load(); }
    void setBeautyLevel(double level) override;
    double brightLevel() const override { return mBrightLevel.load(); }
    void setBrightLevel(double level) override;
    double zoomScale() const override { return mZoomScale.load(); }
    void setZoomScale(double scale) override;
    bool torch() const override;
    void setTorch(bool on) override;
    bool mirror() const override { return mMirror.load(); }
    void setMirror(bool on) override { mMirror = on; }
    bool saveLocalVideo() const override { return mSaveLocalVideo.load(); }
    void setSaveLocalVideo(bool on) override { mSaveLocalVideo = on; }
    std::optional<std::string> saveLocalVideoPath() const override;
    void setSaveLocalVideoPath(std::optional<std::string> path) override;
    std::shared_ptr<platform::View> preView() const override;
    void setPreView(std::shared_ptr<platform::View> view) override;
    std::shared_ptr<platform::View> warterMarkView() const override;
    void setWarterMarkView(std::shared_ptr<platform::View> view) override;
    std::shared_ptr<platform::Image> currentImage() override;
    ZQVideoCaptureStatistics captureStatistics() const override;

    // A value of 0 or below is ignored. The getter reads the camera's frame rate.
    int videoFrameRate() const;
    void setVideoFrameRate(int videoFrameRate);

    // Rebuilds the graph (reloadFilter) and applies the mirror rule (reloadMirror).
    void reloadFilter();
    void reloadMirror();

    // Notification handlers.
    void willEnterBackground();
    void willEnterForeground();
    void statusBarChanged();

    // The graph's nodes (null where not made or not in use). Any thread.
    std::shared_ptr<ZVImageVideoCamera> videoCamera() const;
    std::shared_ptr<ZVImageBeautyFilter> beautyFilter() const;
    std::shared_ptr<ZVImageFilter> filter() const;
    std::shared_ptr<ZVImageCropFilter> cropfilter() const;
    std::shared_ptr<ZVImageEmptyFilter> output() const;
    std::shared_ptr<ZVImageAlphaBlendFilter> blendFilter();
    std::shared_ptr<ZVImageUIElement> uiElementInput();
    std::shared_ptr<platform::View> waterMarkContentView();
    std::shared_ptr<ZVImageView> previewImageView();
    std::shared_ptr<ZVImageMovieWriter> movieWriter();

private:
    ZVVideoCapture(std::shared_ptr<ZQLiveVideoConfiguration> configuration, ZVCameraDeviceProvider provider);
    void initialize();
    // Makes the camera if there is none yet; null (with the reason kept) when it cannot be made.
    std::shared_ptr<ZVImageVideoCamera> makeCameraIfNeeded();
    void startCapture();
    void processVideo(ZVImageOutput& output);
    void reportError(const std::string& reason);
    platform::Size videoSize() const { return mConfiguration->videoSize(); }

    const std::shared_ptr<ZQLiveVideoConfiguration> mConfiguration;
    const ZVCameraDeviceProvider mProvider;
    std::vector<platform::NotificationCenter::Registration> mObservers;

    std::atomic<bool> mRunning{false};
    std::atomic<bool> mBeautyFace{false};
    std::atomic<bool> mMirror{false};
    std::atomic<bool> mSaveLocalVideo{false};
    std::atomic<bool> mTorch{false};
    std::atomic<double> mBeautyLevel{0.5};
    std::atomic<double> mBrightLevel{0.5};
    std::atomic<double> mZoomScale{1.0};
    std::atomic<std::uint64_t> mFramesDelivered{0};

    mutable std::mutex mMutex; // guards the fields below; never held while waiting for the GL queue
    std::weak_ptr<ZVVideoCaptureDelegate> mDelegate;
    std::optional<std::string> mSaveLocalVideoPath;
    std::shared_ptr<platform::View> mWarterMarkView;
    std::shared_ptr<platform::View> mWaterMarkContentView;
    std::shared_ptr<ZVImageView> mPreviewImageView;
    std::shared_ptr<ZVImageMovieWriter> mMovieWriter;
    std::shared_ptr<ZVImageVideoCamera> mVideoCamera;
    std::string mCameraError;
    std::int64_t mCaptureDevicePosition = static_cast<std::int64_t>(platform::CameraPosition::Front);

    // The graph, owned by the video-processing queue.
    std::shared_ptr<ZVImageBeautyFilter> mBeautyFilter;
    std::shared_ptr<ZVImageFilter> mFilter;
    std::shared_ptr<ZVImageCropFilter> mCropfilter;
    std::shared_ptr<ZVImageEmptyFilter> mOutput;
    std::shared_ptr<ZVImageAlphaBlendFilter> mBlendFilter;
    std::shared_ptr<ZVImageUIElement> mUIElementInput;
};
