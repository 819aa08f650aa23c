#pragma once
#include <atomic>
#include <mutex>
#include <string>
#include "ZQLiveKit/Export.h"

// The kit's diagnostic log: when the application switches saving on, tagged, time-stamped entries
// go to one UTF-8 file per day, "<home>/Library/QWLog/yyyy-MM-dd.log". The file is started afresh on
// its first use in the process (an earlier file of that day is replaced) and keeps the date of that
// first use. It is created readable by its owner only: it holds room ids and service URLs.
// Without a home directory (see platform::SystemInfo::homeDirectory), or when "Library" or
// "Library/QWLog" there is not a directory of the user running the process, the log is refused:
// saving is switched off for good, with one console line saying why.
// Every operation may be called from any thread; entries from several threads are written whole and
// none is lost.
class ZQLIVEKIT_EXPORT SaveLogUtil {
public:
    // The process's log, created on first use with saving off.
    static SaveLogUtil& sharedInstance();

    // A log of its own, behaving as the shared one does in a fresh process.
    SaveLogUtil();
    SaveLogUtil(const SaveLogUtil&) = delete;
    SaveLogUtil& operator=(const SaveLogUtil&) = delete;

    // Switches saving on or off (off by default; stays off once the log directory was refused).
    void isNeedToSaveLog(bool needSave);
    bool needsave() const { return mNeedSave.load(); }

    // Appends "\n<action>[<local time>]:<text>\n\n" when saving is on; does nothing otherwise.
    void saveLog(const std::string& text, const std::string& action);

    // The file's path, prepared on the first call: the directory is created when missing and any
    // file at the path is replaced by an empty one. The date part is today's date when saving is on
    // at that moment, and empty otherwise (the file is then named ".log").
    std::string saveLogPath();
    // The date part of the path ("" before the path is prepared).
    std::string dateTime() const;

    std::string roomId() const;
    void setRoomId(std::string roomId);

    // The current local time as "yyyy-MM-dd HH:mm:ss" (wall clock of the shared clock).
    static std::string getCurrentTime();
    // The version reported with the log: "2.1.1".
    static std::string getCurrentSDKVersion();
    // Uploading is not offered; does nothing.
    void uploadLogToServer();

private:
    std::string preparePathLocked();
    void refuseLocked(const std::string& reason);

    mutable std::mutex mMutex; // guards everything below and serialises writes to the file
    std::atomic<bool> mNeedSave{false};
    std::string mRoomId;
    std::string mSaveLogPath;
    std::string mDateTime;
    bool mPrepared = false;
    bool mRefused = false; // the log directory is unusable: nothing is written
};
