#include "platform/media/FileReadSource.h"

#include <cerrno>
#include <cstdint>
#include <poll.h>
#include <string>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace platform {

namespace {
constexpr int kSizePollMilliseconds = 10;
}

struct FileReadSource::State {
    std::weak_ptr<DispatchQueue> queue;
    Task handler;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> queued{false};

    // Queues one handler call unless one is already waiting.
    static void fire(const std::shared_ptr<State>& state) {
        if (state->cancelled.load() || state->queued.exchange(true)) return;
        auto queue = state->queue.lock();
        if (!queue) return;
        queue->async([state] {
            // Cleared first: an event during the call queues the next one.
            state->queued.store(false);
            if (!state->cancelled.load()) state->handler();
        });
    }
};

std::shared_ptr<FileReadSource> FileReadSource::create(std::shared_ptr<FileHandle> file,
                                                       std::shared_ptr<DispatchQueue> queue, Task handler) {
    if (!file || !queue || !handler) return nullptr;
    auto state = std::make_shared<State>();
    state->queue = queue;
    state->handler = std::move(handler);
    return std::shared_ptr<FileReadSource>(new FileReadSource(std::move(file), std::move(state)));
}

FileReadSource::FileReadSource(std::shared_ptr<FileHandle> file, std::shared_ptr<State> state)
    : mFile(std::move(file)), mState(std::move(state)) {
    mWakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    mInotifyFd = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (mInotifyFd >= 0) {
        // The descriptor's own inode, whatever its name is now.
        std::string self = "/proc/self/fd/" + std::to_string(mFile->fileDescriptor());
        if (::inotify_add_watch(mInotifyFd, self.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB) < 0) {
            ::close(mInotifyFd);
            mInotifyFd = -1;
        }
    }
}

FileReadSource::~FileReadSource() {
    cancel();
    if (mInotifyFd >= 0) ::close(mInotifyFd);
    if (mWakeFd >= 0) ::close(mWakeFd);
}

void FileReadSource::resume() {
    if (mResumed.exchange(true) || mState->cancelled.load()) return;
    State::fire(mState);
    mThread = std::thread([this] { run(); });
}

void FileReadSource::cancel() {
    if (mState->cancelled.exchange(true)) return;
    if (mWakeFd >= 0) {
        std::uint64_t one = 1;
        while (::write(mWakeFd, &one, sizeof one) < 0 && errno == EINTR) {
        }
    }
    if (mThread.joinable()) mThread.join();
}

void FileReadSource::run() {
    pollfd fds[2] = {{mWakeFd, POLLIN, 0}, {mInotifyFd, POLLIN, 0}};
    const nfds_t count = mInotifyFd >= 0 ? 2 : 1;
    std::uint64_t lastSize = mFile->size().value_or(0);
    while (!mState->cancelled.load()) {
        int ready = ::poll(fds, count, mInotifyFd >= 0 ? -1 : kSizePollMilliseconds);
        if (mState->cancelled.load()) return;
        if (ready < 0) {
            if (errno == EINTR) continue;
            return; // nothing sensible left to wait on
        }
        if (mInotifyFd >= 0) {
            if (!(fds[1].revents & POLLIN)) continue;
            alignas(inotify_event) char events[4096];
            while (::read(mInotifyFd, events, sizeof events) > 0) {
            }
            State::fire(mState);
        } else {
            std::uint64_t size = mFile->size().value_or(lastSize);
            if (size != lastSize) {
                lastSize = size;
                State::fire(mState);
            }
        }
    }
}

} // namespace platform
