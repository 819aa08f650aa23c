#include "ZQLiveKit/SaveLogUtil.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/SystemInfo.h"

namespace {

constexpr mode_t kOwnerOnlyFile = 0600;
constexpr mode_t kOwnerOnlyDirectory = 0700;

std::string formatLocalTime(const char* format) {
    auto seconds = static_cast<std::time_t>(platform::wallTime());
    std::tm local{};
    localtime_r(&seconds, &local);
    char text[64];
    std::size_t n = std::strftime(text, sizeof text, format, &local);
    return std::string(text, n);
}

// Creates `path` and every missing parent; folders the log creates are private to the owner.
void makeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (!prefix.empty()) ::mkdir(prefix.c_str(), kOwnerOnlyDirectory);
        if (slash == std::string::npos) break;
    }
}

// A folder the log may write into: a real directory (not a link) of the user running the process.
// Anything else may have been prepared by another local user to catch or redirect the log.
bool ownedByUser(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == ::geteuid();
}

bool writeAll(int fd, const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

SaveLogUtil& SaveLogUtil::sharedInstance() {
    static SaveLogUtil instance;
    return instance;
}

SaveLogUtil::SaveLogUtil() = default;

void SaveLogUtil::isNeedToSaveLog(bool needSave) {
    std::lock_guard lock(mMutex);
    mNeedSave.store(needSave && !mRefused);
}

std::string SaveLogUtil::getCurrentTime() { return formatLocalTime("%Y-%m-%d %H:%M:%S"); }

std::string SaveLogUtil::getCurrentSDKVersion() { return "2.1.1"; }

void SaveLogUtil::uploadLogToServer() {}

std::string SaveLogUtil::roomId() const {
    std::lock_guard lock(mMutex);
    return mRoomId;
}

void SaveLogUtil::setRoomId(std::string roomId) {
    std::lock_guard lock(mMutex);
    mRoomId = std::move(roomId);
}

std::string SaveLogUtil::dateTime() const {
    std::lock_guard lock(mMutex);
    return mDateTime;
}

std::string SaveLogUtil::saveLogPath() {
    std::lock_guard lock(mMutex);
    return preparePathLocked();
}

std::string SaveLogUtil::preparePathLocked() {
    if (mPrepared) return mSaveLogPath;
    mPrepared = true;
    mDateTime = mNeedSave.load() ? formatLocalTime("%Y-%m-%d") : std::string();
    std::string home = platform::SystemInfo::homeDirectory();
    std::string directory = home + "/Library/QWLog/";
    mSaveLogPath = directory + mDateTime + ".log";
    if (home.empty()) {
        refuseLocked("SaveLogUtil: no home directory ($HOME, $XDG_STATE_HOME or a runtime directory); the log is not saved");
        return mSaveLogPath;
    }
    makeDirectories(home);
    // Each folder of the log is checked before anything is made inside it, so nothing is created
    // through a link or in a folder someone else prepared.
    for (const std::string& folder : {home + "/Library", home + "/Library/QWLog"}) {
        ::mkdir(folder.c_str(), kOwnerOnlyDirectory);
        if (!ownedByUser(folder)) {
            refuseLocked("SaveLogUtil: " + folder + " is not a directory of this user; the log is not saved");
            return mSaveLogPath;
        }
    }
    // A fresh file per process: whatever an earlier run of the day left is replaced.
    ::unlink(mSaveLogPath.c_str());
    int fd = ::open(mSaveLogPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                    kOwnerOnlyFile);
    if (fd >= 0) {
        ::fchmod(fd, kOwnerOnlyFile); // whatever the umask says
        ::close(fd);
    }
    return mSaveLogPath;
}

void SaveLogUtil::refuseLocked(const std::string& reason) {
    mRefused = true;
    mNeedSave.store(false);
    platform::Console::log(reason);
}

void SaveLogUtil::saveLog(const std::string& text, const std::string& action) {
    if (!mNeedSave.load()) return;
    std::string entry = "\n" + action + "[" + getCurrentTime() + "]:" + text + "\n\n";
    std::lock_guard lock(mMutex);
    std::string path = preparePathLocked();
    if (mRefused) return;
    // Appending gives the same bytes as rewriting the whole file with the entry added, at a cost that
    // does not grow with the file. The lock keeps entries of several threads whole and in order.
    int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, kOwnerOnlyFile);
    if (fd < 0) return; // failures lose the entry, as a failed write always did
    struct stat before {};
    bool sized = ::fstat(fd, &before) == 0;
    // A write cut short (disk full) is taken back, so the file never holds half an entry.
    if (!writeAll(fd, entry) && sized && ::ftruncate(fd, before.st_size) != 0) {
        // Nothing more can be done; the next entry still goes to the end.
    }
    ::close(fd);
}
