#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include "platform/media/AudioFormat.h"

namespace platform {

// Result of an audio-unit call. The values are the platform's own, so logs read the same; 0 is success.
using OSStatus = std::int32_t;
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudio_ParamError = -50;
inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
inline constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;

constexpr std::uint32_t fourCharCode(const char (&code)[5]) {
    return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
           (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
           static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

inline constexpr std::uint32_t kAudioUnitType_Output = fourCharCode("auou");
inline constexpr std::uint32_t kAudioUnitSubType_RemoteIO = fourCharCode("rioc");
inline constexpr std::uint32_t kAudioUnitManufacturer_Apple = fourCharCode("appl");

// The properties the kit sets on an I/O unit, with the platform's numbers.
inline constexpr std::uint32_t kAudioUnitProperty_StreamFormat = 8;
inline constexpr std::uint32_t kAudioOutputUnitProperty_EnableIO = 2003;
inline constexpr std::uint32_t kAudioOutputUnitProperty_SetInputCallback = 2005;

enum class AudioUnitScope : std::uint32_t { Global = 0, Input = 1, Output = 2 };

// The I/O unit's buses: 0 is the output (speaker) side, 1 the input (microphone) side.
inline constexpr std::uint32_t kOutputBus = 0;
inline constexpr std::uint32_t kInputBus = 1;

struct AudioComponentDescription {
    std::uint32_t componentType = 0;
    std::uint32_t componentSubType = 0;
    std::uint32_t componentManufacturer = 0;
    std::uint32_t componentFlags = 0;
    std::uint32_t componentFlagsMask = 0;
};

using AudioUnitRenderActionFlags = std::uint32_t;

// When a period was captured: its first frame's position in the run, and the media clock then.
struct AudioTimeStamp {
    double sampleTime = 0;  // frames since the unit started
    std::uint64_t hostTime = 0; // monotonic nanoseconds
};

struct AudioBuffer {
    std::uint32_t numberChannels = 0;
    std::uint32_t dataByteSize = 0;
    void* data = nullptr; // null asks render() to point it at the unit's own memory
};

// Room for one buffer per channel of non-interleaved audio; interleaved audio uses one.
struct AudioBufferList {
    static constexpr std::uint32_t kMaxBuffers = 8;
    std::uint32_t numberBuffers = 0;
    AudioBuffer buffers[kMaxBuffers] = {};
};

// An instance of an I/O audio unit (AudioUnit / AudioComponentInstance), reduced to the calls a
// microphone capture makes. Set the properties, initialize(), then start() and stop() as often as
// needed; the input callback runs on the unit's own real-time thread with the number of frames
// captured, and fetches them with render() from inside that callback.
class AudioUnit {
public:
    // kAudioOutputUnitProperty_SetInputCallback. Returns the status the callback's render gave.
    using InputCallback = std::function<OSStatus(AudioUnitRenderActionFlags& flags, const AudioTimeStamp& timeStamp,
                                                 std::uint32_t busNumber, std::uint32_t numberFrames)>;

    virtual ~AudioUnit() = default;

    // kAudioOutputUnitProperty_EnableIO (a 32-bit 0 or 1). Before initialize().
    virtual OSStatus setEnableIO(AudioUnitScope scope, std::uint32_t element, std::uint32_t enable) = 0;
    // kAudioUnitProperty_StreamFormat: what the unit renders. Before initialize().
    virtual OSStatus setStreamFormat(AudioUnitScope scope, std::uint32_t element,
                                     const AudioStreamDescription& format) = 0;
    virtual OSStatus setInputCallback(AudioUnitScope scope, std::uint32_t element, InputCallback callback) = 0;

    // AudioUnitInitialize: opens the input for the format set. A failure leaves the unit unusable.
    virtual OSStatus initialize() = 0;
    // AudioOutputUnitStart / AudioOutputUnitStop. Starting a running unit, or stopping a stopped
    // one, succeeds and changes nothing. stop() returns once no callback runs any more. Neither
    // from inside the input callback, and the unit is not destroyed from there either.
    virtual OSStatus start() = 0;
    virtual OSStatus stop() = 0;
    // AudioUnitRender: from inside the input callback only, for the frames it announced.
    virtual OSStatus render(AudioUnitRenderActionFlags& flags, const AudioTimeStamp& timeStamp,
                            std::uint32_t busNumber, std::uint32_t numberFrames, AudioBufferList& data) = 0;

    // Why the last failing call failed, in words ("" when none failed). Any thread.
    virtual std::string errorDescription() const = 0;
};

// A kind of audio unit the process can instantiate (AudioComponent).
class AudioComponent {
public:
    virtual ~AudioComponent() = default;

    // AudioComponentFindNext: the component that matches `description` (flags under the mask,
    // zero fields match anything), or null. On this platform the one component is the voice I/O
    // unit (output unit, RemoteIO, Apple); its input is the process's AudioInputSource at the
    // moment of the call. Any thread.
    static std::shared_ptr<AudioComponent> findNext(const AudioComponentDescription& description);

    // AudioComponentInstanceNew: a new unit in `*unit`, or a failure status (unit left null).
    virtual OSStatus instanceNew(std::unique_ptr<AudioUnit>* unit) = 0;
    // For logs: which input the component records from.
    virtual std::string name() const = 0;

    // Tests: the I/O component findNext() answers with; null returns to the process's input.
    static void setIOComponentForTesting(std::shared_ptr<AudioComponent> component);
};

} // namespace platform
