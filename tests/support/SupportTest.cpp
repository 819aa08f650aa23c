// Error objects, the string table, login parameters and the daily log file.
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>
#include <thread>
#include "ZQLiveKit/PushErrorUtil.h"
#include "ZQLiveKit/PushParameters.h"
#include "ZQLiveKit/SaveLogUtil.h"
#include "ZQLiveKit/ZQLocalization.h"
#include "ZQPlatform/Clock.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/SystemInfo.h"
#include "tests/support/TestUtil.h"

namespace {

class ErrorTest : public ::testing::Test {
protected:
    void SetUp() override { ZQLocalization::setTable(nullptr); }
    void TearDown() override { ZQLocalization::reset(); }
};

TEST_F(ErrorTest, KitCodesCarryTheirMessagesUnderTheFixedDomain) {
    auto error = PushErrorUtil::createAnErrorWithDesc(1008);
    EXPECT_EQ(error.domain, "com.MyCompany.MyApplication.ErrorDomain");
    EXPECT_EQ(error.code, 1008);
    EXPECT_EQ(error.localizedDescription, "网络异常");
    EXPECT_EQ(error.userInfo, (nlohmann::json{{"NSLocalizedDescription", "网络异常"}}));

    const std::vector<std::string> messages{"密码错误",     "心跳请求失败",   "长时间未推流", "RTMP连接失败",
                                            "RTMP连接超时", "返回内容格式错误", "可能是参数错误", "网络异常",
                                            "网络超时",     "暂不支持多主讲"};
    for (long code = 1001; code <= 1010; ++code)
        EXPECT_EQ(PushErrorUtil::createAnErrorWithDesc(code).localizedDescription, messages[code - 1001]) << code;
}

TEST_F(ErrorTest, CodesWithoutAMessageGiveAnEmptyDescription) {
    for (long code : {0L, 1000L, 1011L, -1L, 205L}) {
        auto error = PushErrorUtil::createAnErrorWithDesc(code);
        EXPECT_EQ(error.domain, PushErrorUtil::kErrorDomain);
        EXPECT_EQ(error.code, code);
        EXPECT_EQ(error.localizedDescription, "");
        EXPECT_FALSE(PushErrorUtil::messageForCode(code));
    }
}

TEST_F(ErrorTest, TranslationFromTheApplicationsTableWins) {
    ZQLocalization::setTable({{"网络超时", "Network timed out"}, {"网络异常", ""}});
    EXPECT_EQ(PushErrorUtil::createAnErrorWithDesc(1009).localizedDescription, "Network timed out");
    EXPECT_EQ(PushErrorUtil::createAnErrorWithDesc(1009).userInfo["NSLocalizedDescription"], "Network timed out");
    // An empty translation counts as none.
    EXPECT_EQ(PushErrorUtil::createAnErrorWithDesc(1008).localizedDescription, "网络异常");
    EXPECT_EQ(PushErrorUtil::createAnErrorWithDesc(1001).localizedDescription, "密码错误");
}

TEST_F(ErrorTest, TableIsReadFromTheFileTheEnvironmentNames) {
    zqtest::TempDir dir;
    std::ofstream(dir.file("strings.json")) << R"({"密码错误": "Wrong password"})";
    std::ofstream(dir.file("broken.json")) << "{not json";
    EXPECT_FALSE(ZQLocalization::loadTable(dir.file("broken.json")));
    EXPECT_FALSE(ZQLocalization::loadTable(dir.file("missing.json")));

    ZQLocalization::reset();
    ::setenv("ZQLIVEKIT_LOCALIZATION", dir.file("strings.json").c_str(), 1);
    EXPECT_EQ(PushErrorUtil::createAnErrorWithDesc(1001).localizedDescription, "Wrong password");
    ::unsetenv("ZQLIVEKIT_LOCALIZATION");
    ZQLocalization::reset();
    EXPECT_EQ(PushErrorUtil::createAnErrorWithDesc(1001).localizedDescription, "密码错误");
}

TEST(PushParametersTest, HoldsTheCredentialsAsGiven) {
    PushParameters parameters;
    EXPECT_FALSE(parameters.security());
    parameters.setUserId("u1");
    parameters.setRoomId("r1");
    parameters.setViewerName("主播");
    parameters.setToken("secret");
    parameters.setSecurity(true);
    PushParameters copy = parameters;
    EXPECT_EQ(copy, parameters);
    EXPECT_EQ(copy.viewerName(), "主播");
    EXPECT_TRUE(copy.security());
    copy.setRoomId("r2");
    EXPECT_NE(copy, parameters);
}

class SaveLogTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("TZ", "UTC", 1);
        ::tzset();
        platform::SystemInfo::setHomeDirectory(home.path());
        clock->setWallTime(1714557600.0); // 2024-05-01 10:00:00 UTC
        platform::Clock::setShared(clock);
    }
    void TearDown() override {
        platform::Clock::setShared(nullptr);
        platform::SystemInfo::setHomeDirectory("");
    }
    std::string logPath(const std::string& date = "2024-05-01") const {
        return home.path() + "/Library/QWLog/" + date + ".log";
    }

    zqtest::TempDir home;
    std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
};

TEST_F(SaveLogTest, TwoEntriesInAFreshProcess) {
    SaveLogUtil log;
    log.isNeedToSaveLog(true);
    log.saveLog("断开socket", "killSocket");
    clock->setWallTime(1714557601.0);
    log.saveLog("登录成功", "login");
    EXPECT_EQ(log.saveLogPath(), logPath());
    EXPECT_EQ(log.dateTime(), "2024-05-01");
    EXPECT_EQ(zqtest::readFile(logPath()),
              "\nkillSocket[2024-05-01 10:00:00]:断开socket\n\n\nlogin[2024-05-01 10:00:01]:登录成功\n\n");
}

TEST_F(SaveLogTest, SavingOffCreatesNothing) {
    SaveLogUtil log;
    EXPECT_FALSE(log.needsave());
    log.saveLog("text", "action");
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/Library"));
    log.isNeedToSaveLog(true);
    log.isNeedToSaveLog(false);
    log.saveLog("text", "action");
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/Library"));
}

TEST_F(SaveLogTest, FileIsPrivateToItsOwner) {
    SaveLogUtil log;
    log.isNeedToSaveLog(true);
    log.saveLog("rtmp://node/live/room-1", "publish");
    struct stat info {};
    ASSERT_EQ(::stat(logPath().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(::stat((home.path() + "/Library/QWLog").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0077, 0u);
}

TEST_F(SaveLogTest, EachProcessStartsTheDayFileAfreshAndKeepsItsFirstDate) {
    {
        SaveLogUtil earlier;
        earlier.isNeedToSaveLog(true);
        earlier.saveLog("first run", "a");
    }
    SaveLogUtil later; // as a second process on the same day
    later.isNeedToSaveLog(true);
    later.saveLog("second run", "b");
    clock->setWallTime(1714557600.0 + 86400); // past midnight: still the same file
    later.saveLog("next day", "c");
    EXPECT_EQ(zqtest::readFile(logPath()),
              "\nb[2024-05-01 10:00:00]:second run\n\n\nc[2024-05-02 10:00:00]:next day\n\n");
    EXPECT_FALSE(std::filesystem::exists(logPath("2024-05-02")));
}

TEST_F(SaveLogTest, PathPreparedWhileSavingIsOffHasNoDate) {
    SaveLogUtil log;
    EXPECT_EQ(log.saveLogPath(), home.path() + "/Library/QWLog/.log");
    EXPECT_EQ(zqtest::readFile(log.saveLogPath()), "");
    log.isNeedToSaveLog(true);
    log.saveLog("x", "y");
    EXPECT_EQ(zqtest::readFile(home.path() + "/Library/QWLog/.log"), "\ny[2024-05-01 10:00:00]:x\n\n");
}

TEST_F(SaveLogTest, EntriesFromManyThreadsAreAllKeptWhole) {
    SaveLogUtil log;
    log.isNeedToSaveLog(true);
    constexpr int kThreads = 4, kEntries = 200;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([&log, t] {
            for (int i = 0; i < kEntries; ++i) log.saveLog("entry " + std::to_string(t) + "-" + std::to_string(i), "t");
        });
    for (auto& w : writers) w.join();
    std::string content = zqtest::readFile(logPath());
    std::string entry = "\nt[2024-05-01 10:00:00]:entry 0-0\n\n";
    EXPECT_NE(content.find(entry), std::string::npos);
    std::size_t count = 0;
    for (std::size_t at = content.find("\nt["); at != std::string::npos; at = content.find("\nt[", at + 1)) ++count;
    EXPECT_EQ(count, static_cast<std::size_t>(kThreads * kEntries));
    for (int t = 0; t < kThreads; ++t)
        EXPECT_NE(content.find("]:entry " + std::to_string(t) + "-" + std::to_string(kEntries - 1) + "\n\n"),
                  std::string::npos);
}

TEST_F(SaveLogTest, SharedLogAndItsFixedTexts) {
    EXPECT_EQ(&SaveLogUtil::sharedInstance(), &SaveLogUtil::sharedInstance());
    EXPECT_FALSE(SaveLogUtil::sharedInstance().needsave());
    EXPECT_EQ(SaveLogUtil::getCurrentSDKVersion(), "2.1.1");
    EXPECT_EQ(SaveLogUtil::getCurrentTime(), "2024-05-01 10:00:00");
    SaveLogUtil log;
    log.setRoomId("room-9");
    EXPECT_EQ(log.roomId(), "room-9");
    log.uploadLogToServer();
    EXPECT_FALSE(std::filesystem::exists(home.path() + "/Library"));
}

// Where the log goes without a home, and which folders it refuses. The environment and the console
// are the test's for its duration.
class SaveLogPlaceTest : public SaveLogTest {
protected:
    void SetUp() override {
        SaveLogTest::SetUp();
        platform::SystemInfo::setHomeDirectory("");
        for (const char* name : {"HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR"}) {
            const char* value = std::getenv(name);
            saved.emplace_back(name, value ? std::optional<std::string>(value) : std::nullopt);
            ::unsetenv(name);
        }
        platform::Console::setSink([this](const std::string& line) { console.push_back(line); });
    }
    void TearDown() override {
        platform::Console::setSink(nullptr);
        for (auto& [name, value] : saved) {
            if (value)
                ::setenv(name.c_str(), value->c_str(), 1);
            else
                ::unsetenv(name.c_str());
        }
        SaveLogTest::TearDown();
    }
    static void write(SaveLogUtil& log) {
        log.isNeedToSaveLog(true);
        log.saveLog("text", "action");
    }

    std::vector<std::pair<std::string, std::optional<std::string>>> saved;
    std::vector<std::string> console;
};

TEST_F(SaveLogPlaceTest, WithoutAHomeTheLogGoesToTheUsersStateDirectoryNotToTmp) {
    ::setenv("XDG_STATE_HOME", home.path().c_str(), 1);
    SaveLogUtil log;
    write(log);
    EXPECT_EQ(log.saveLogPath(), home.path() + "/zqlivekit/Library/QWLog/2024-05-01.log");
    EXPECT_EQ(zqtest::readFile(log.saveLogPath()), "\naction[2024-05-01 10:00:00]:text\n\n");
    EXPECT_TRUE(console.empty());
}

TEST_F(SaveLogPlaceTest, WithoutAHomeOrStateDirectoryTheRuntimeDirectoryIsUsed) {
    ::setenv("XDG_STATE_HOME", "relative/state", 1); // not absolute: not used
    ::setenv("XDG_RUNTIME_DIR", home.path().c_str(), 1);
    SaveLogUtil log;
    write(log);
    EXPECT_EQ(log.saveLogPath(), home.path() + "/zqlivekit/Library/QWLog/2024-05-01.log");
    EXPECT_EQ(zqtest::readFile(log.saveLogPath()), "\naction[2024-05-01 10:00:00]:text\n\n");
}

TEST_F(SaveLogPlaceTest, WithNoPlaceAtAllSavingIsOffWithOneLine) {
    if (std::filesystem::exists("/run/user/" + std::to_string(::geteuid())))
        GTEST_SKIP() << "this user has a runtime directory under /run/user";
    SaveLogUtil log;
    write(log);
    log.saveLog("more", "action");
    EXPECT_FALSE(log.needsave());
    EXPECT_EQ(console.size(), 1u);
    EXPECT_EQ(log.saveLogPath().find("/tmp/"), std::string::npos) << "a shared folder another user can prepare";
}

TEST_F(SaveLogPlaceTest, FolderPreparedByAnotherUserIsRefused) {
    platform::SystemInfo::setHomeDirectory(home.path());
    // A link to somewhere else is not the user's folder, whoever owns the target.
    zqtest::TempDir elsewhere;
    std::filesystem::create_directory_symlink(elsewhere.path(), home.path() + "/Library");
    SaveLogUtil log;
    write(log);
    log.isNeedToSaveLog(true); // stays off
    log.saveLog("more", "action");
    EXPECT_FALSE(log.needsave());
    EXPECT_TRUE(std::filesystem::is_empty(elsewhere.path())) << "nothing may be written through the link";
    ASSERT_EQ(console.size(), 1u);
    EXPECT_NE(console[0].find(home.path() + "/Library is not a directory of this user"), std::string::npos)
        << console[0];
}

TEST_F(SaveLogPlaceTest, FolderOwnedByAnotherUserIsRefused) {
    if (::geteuid() != 0) GTEST_SKIP() << "making a folder of another user needs root";
    platform::SystemInfo::setHomeDirectory(home.path());
    std::filesystem::create_directories(home.path() + "/Library/QWLog");
    ASSERT_EQ(::chown((home.path() + "/Library/QWLog").c_str(), 65534, 65534), 0);
    SaveLogUtil log;
    write(log);
    EXPECT_FALSE(log.needsave());
    EXPECT_FALSE(std::filesystem::exists(logPath()));
    ASSERT_EQ(console.size(), 1u);
    EXPECT_NE(console[0].find("/Library/QWLog is not a directory of this user"), std::string::npos) << console[0];
}

} // namespace
