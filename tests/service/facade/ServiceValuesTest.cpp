// Reading the services' JSON, the service host settings and the application group's shared defaults.
#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include "ZQLiveKit/QWServiceSettings.h"
#include "ZQPlatform/SystemInfo.h"
#include "ZQPlatform/UserDefaults.h"
#include "service/JsonValue.h"
#include "tests/support/TestUtil.h"

using namespace zqservice;
using nlohmann::json;

TEST(JsonValues, WrongTypesReadAsAbsentAndNothingThrows) {
    json answer = {{"s", "text"}, {"n", 12}, {"f", 3.9}, {"b", true}, {"a", json::array()}, {"o", json::object()},
                   {"null", nullptr}, {"digits", " -42abc"}, {"nodigits", "abc"}, {"huge", 1e300}};
    EXPECT_EQ(stringMember(answer, "s"), "text");
    EXPECT_EQ(stringMember(answer, "n"), std::nullopt);
    EXPECT_EQ(stringMember(answer, "missing"), std::nullopt);
    EXPECT_EQ(stringMember(json::array({1}), "s"), std::nullopt);
    EXPECT_EQ(integerMember(answer, "n"), 12);
    EXPECT_EQ(integerMember(answer, "f"), 3);
    EXPECT_EQ(integerMember(answer, "b"), 1);
    EXPECT_EQ(integerMember(answer, "digits"), -42);
    EXPECT_EQ(integerMember(answer, "nodigits"), 0);
    EXPECT_EQ(integerMember(answer, "huge"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(integerMember(answer, "a"), std::nullopt);
    EXPECT_EQ(integerMember(answer, "null"), std::nullopt);
    EXPECT_EQ(boolMember(answer, "b"), true);
    EXPECT_EQ(boolMember(answer, "n"), true);
    EXPECT_EQ(boolValue(json("YES")), true);
    EXPECT_EQ(boolValue(json("0")), false);
    EXPECT_EQ(boolValue(json("false")), false);
    EXPECT_EQ(boolMember(answer, "o"), std::nullopt);
    EXPECT_TRUE(arrayMember(answer, "a"));
    EXPECT_FALSE(arrayMember(answer, "o"));
    EXPECT_TRUE(isValidUTF8("ok 你好"));
    EXPECT_FALSE(isValidUTF8("\xC0\xAF"));
}

class ServiceSettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        QWServiceSettings::setViewHost(std::nullopt);
        QWServiceSettings::setHTTPDNSURL(std::nullopt);
        unsetenv("ZQLIVEKIT_VIEW_HOST");
        unsetenv("ZQLIVEKIT_HTTPDNS_URL");
    }
};

TEST_F(ServiceSettingsTest, SetterWinsOverEnvironmentWhichWinsOverDefault) {
    unsetenv("ZQLIVEKIT_VIEW_HOST");
    EXPECT_EQ(QWServiceSettings::viewHost(), QWServiceSettings::defaultViewHost());
    setenv("ZQLIVEKIT_VIEW_HOST", "env.example:81", 1);
    EXPECT_EQ(QWServiceSettings::viewHost(), "env.example:81");
    EXPECT_TRUE(QWServiceSettings::setViewHost(std::string("set.example")));
    EXPECT_EQ(QWServiceSettings::viewHost(), "set.example");
    EXPECT_TRUE(QWServiceSettings::setViewHost(std::nullopt));
    EXPECT_EQ(QWServiceSettings::viewHost(), "env.example:81");
    // A malformed environment value falls back to the default.
    setenv("ZQLIVEKIT_VIEW_HOST", "http://env.example", 1);
    EXPECT_EQ(QWServiceSettings::viewHost(), QWServiceSettings::defaultViewHost());
}

TEST_F(ServiceSettingsTest, HostsCarryNoSchemePathOrCredentials) {
    for (const char* good : {"a.example", "a.example:8080", "127.0.0.1:1", "[::1]:443", "[::1]", "node_1"})
        EXPECT_TRUE(QWServiceSettings::isValidHost(good)) << good;
    for (const char* bad : {"", "http://a", "a/b", "a:0", "a:65536", "a:", ":80", "u@a", "a b", "[::1", "a:8x", "[zz]"})
        EXPECT_FALSE(QWServiceSettings::isValidHost(bad)) << bad;
    EXPECT_FALSE(QWServiceSettings::setViewHost(std::string("https://a")));
    EXPECT_EQ(QWServiceSettings::viewHost(), QWServiceSettings::defaultViewHost());
    EXPECT_TRUE(QWServiceSettings::setHTTPDNSURL(std::string("http://127.0.0.1:9/d?x=1")));
    EXPECT_FALSE(QWServiceSettings::setHTTPDNSURL(std::string("127.0.0.1:9")));
    EXPECT_FALSE(QWServiceSettings::setHTTPDNSURL(std::string("ftp://a")));
    EXPECT_FALSE(QWServiceSettings::setHTTPDNSURL(std::string("http://a b/")));
    EXPECT_EQ(QWServiceSettings::httpDNSURL(), "http://127.0.0.1:9/d?x=1");
}

TEST(UserDefaultsTest, GroupFileIsPrivateReplacedWholeAndReadBack) {
    zqtest::TempDir home;
    setenv("XDG_CONFIG_HOME", home.path().c_str(), 1);
    auto defaults = platform::UserDefaults::create("group.test-1_a");
    ASSERT_TRUE(defaults);
    EXPECT_EQ(defaults->path(), home.path() + "/zqlivekit/group.test-1_a.json");
    EXPECT_FALSE(defaults->objectForKey("url"));
    ASSERT_TRUE(defaults->setObject("rtmp://x/live/s", "url"));
    ASSERT_TRUE(defaults->setObject({{"sizeWidth", 360.0}}, "videoConfiguration"));
    struct stat info {};
    ASSERT_EQ(::stat(defaults->path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    auto file = json::parse(zqtest::readFile(defaults->path()));
    EXPECT_EQ(file["url"], "rtmp://x/live/s");
    EXPECT_EQ(file["videoConfiguration"]["sizeWidth"], 360.0);
    // Another store of the group (another process) reads what was written.
    auto again = platform::UserDefaults::create("group.test-1_a");
    EXPECT_EQ(again->objectForKey("url"), json("rtmp://x/live/s"));
    // No temporary file is left beside it.
    std::string listing;
    zqtest::runCommand("ls -A '" + home.path() + "/zqlivekit'", &listing);
    EXPECT_EQ(listing, "group.test-1_a.json\n");
    unsetenv("XDG_CONFIG_HOME");
}

TEST(UserDefaultsTest, GroupNamesThatCouldLeaveTheFolderAreRefused) {
    for (const char* bad : {"", "..", ".hidden", "a/b", "../x", "a b", "a\\b", "ü"})
        EXPECT_FALSE(platform::UserDefaults::create(bad)) << bad;
    EXPECT_TRUE(platform::UserDefaults::isValidSuiteName("group.com.example-app_1"));
}
