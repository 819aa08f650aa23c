#pragma once
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include "ZQLiveKit/Export.h"

namespace platform {

// Camera positions as the kit numbers them (AVCaptureDevicePosition).
enum class CameraPosition { Back = 1, Front = 2 };

// "front" / "back".
ZQLIVEKIT_EXPORT const char* cameraPositionName(CameraPosition position);

// What stands in for one of the phone's cameras, written as text:
//   "pattern"             the synthetic moving pattern, labelled with the position it serves
//   "camera"              the first V4L2 video-capture device
//   "camera:/dev/videoN"  that V4L2 device (any absolute path, e.g. /dev/v4l/by-id/...)
//   "file:PATH"           a video file, decoded and looped
//   "none"                no camera at that position
struct ZQLIVEKIT_EXPORT CameraSource {
    enum class Kind { None, Pattern, Camera, File };

    Kind kind = Kind::None;
    std::string path; // the device (empty: the first one) or the file

    // The source a description names, or nullopt with a one-line reason. Only the form is checked
    // here; whether the device or file can be opened shows when the camera opens it.
    static std::optional<CameraSource> parse(std::string_view description, std::string* error);
    // The description again ("camera:/dev/video2").
    std::string description() const;

    friend bool operator==(const CameraSource&, const CameraSource&) = default;
};

// Which source serves the front and which the back camera. Defaults: both "pattern" (the front
// one labelled FRONT on a blue band, the back one BACK on an orange band, so a switch shows).
// A camera reads the registry when it is made or switched; a change does not reach a camera that
// is already running. Any thread.
class ZQLIVEKIT_EXPORT CameraRegistry {
public:
    // The registry the kit's cameras read.
    static CameraRegistry& shared();

    CameraRegistry() = default;
    CameraRegistry(const CameraRegistry&) = delete;
    CameraRegistry& operator=(const CameraRegistry&) = delete;

    // Sets the source of a position from its description; false with the reason (and nothing
    // changed) when the description is malformed.
    bool setSource(CameraPosition position, std::string_view description, std::string* error);
    void setSource(CameraPosition position, const CameraSource& source);
    CameraSource source(CameraPosition position) const;
    // Whether a source (other than "none") serves the position.
    bool hasSource(CameraPosition position) const;
    // Back to the defaults.
    void reset();
    // Whether the position's source opens now (the device exists and is free and offers a usable
    // format, the file decodes); false with a one-line reason. Opens and closes the source, so a
    // camera is briefly claimed. Not while a camera of this kit uses the device.
    bool probe(CameraPosition position, std::string* error) const;

    static CameraSource defaultSource(CameraPosition position);

private:
    mutable std::mutex mMutex;
    CameraSource mFront{CameraSource::Kind::Pattern, {}};
    CameraSource mBack{CameraSource::Kind::Pattern, {}};
};

} // namespace platform
