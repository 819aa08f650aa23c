#include "transport/LinkInterrupt.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

LinkInterrupt::LinkInterrupt() : mEventFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

LinkInterrupt::~LinkInterrupt() {
    if (mEventFd >= 0) ::close(mEventFd);
}

void LinkInterrupt::interrupt() {
    std::lock_guard lock(mMutex);
    if (mInterrupted) return;
    mInterrupted = true;
    if (mEventFd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto written = ::write(mEventFd, &one, sizeof one);
    }
    // Under the lock: the owner detaches (and only then closes) under the same lock.
    if (mSocket >= 0 && mCallsInProgress > 0) ::shutdown(mSocket, SHUT_RDWR);
}

bool LinkInterrupt::interrupted() const {
    std::lock_guard lock(mMutex);
    return mInterrupted;
}

bool LinkInterrupt::attach(int socket) {
    std::lock_guard lock(mMutex);
    if (mInterrupted) return false;
    mSocket = socket;
    return true;
}

void LinkInterrupt::detach() {
    std::lock_guard lock(mMutex);
    mSocket = -1;
}

bool LinkInterrupt::beginCall() {
    std::lock_guard lock(mMutex);
    if (mInterrupted) return false;
    ++mCallsInProgress;
    return true;
}

void LinkInterrupt::endCall() {
    std::lock_guard lock(mMutex);
    --mCallsInProgress;
}
