#pragma once
#include <mutex>
#include "ZQLiveKit/AudioSession.h"

namespace platform {

// Internal: returns the process-wide audio session to the state of a fresh process, so each test
// starts from the same place. Applications have no use for it.
class AudioSessionAccess {
public:
    static void reset(AudioSession& session) {
        std::lock_guard lock(session.mMutex);
        session.mCategory = kAudioSessionCategorySoloAmbient;
        session.mCategoryOptions = 0;
        session.mPreferredSampleRate = 0;
        session.mActive = false;
        session.mRoute = {};
    }
};

} // namespace platform
