#include "apps/zqlive/CaptureOptions.h"

#include <cmath>
#include <sstream>
#include <stdexcept>
#include "ZQLiveKit/CameraRegistry.h"
#include "ZQLiveKit/Image.h"
#include "apps/zqlive/CameraOptions.h"

namespace zqlive {

const std::string& captureUsage() {
    static const std::string usage =
        std::string("              [--video testsrc|pattern|camera[:/dev/videoN]|file:PATH] [--beauty on|off]\n"
                "              [--beauty-level 0-1] [--bright-level 0-1] [--mirror] [--front|--back]\n"
                "              [--watermark PNG[,x,y,w,h[,alpha]]] [--preview-png FILE]\n"
                "              ") +
    kCameraSourceUsage +
    "\n  testsrc (default) pushes a test pattern straight to the encoder; the other sources are cameras\n"
    "  that go through the capture path: GPU effects (beauty on by default), preview and watermark\n"
    "  (shown on the preview only). --video names the source of the camera the run starts on (front\n"
    "  unless --back); --front-source / --back-source the other's.";
    return usage;
}

const std::vector<std::string>& captureOptionNames() {
    static const std::vector<std::string> names{"video",  "beauty", "beauty-level", "bright-level", "mirror",
                                                "front",  "back",   "watermark",    "preview-png"};
    return names;
}

const std::vector<std::string>& captureSwitchNames() {
    static const std::vector<std::string> names{"mirror", "front", "back"};
    return names;
}

namespace {

// "PNG[,x,y,w,h[,alpha]]": the numbers are taken from the end, so the path may hold commas.
void parseWatermark(const std::string& text, CaptureOptions& options) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in(text);
    while (std::getline(in, part, ',')) parts.push_back(part);
    auto number = [](const std::string& s, double* value) {
        try {
            std::size_t used = 0;
            *value = std::stod(s, &used);
            return used == s.size() && std::isfinite(*value);
        } catch (const std::exception&) {
            return false;
        }
    };
    const std::string usage = "--watermark must be PNG or PNG,x,y,w,h[,alpha] with w and h above 0 and alpha 0-1";
    std::size_t count = 0;
    double values[5] = {0, 0, 0, 0, 1};
    for (std::size_t n : {5u, 4u}) {
        if (parts.size() <= n) continue;
        bool all = true;
        for (std::size_t i = 0; i < n && all; ++i) all = number(parts[parts.size() - n + i], &values[i]);
        if (all) {
            count = n;
            break;
        }
    }
    std::string path;
    for (std::size_t i = 0; i + count < parts.size(); ++i) path += (i ? "," : "") + parts[i];
    if (path.empty()) throw UsageError(usage);
    options.watermarkPath = path;
    if (count == 0) return;
    if (values[2] <= 0 || values[3] <= 0 || values[4] < 0 || values[4] > 1) throw UsageError(usage);
    options.watermarkFrame = platform::makeRect(values[0], values[1], values[2], values[3]);
    options.watermarkAlpha = values[4];
}

} // namespace

CaptureOptions parseCaptureOptions(const Args& args) {
    CaptureOptions o;
    o.video = args.valueOr("video", "testsrc");
    if (o.capturePath()) {
        std::string error;
        auto source = platform::CameraSource::parse(o.video, &error);
        if (!source) throw UsageError("--video: " + error);
        if (source->kind == platform::CameraSource::Kind::None)
            throw UsageError("--video none leaves nothing to publish: name a camera source or testsrc");
    }
    std::string beauty = args.valueOr("beauty", "on");
    if (beauty != "on" && beauty != "off") throw UsageError("--beauty must be on or off");
    o.beauty = beauty == "on";
    if (args.value("beauty-level")) o.beautyLevel = args.number("beauty-level", 0.5, 0, 1);
    if (args.value("bright-level")) o.brightLevel = args.number("bright-level", 0.5, 0, 1);
    o.mirror = args.has("mirror");
    if (args.has("front") && args.has("back")) throw UsageError("--front and --back exclude each other");
    o.back = args.has("back");
    if (auto watermark = args.value("watermark")) parseWatermark(*watermark, o);
    o.previewPng = args.value("preview-png");

    const bool frontSource = args.has("front-source"), backSource = args.has("back-source");
    bool effects = args.value("beauty") || o.beautyLevel || o.brightLevel || o.mirror || args.has("front") || o.back ||
                   frontSource || backSource || o.watermarkPath || o.previewPng;
    if (!o.capturePath() && effects)
        throw UsageError("the camera and effect options need a camera source: --video pattern, camera or file:PATH");
    if (o.capturePath() && (o.back ? backSource : frontSource))
        throw UsageError(std::string("--video already names the source of the ") + (o.back ? "back" : "front") +
                         " camera the run starts on");
    return o;
}

CaptureSetup::CaptureSetup(const CaptureOptions& options, ZQLiveSession& session, platform::Size videoSize)
    : mOptions(options) {
    auto& registry = platform::CameraRegistry::shared();
    auto position = options.back ? platform::CameraPosition::Back : platform::CameraPosition::Front;
    std::string error;
    if (!registry.setSource(position, options.video, &error)) throw std::runtime_error("--video: " + error);
    // A source that cannot open fails the run now, with its reason, rather than once publishing.
    // (The reason names the position and the source: "front camera: /dev/video2: ...".)
    if (!registry.probe(position, &error)) throw std::runtime_error(error);

    session.setBeautyFace(options.beauty);
    if (options.beautyLevel) session.setBeautyLevel(*options.beautyLevel);
    if (options.brightLevel) session.setBrightLevel(*options.brightLevel);
    session.setMirror(options.mirror);
    if (options.back) session.setCaptureDevicePosition(static_cast<std::int64_t>(platform::CameraPosition::Back));

    mWindow = platform::View::create(platform::makeRect(0, 0, videoSize.width, videoSize.height));
    session.setPreView(mWindow);

    if (options.watermarkPath) {
        auto image = platform::Image::imageWithContentsOfFile(*options.watermarkPath, &error);
        if (!image) throw std::runtime_error("the watermark cannot be read: " + error);
        platform::Rect frame =
            options.watermarkFrame.value_or(platform::makeRect(16, 16, image->size().width, image->size().height));
        auto view = platform::ImageView::create(image, frame);
        view->setAlpha(options.watermarkAlpha);
        session.setWarterMarkView(view);
    }
}

bool CaptureSetup::writePreview(std::string* error) const {
    if (!mOptions.previewPng) return true;
    auto image = mWindow->snapshotImage();
    if (!image) {
        *error = "the preview shows nothing";
        return false;
    }
    return image->writePNGToFile(*mOptions.previewPng, error);
}

} // namespace zqlive
