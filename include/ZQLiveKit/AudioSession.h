#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Error.h"

namespace platform {

// Categories (AVAudioSessionCategory…).
inline constexpr const char* kAudioSessionCategoryAmbient = "AVAudioSessionCategoryAmbient";
inline constexpr const char* kAudioSessionCategorySoloAmbient = "AVAudioSessionCategorySoloAmbient";
inline constexpr const char* kAudioSessionCategoryPlayback = "AVAudioSessionCategoryPlayback";
inline constexpr const char* kAudioSessionCategoryRecord = "AVAudioSessionCategoryRecord";
inline constexpr const char* kAudioSessionCategoryPlayAndRecord = "AVAudioSessionCategoryPlayAndRecord";
inline constexpr const char* kAudioSessionCategoryMultiRoute = "AVAudioSessionCategoryMultiRoute";

// Category options (AVAudioSessionCategoryOptions), the platform's bits.
enum : std::uint64_t {
    AudioSessionCategoryOptionMixWithOthers = 0x1,
    AudioSessionCategoryOptionDuckOthers = 0x2,
    AudioSessionCategoryOptionAllowBluetooth = 0x4,
    AudioSessionCategoryOptionDefaultToSpeaker = 0x8,
    AudioSessionCategoryOptionInterruptSpokenAudioAndMixWithOthers = 0x11,
    AudioSessionCategoryOptionAllowBluetoothA2DP = 0x20,
    AudioSessionCategoryOptionAllowAirPlay = 0x40,
};

// setActive options (AVAudioSessionSetActiveOptions).
inline constexpr std::uint64_t AudioSessionSetActiveOptionNotifyOthersOnDeactivation = 1;

// Notifications about the audio session, posted with the shared AudioSession as their object. The
// host application posts interruptions (a call, an alarm); the kit posts route changes when its
// input device appears or goes away.
inline constexpr const char* kAudioSessionInterruptionNotification = "AVAudioSessionInterruptionNotification";
inline constexpr const char* kAudioSessionRouteChangeNotification = "AVAudioSessionRouteChangeNotification";
// userInfo keys: the interruption type (1 began, 0 ended) and, when it ended, the options (1: should resume).
inline constexpr const char* kAudioSessionInterruptionTypeKey = "AVAudioSessionInterruptionTypeKey";
inline constexpr const char* kAudioSessionInterruptionOptionKey = "AVAudioSessionInterruptionOptionKey";
inline constexpr const char* kAudioSessionRouteChangeReasonKey = "AVAudioSessionRouteChangeReasonKey";
// The kit's own key on a route change that lost the input: why, in words.
inline constexpr const char* kAudioSessionRouteChangeInputLostReasonKey = "ZQAudioInputLostReason";

inline constexpr std::int64_t AudioSessionInterruptionTypeEnded = 0;
inline constexpr std::int64_t AudioSessionInterruptionTypeBegan = 1;
inline constexpr std::int64_t AudioSessionInterruptionOptionShouldResume = 1;

inline constexpr std::int64_t AudioSessionRouteChangeReasonUnknown = 0;
inline constexpr std::int64_t AudioSessionRouteChangeReasonNewDeviceAvailable = 1;
inline constexpr std::int64_t AudioSessionRouteChangeReasonOldDeviceUnavailable = 2;

inline constexpr const char* kAudioSessionErrorDomain = "NSOSStatusErrorDomain";

struct AudioSessionPortDescription {
    std::string portType; // "MicrophoneBuiltIn", "LineIn", …
    std::string portName; // the device or file recorded from
};

struct AudioSessionRouteDescription {
    std::vector<AudioSessionPortDescription> inputs;
};

// The process's audio session (AVAudioSession): the category and options the kit asks for, the
// preferred sample rate, whether the session is active, and the current input route. On this
// platform it is a model: it records what is asked, and nothing else depends on it. Any thread.
class ZQLIVEKIT_EXPORT AudioSession {
public:
    static AudioSession& sharedInstance();

    std::string category() const;
    std::uint64_t categoryOptions() const;
    // Fails (and changes nothing) for an unknown category.
    bool setCategory(const std::string& category, std::uint64_t options, Error* error = nullptr);

    double preferredSampleRate() const;
    // Fails (and changes nothing) for a rate that is not positive.
    bool setPreferredSampleRate(double sampleRate, Error* error = nullptr);

    bool isActive() const;
    bool setActive(bool active, Error* error = nullptr);
    // setActive:withOptions:error: is replaced for the whole process by the kit: whoever calls it,
    // it answers success and neither activates nor deactivates the session.
    bool setActive(bool active, std::uint64_t options, Error* error = nullptr);

    AudioSessionRouteDescription currentRoute() const;
    // The input back end tells which port it records from when it opens.
    void setCurrentRouteInputs(std::vector<AudioSessionPortDescription> inputs);
    // The input back end lost its device mid-run: the route loses its input, and a route change
    // (old device unavailable, with the reason) is posted from a background queue.
    void inputLost(const std::string& reason);

    AudioSession(const AudioSession&) = delete;
    AudioSession& operator=(const AudioSession&) = delete;

private:
    friend class AudioSessionAccess; // the kit's own tests return it to a fresh process's state
    AudioSession() = default;

    mutable std::mutex mMutex;
    std::string mCategory = kAudioSessionCategorySoloAmbient;
    std::uint64_t mCategoryOptions = 0;
    double mPreferredSampleRate = 0;
    bool mActive = false;
    AudioSessionRouteDescription mRoute;
};

} // namespace platform
