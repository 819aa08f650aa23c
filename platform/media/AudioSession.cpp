#include "ZQLiveKit/AudioSession.h"

#include <array>
#include <cmath>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/NotificationCenter.h"

namespace platform {

namespace {

constexpr std::array kCategories = {kAudioSessionCategoryAmbient,  kAudioSessionCategorySoloAmbient,
                                     kAudioSessionCategoryPlayback, kAudioSessionCategoryRecord,
                                     kAudioSessionCategoryPlayAndRecord, kAudioSessionCategoryMultiRoute};

constexpr long kParamError = -50; // the platform's paramErr

void fail(Error* error, const std::string& text) {
    if (error) *error = Error{kAudioSessionErrorDomain, kParamError, text};
}

} // namespace

AudioSession& AudioSession::sharedInstance() {
    static auto* session = new AudioSession();
    return *session;
}

std::string AudioSession::category() const {
    std::lock_guard lock(mMutex);
    return mCategory;
}

std::uint64_t AudioSession::categoryOptions() const {
    std::lock_guard lock(mMutex);
    return mCategoryOptions;
}

bool AudioSession::setCategory(const std::string& category, std::uint64_t options, Error* error) {
    bool known = false;
    for (const char* name : kCategories) known = known || category == name;
    if (!known) {
        fail(error, "Unknown audio session category '" + category + "'");
        return false;
    }
    std::lock_guard lock(mMutex);
    mCategory = category;
    mCategoryOptions = options;
    return true;
}

double AudioSession::preferredSampleRate() const {
    std::lock_guard lock(mMutex);
    return mPreferredSampleRate;
}

bool AudioSession::setPreferredSampleRate(double sampleRate, Error* error) {
    if (!(sampleRate > 0) || !std::isfinite(sampleRate)) {
        fail(error, "The preferred sample rate must be positive");
        return false;
    }
    std::lock_guard lock(mMutex);
    mPreferredSampleRate = sampleRate;
    return true;
}

bool AudioSession::isActive() const {
    std::lock_guard lock(mMutex);
    return mActive;
}

bool AudioSession::setActive(bool active, Error*) {
    std::lock_guard lock(mMutex);
    mActive = active;
    return true;
}

bool AudioSession::setActive(bool, std::uint64_t, Error*) { return true; }

AudioSessionRouteDescription AudioSession::currentRoute() const {
    std::lock_guard lock(mMutex);
    return mRoute;
}

void AudioSession::setCurrentRouteInputs(std::vector<AudioSessionPortDescription> inputs) {
    std::lock_guard lock(mMutex);
    mRoute.inputs = std::move(inputs);
}

void AudioSession::inputLost(const std::string& reason) {
    setCurrentRouteInputs({});
    // Observers without a queue run on the posting thread: never the input's real-time thread.
    DispatchQueue::global()->async([this, reason] {
        NotificationCenter::defaultCenter().post(
            kAudioSessionRouteChangeNotification, this,
            {{kAudioSessionRouteChangeReasonKey, AudioSessionRouteChangeReasonOldDeviceUnavailable},
             {kAudioSessionRouteChangeInputLostReasonKey, reason}});
    });
}

} // namespace platform
