#pragma once
#include <memory>
#include <optional>
#include <string>
#include <vector>
#include "ZQLiveKit/View.h"
#include "ZQLiveKit/ZQLiveSession.h"
#include "apps/zqlive/Cli.h"

namespace zqlive {

// The camera-path options of `zqlive publish`: where the pictures come from and the effects chain
// they go through. `testsrc` is the pushed-in test pattern without effects; every other source runs
// through the kit's video capture (camera, GPU effects, preview). The sources of the two positions
// (--front-source / --back-source) are CameraOptions' and reach the registry through it.
struct CaptureOptions {
    std::string video = "testsrc"; // testsrc, or a camera source: pattern, camera[:/dev/videoN], file:PATH
    bool beauty = true;
    std::optional<double> beautyLevel;
    std::optional<double> brightLevel;
    bool mirror = false;
    bool back = false; // start on the back camera
    std::optional<std::string> watermarkPath;
    std::optional<platform::Rect> watermarkFrame; // output-picture coordinates; default: top left, own size
    double watermarkAlpha = 1.0;
    std::optional<std::string> previewPng;

    bool capturePath() const { return video != "testsrc"; }
};

// The option names this file parses, and which of them are switches.
const std::vector<std::string>& captureOptionNames();
const std::vector<std::string>& captureSwitchNames();
// Usage lines for them and for CameraOptions' source options.
const std::string& captureUsage();

// Reads the options; a malformed value, or an effect asked of the pushed-in pattern, throws UsageError.
CaptureOptions parseCaptureOptions(const Args& args);

// Sets up a capture-path run: the source of the starting position, the effects, the watermark and
// a preview view the size of the video. Throws std::runtime_error with a one-line reason when the
// starting camera cannot be opened (no such V4L2 device, an unreadable file) or the watermark image
// cannot be read. Main thread.
class CaptureSetup {
public:
    CaptureSetup(const CaptureOptions& options, ZQLiveSession& session, platform::Size videoSize);

    // Writes the preview's last picture, as the screen would show it, to the PNG file asked for.
    // True when none was asked for. Call before the session stops its capture (stopping takes the
    // preview off the screen).
    bool writePreview(std::string* error) const;

private:
    CaptureOptions mOptions;
    std::shared_ptr<platform::View> mWindow;
};

} // namespace zqlive
