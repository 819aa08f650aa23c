#pragma once
#include <memory>
#include <string>
#include "platform/media/AudioUnit.h"

namespace platform {

// The microphone back ends behind the voice I/O unit, one per AudioInputSource kind.
// Each delivers periods of kInputPeriodFrames frames on its own thread (ALSA: the device's period
// nearest to it).
inline constexpr std::size_t kInputPeriodFrames = 1024;

std::unique_ptr<AudioUnit> makeToneAudioUnit(double frequency);
std::unique_ptr<AudioUnit> makeFileAudioUnit(const std::string& path);
std::unique_ptr<AudioUnit> makeAlsaAudioUnit(const std::string& device);

} // namespace platform
