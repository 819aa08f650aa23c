#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQLiveKit/Image.h"
#include "ZQLiveKit/PixelBuffer.h"
#include "ZQLiveKit/ZQBytes.h"
#include "ZQLiveKit/ZQLiveAudioConfiguration.h"
#include "ZQLiveKit/ZQLiveCaptureType.h"
#include "ZQLiveKit/ZQLiveDebug.h"
#include "ZQLiveKit/ZQLiveSessionDelegate.h"
#include "ZQLiveKit/ZQLiveState.h"
#include "ZQLiveKit/ZQLiveStreamInfo.h"
#include "ZQLiveKit/ZQLiveVideoConfiguration.h"
#include "ZQLiveKit/View.h"

// What the video capture did with the camera's pictures so far.
struct ZQVideoCaptureStatistics {
    std::uint64_t framesCaptured = 0;  // pictures the camera converted
    std::uint64_t framesDropped = 0;   // pictures that came while one was still being drawn
    std::uint64_t framesDelivered = 0; // finished pictures handed to the encoder's side
};

// Which H.264 encoder a session makes: Automatic follows the system version (the file-based encoder
// below 8.0, the hardware-session encoder from 8.0 on); the others force one.
enum class ZQLiveVideoEncoderType { Automatic, Hardware, FileBased };

// The media engine: feeds captured or pushed-in media to the encoders while a run is uploading,
// holds encoded frames back until audio and video are aligned, rebases their timestamps to the
// first frame of the run, hands them to the RTMP publisher, and reports state, errors and
// statistics to its delegate on the main queue. Optionally adapts the video bit rate to the send
// backlog. Capture sources, encoders and the publisher are made on first use.
class ZQLIVEKIT_EXPORT ZQLiveSession : public std::enable_shared_from_this<ZQLiveSession> {
public:
    // initWithAudioConfiguration:videoConfiguration:captureType:. Throws platform::Exception named
    // "ZVLiveSession init error" when the type carries audio without an audio configuration
    // ("audioConfiguration is nil ") or video without a video configuration ("videoConfiguration is nil ").
    static std::shared_ptr<ZQLiveSession> create(std::shared_ptr<ZQLiveAudioConfiguration> audioConfiguration,
                                                 std::shared_ptr<ZQLiveVideoConfiguration> videoConfiguration,
                                                 std::int64_t captureType = ZQLiveCaptureAudio | ZQLiveCaptureVideo);
    ~ZQLiveSession();
    ZQLiveSession(const ZQLiveSession&) = delete;
    ZQLiveSession& operator=(const ZQLiveSession&) = delete;

    // Weakly held. Any thread.
    std::shared_ptr<ZQLiveSessionDelegate> delegate() const;
    void setDelegate(std::weak_ptr<ZQLiveSessionDelegate> delegate);

    // Starts a run: the stream info takes the session's configurations and the publisher (made on
    // first use with it) starts connecting. Null is ignored. Any thread.
    void startLive(const std::shared_ptr<ZQLiveStreamInfo>& streamInfo);
    // Ends the run: uploading stops, the publisher is stopped (made first if there is none) and
    // dropped, so the next startLive() makes a new one. Any thread.
    void stopLive();

    // Capture running: starts or stops the video, then the audio capture source. Any thread.
    bool running() const;
    void setRunning(bool running);
    // Stops the capture sources that exist without changing running(). Any thread.
    void kill();

    // Media pushed in by the application (capture types 8 and 4): handed to the encoder with the
    // current media time while a run is uploading, dropped otherwise. Any thread.
    void pushVideo(const std::shared_ptr<platform::PixelBuffer>& pixelBuffer);
    void pushAudio(const ZQBytes& pcm);

    // Reconnect settings given to the publisher when it is made (0: the publisher's defaults).
    std::uint64_t reconnectInterval() const;
    void setReconnectInterval(std::uint64_t seconds);
    std::uint64_t reconnectCount() const;
    void setReconnectCount(std::uint64_t count);

    // Which video encoder the session makes (Automatic by default). Takes effect when the encoder is
    // made, at the first frame of the first run: set it before. Any thread.
    ZQLiveVideoEncoderType videoEncoderType() const;
    void setVideoEncoderType(ZQLiveVideoEncoderType type);

    // Adapt the video bit rate to the send backlog (one step per buffer report).
    bool adaptiveBitrate() const;
    void setAdaptiveBitrate(bool adaptive);
    // Deliver statistics to the delegate.
    bool showDebugInfo() const;
    void setShowDebugInfo(bool show);

    // Pass-through settings of the capture sources (video unless noted). Reads give the default
    // when the source does not exist (a session that only takes pushed-in media).
    std::int64_t captureDevicePosition() const;
    void setCaptureDevicePosition(std::int64_t position);
    bool beautyFace() const;
    void setBeautyFace(bool on);
    double beautyLevel() const;
    void setBeautyLevel(double level);
    double brightLevel() const;
    void setBrightLevel(double level);
    double zoomScale() const;
    void setZoomScale(double scale);
    bool torch() const;
    void setTorch(bool on);
    bool mirror() const;
    void setMirror(bool on);
    bool saveLocalVideo() const;
    void setSaveLocalVideo(bool on);
    std::optional<std::string> saveLocalVideoPath() const;
    void setSaveLocalVideoPath(std::optional<std::string> path);
    bool muted() const; // audio capture source
    void setMuted(bool muted);
    // The view the camera preview is put into (at the back, filling it), or null; the watermark
    // view, blended into the preview only, placed by its frame in output-picture coordinates with
    // its alpha as strength; the latest picture (the pipeline extracts none, so it is null).
    std::shared_ptr<platform::View> preView() const;
    void setPreView(std::shared_ptr<platform::View> view);
    std::shared_ptr<platform::View> warterMarkView() const;
    void setWarterMarkView(std::shared_ptr<platform::View> view);
    std::shared_ptr<platform::Image> currentImage() const;

    // The video capture's counts (zeros without one). Any thread.
    ZQVideoCaptureStatistics videoCaptureStatistics() const;
    // Called on the main queue when the video capture cannot deliver: it cannot start (no camera
    // source, no OpenGL ES context) or its camera was lost. Any thread; set it first.
    void setCaptureErrorHandler(std::function<void(const std::string& reason)> handler);

    // Called with a property's name after a setter that announces changes (running and the
    // pass-through settings that are observable) stored a new value. Any thread; set it first.
    void setPropertyChangeHandler(std::function<void(const std::string& property)> handler);

    // Last state the publisher reported; written on the main queue.
    ZQLiveState state() const;
    // The configured capture type.
    std::int64_t captureType() const;
    // The last statistics record the publisher reported (nullptr before the first).
    std::shared_ptr<ZQLiveDebug> debugInfo() const;
    const std::shared_ptr<ZQLiveAudioConfiguration>& audioConfiguration() const;
    const std::shared_ptr<ZQLiveVideoConfiguration>& videoConfiguration() const;

private:
    struct Impl;
    friend struct ZQLiveSessionInternals; // the kit's own access to the engine
    ZQLiveSession();
    std::shared_ptr<Impl> mImpl;
};
