#pragma once
#include <atomic>
#include <memory>
#include <thread>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Task.h"
#include "platform/media/FileHandle.h"

namespace platform {

// A read-readiness source on a regular file that another writer is growing (a dispatch source of
// the read type): once resumed it calls its handler on the given queue whenever the file may hold
// more to read, and once at the start. Calls are coalesced: events that arrive while a call is queued
// add nothing, events during a call queue one more. The handler reads what it wants from its own
// position; an incomplete read is simply resumed at the next call.
//
// Events come from inotify on the file's inode; where inotify cannot be had (no watches left), a
// poll of the file size every 10 ms takes its place. A thread of the source waits for them; it never
// runs the handler itself.
class FileReadSource {
public:
    static std::shared_ptr<FileReadSource> create(std::shared_ptr<FileHandle> file,
                                                  std::shared_ptr<DispatchQueue> queue, Task handler);
    // Cancels.
    ~FileReadSource();
    FileReadSource(const FileReadSource&) = delete;
    FileReadSource& operator=(const FileReadSource&) = delete;

    // Starts delivering (the first call is queued at once). Any thread; once.
    void resume();
    // After it returns no further handler call starts (one already running finishes). Any thread,
    // also the handler's queue; idempotent.
    void cancel();
    // False when the source polls the size instead of watching file events.
    bool watchesFileEvents() const { return mInotifyFd >= 0; }

private:
    struct State;
    FileReadSource(std::shared_ptr<FileHandle> file, std::shared_ptr<State> state);
    void run();

    std::shared_ptr<FileHandle> mFile;
    std::shared_ptr<State> mState;
    int mInotifyFd = -1;
    int mWakeFd = -1;
    std::atomic<bool> mResumed{false};
    std::thread mThread;
};

} // namespace platform
