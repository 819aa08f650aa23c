#pragma once
#include <memory>
#include <string>
#include "ZQLiveKit/Export.h"

// Answers whether the camera can capture with a platform capture preset. The camera layer installs
// one; with none installed every preset counts as supported (a machine without cameras).
class ZQLIVEKIT_EXPORT ZQCaptureSessionSupport {
public:
    virtual ~ZQCaptureSessionSupport();

    // True when a capture session on the front camera can use `avSessionPreset`
    // ("AVCaptureSessionPreset1280x720", ...). Called on any thread.
    virtual bool canSetSessionPreset(const std::string& avSessionPreset) = 0;

    // The installed probe, or nullptr. Any thread.
    static std::shared_ptr<ZQCaptureSessionSupport> shared();
    // Installs a probe (nullptr removes it). Any thread.
    static void setShared(std::shared_ptr<ZQCaptureSessionSupport> support);
    // The installed probe's answer, or true when none is installed. Any thread.
    static bool canUseSessionPreset(const std::string& avSessionPreset);
};
