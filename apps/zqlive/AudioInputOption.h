#pragma once
#include <functional>
#include <memory>
#include <string>

namespace zqlive {

// publish's --audio choice. "tone" and "silence" are pushed into the session by the tool, as an
// application would push its own PCM; "mic[:DEVICE]" (ALSA, "default" when no device is named) and
// "file:PATH" run the session's own microphone capture on that input.
struct AudioInputOption {
    enum class Kind { Tone, Silence, Mic, File };
    Kind kind = Kind::Tone;
    std::string device; // Mic
    std::string path;   // File

    bool captured() const { return kind == Kind::Mic || kind == Kind::File; }
    // "tone", "silence", "mic:DEVICE", "file:PATH"
    std::string description() const;
};

// Throws UsageError for anything but the forms above.
AudioInputOption parseAudioInputOption(const std::string& text);

// For a captured input, while it lives: makes the option the process's microphone, prints
// {"event":"audioInputFailed"} when the capture cannot open it and {"event":"audioInputLost"} when
// it goes away mid-run, and remembers the first such failure. Main thread only.
class AudioInputWatch {
public:
    explicit AudioInputWatch(const AudioInputOption& option);
    ~AudioInputWatch();
    AudioInputWatch(const AudioInputWatch&) = delete;
    AudioInputWatch& operator=(const AudioInputWatch&) = delete;

    // Called on the main queue when the input fails or is lost.
    void setFailureHandler(std::function<void()> handler) { mOnFailure = std::move(handler); }
    bool failed() const { return !mFailure.empty(); }
    // One line: why the input failed.
    const std::string& failure() const { return mFailure; }

private:
    void fail(const char* event, const std::string& failure, const std::string& reason);

    AudioInputOption mOption;
    std::string mFailure;
    std::function<void()> mOnFailure;
    std::shared_ptr<void> mCreateObserver, mLostObserver;
};

} // namespace zqlive
