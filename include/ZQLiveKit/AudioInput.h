#pragma once
#include <string>
#include "ZQLiveKit/Export.h"

namespace platform {

// Where the microphone's audio comes from: the input behind the audio capture's I/O unit.
// - Tone: a synthetic sine tone (silence at frequency 0), paced in real time. The default.
// - Alsa: an ALSA capture PCM ("default", "hw:1,0", a PCM of the ALSA configuration), read as
//   16-bit interleaved PCM at the capture's rate and channels; through ALSA's plug layer when the
//   device offers another format.
// - File: an audio file (WAV, or anything libavformat reads), converted to the capture's rate and
//   channels, paced in real time and looped.
struct ZQLIVEKIT_EXPORT AudioInputSource {
    enum class Kind { Tone, Alsa, File };

    Kind kind = Kind::Tone;
    double toneFrequency = 440.0;  // Tone, Hz
    std::string device = "default"; // Alsa
    std::string path;              // File

    static AudioInputSource tone(double frequency = 440.0);
    static AudioInputSource alsa(std::string device = "default");
    static AudioInputSource file(std::string path);

    // "tone:440", "alsa:default", "file:/path/to.wav".
    std::string description() const;
};

// The process's microphone: audio captures made from now on record from it. Any thread.
ZQLIVEKIT_EXPORT void setAudioInputSource(AudioInputSource source);
ZQLIVEKIT_EXPORT AudioInputSource audioInputSource();

} // namespace platform

// Posted (no object) on the main queue when an audio capture cannot make or open its input: the
// device is missing or busy, the file unreadable. userInfo "reason" says why, in words.
inline constexpr const char* kZVAudioComponentFailedToCreateNotification = "ZVAudioComponentFailedToCreateNotification";
inline constexpr const char* kZVAudioComponentFailureReasonKey = "reason";
