#include "ZQLiveKit/CameraRegistry.h"

#include "platform/media/CameraDevice.h"
#include "platform/media/FileCameraDevice.h"
#include "platform/media/PatternCameraDevice.h"
#include "platform/media/V4L2CameraDevice.h"

namespace platform {

namespace {

constexpr std::string_view kCameraPrefix = "camera:";
constexpr std::string_view kFilePrefix = "file:";

bool hasControlCharacters(std::string_view text) {
    for (unsigned char c : text)
        if (c < 0x20 || c == 0x7F) return true;
    return false;
}

} // namespace

const char* cameraPositionName(CameraPosition position) {
    return position == CameraPosition::Front ? "front" : "back";
}

std::optional<CameraSource> CameraSource::parse(std::string_view description, std::string* error) {
    auto fail = [&](const std::string& reason) -> std::optional<CameraSource> {
        if (error) *error = reason;
        return std::nullopt;
    };
    const std::string quoted = "'" + std::string(description) + "'";
    if (description == "pattern") return CameraSource{Kind::Pattern, {}};
    if (description == "camera") return CameraSource{Kind::Camera, {}};
    if (description == "none") return CameraSource{Kind::None, {}};
    if (hasControlCharacters(description)) return fail("camera source has control characters");
    if (description.starts_with(kCameraPrefix)) {
        std::string_view device = description.substr(kCameraPrefix.size());
        if (device.empty() || device.front() != '/')
            return fail("camera source " + quoted +
                        " must name a device by its absolute path, e.g. camera:/dev/video0");
        return CameraSource{Kind::Camera, std::string(device)};
    }
    if (description.starts_with(kFilePrefix)) {
        std::string_view file = description.substr(kFilePrefix.size());
        if (file.empty()) return fail("camera source " + quoted + " names no file, e.g. file:clip.mp4");
        return CameraSource{Kind::File, std::string(file)};
    }
    return fail("unknown camera source " + quoted + " (use pattern, camera, camera:/dev/videoN, file:PATH or none)");
}

std::string CameraSource::description() const {
    switch (kind) {
    case Kind::None: return "none";
    case Kind::Pattern: return "pattern";
    case Kind::Camera: return path.empty() ? "camera" : std::string(kCameraPrefix) + path;
    case Kind::File: return std::string(kFilePrefix) + path;
    }
    return "none";
}

CameraRegistry& CameraRegistry::shared() {
    static CameraRegistry registry;
    return registry;
}

CameraSource CameraRegistry::defaultSource(CameraPosition) { return {CameraSource::Kind::Pattern, {}}; }

bool CameraRegistry::setSource(CameraPosition position, std::string_view description, std::string* error) {
    std::string reason;
    auto source = CameraSource::parse(description, &reason);
    if (!source) {
        if (error) *error = std::string(cameraPositionName(position)) + " " + reason;
        return false;
    }
    setSource(position, *source);
    return true;
}

void CameraRegistry::setSource(CameraPosition position, const CameraSource& source) {
    std::lock_guard lock(mMutex);
    (position == CameraPosition::Front ? mFront : mBack) = source;
}

CameraSource CameraRegistry::source(CameraPosition position) const {
    std::lock_guard lock(mMutex);
    return position == CameraPosition::Front ? mFront : mBack;
}

bool CameraRegistry::hasSource(CameraPosition position) const {
    return source(position).kind != CameraSource::Kind::None;
}

void CameraRegistry::reset() {
    std::lock_guard lock(mMutex);
    mFront = defaultSource(CameraPosition::Front);
    mBack = defaultSource(CameraPosition::Back);
}

bool CameraRegistry::probe(CameraPosition position, std::string* error) const {
    auto device = makeCameraDevice(source(position), position, error);
    if (!device) return false;
    std::string reason;
    if (device->open(640, 480, &reason)) return true;
    if (error) *error = std::string(cameraPositionName(position)) + " camera: " + reason;
    return false;
}

std::unique_ptr<CameraDevice> makeCameraDevice(const CameraSource& source, CameraPosition position,
                                               std::string* error) {
    switch (source.kind) {
    case CameraSource::Kind::Pattern: return std::make_unique<PatternCameraDevice>(position);
    case CameraSource::Kind::Camera: return std::make_unique<V4L2CameraDevice>(source.path, position);
    case CameraSource::Kind::File: return std::make_unique<FileCameraDevice>(source.path, position);
    case CameraSource::Kind::None: break;
    }
    if (error) *error = std::string("no camera source for the ") + cameraPositionName(position) + " position";
    return nullptr;
}

std::unique_ptr<CameraDevice> makeCameraDevice(CameraPosition position, std::string* error) {
    return makeCameraDevice(CameraRegistry::shared().source(position), position, error);
}

} // namespace platform
