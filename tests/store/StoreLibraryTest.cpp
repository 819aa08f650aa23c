// The store library as shipped: what it links against, what it exports, and the zqlive store command
// driving it against an HTTP fake.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include "ZQSLivePushStoreModule/ZQSLivePushStoreModuleVersion.h"
#include "tests/support/HTTPFake.h"
#include "tests/support/TestUtil.h"

using nlohmann::json;
using zqtest::FakeReply;
using zqtest::HTTPFake;
using zqtest::RecordedRequest;

namespace {

std::string library() { return zqtest::buildDir() + "/lib/libZQSLivePushStoreModule.so"; }

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) lines.push_back(line);
    return lines;
}

TEST(StoreLibraryTest, NeedsOnlyThePlatformFoundationNeverZQLiveKit) {
    std::string out;
    ASSERT_EQ(zqtest::runCommand("readelf -d " + library(), &out), 0);
    std::vector<std::string> needed;
    for (auto& line : linesOf(out)) {
        if (line.find("(NEEDED)") == std::string::npos) continue;
        needed.push_back(line.substr(line.find('[') + 1, line.find(']') - line.find('[') - 1));
    }
    ASSERT_FALSE(needed.empty()) << out;
    for (auto& name : needed) {
        EXPECT_EQ(name.find("ZQLiveKit"), std::string::npos) << name;
        EXPECT_EQ(name.find("curl"), std::string::npos) << "the URL session lives in the foundation: " << name;
    }
    EXPECT_NE(std::find(needed.begin(), needed.end(), "libZQPlatformFoundation.so.1"), needed.end());
    EXPECT_NE(out.find("Library soname: [libZQSLivePushStoreModule.so.1]"), std::string::npos);
}

TEST(StoreLibraryTest, ExportsTheApiAndKeepsInternalsHidden) {
    std::string out;
    ASSERT_EQ(zqtest::runCommand("nm -DC --defined-only " + library(), &out), 0);
    for (const char* symbol : {"ZQSLivePushStoreModuleVersionNumber", "ZQSLivePushStoreModuleVersionString",
                               "mainExecute(", "ZQSLivePushStoreFunc::create(", "ZQSLivePushStoreFunc::getItemList(",
                               "ZQSLivePushStoreFunc::getSingleItemMode("})
        EXPECT_NE(out.find(symbol), std::string::npos) << symbol;
    for (auto& line : linesOf(out)) {
        EXPECT_EQ(line.find(" zqs::"), std::string::npos) << line;
        EXPECT_EQ(line.find("ZQSLivePushStoreFunc::send("), std::string::npos) << line;
    }
    EXPECT_EQ(ZQSLivePushStoreModuleVersionNumber, 1.0);
    EXPECT_STREQ(reinterpret_cast<const char*>(ZQSLivePushStoreModuleVersionString),
                 "@(#)PROGRAM:ZQSLivePushStoreModule  PROJECT:ZQSLivePushStoreModule-1");
}

class StoreCommandTest : public ::testing::Test {
protected:
    // Runs zqlive store with `arguments`; returns the exit status and the JSON lines of stdout.
    int store(const std::string& arguments, std::vector<json>* events) {
        std::string out;
        int status = zqtest::runCommand(zqtest::buildDir() + "/bin/zqlive store --base " + fake.baseURL() + " " +
                                            arguments + " 2>/dev/null",
                                        &out);
        for (auto& line : linesOf(out)) events->push_back(json::parse(line));
        return status;
    }
    HTTPFake fake;
};

TEST_F(StoreCommandTest, ListPrintsTheResultThenEveryFieldOfThePage) {
    fake.reply(200, R"({"records":[{"id":1024,"tag":"new,hot","top":1}],"pagination":{"pageNo":1,"pageSize":20}})");
    std::vector<json> events;
    ASSERT_EQ(store("--token T1 list 1 20", &events), 0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0], json({{"event", "result"}, {"success", true}, {"message", "succed, wait itemListClosure please"}}));
    EXPECT_EQ(events[1]["event"], "items");
    EXPECT_EQ(events[1]["records"][0],
              json({{"id", "1024"}, {"title", nullptr}, {"cover", nullptr}, {"desc", nullptr},
                    {"tags", {"new", "hot"}}, {"originPrice", 0.0}, {"currentPrice", 0.0}, {"buttonTitle", nullptr},
                    {"top", true}, {"push", false}, {"score", 0}}));
    EXPECT_EQ(events[1]["pagination"], json({{"pageNo", 1}, {"pageSize", 20}, {"totalCount", 0}, {"pageCount", 0}}));
    auto request = fake.requests().at(0);
    EXPECT_EQ(request.target, "/room/products?pageNo=1&pageSize=20");
    EXPECT_EQ(request.header("interactive-token"), "T1");
}

TEST_F(StoreCommandTest, ImportListWithoutPaginationPrintsNull) {
    fake.reply(200, R"({"records":[{"id":"9","gmtCreate":1600000000123,"bind":2}]})");
    std::vector<json> events;
    ASSERT_EQ(store("import-list 2 5", &events), 0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1]["records"][0],
              json({{"id", "9"}, {"title", nullptr}, {"cover", nullptr}, {"originPrice", 0.0}, {"currentPrice", 0.0},
                    {"gmtCreate", 1600000000123.0}, {"bind", 2}}));
    EXPECT_TRUE(events[1]["pagination"].is_null());
    auto request = fake.requests().at(0);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/product/list/withRel?pageNo=2&pageSize=5");
    EXPECT_FALSE(request.header("Content-Type"));
    EXPECT_FALSE(request.header("interactive-token"));
}

TEST_F(StoreCommandTest, ActionsSucceedOrFailWithTheServersMessage) {
    std::vector<json> events;
    ASSERT_EQ(store("cancel-top 88", &events), 0);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], json({{"event", "result"}, {"success", true}, {"message", "cancel to top succed"}}));
    EXPECT_EQ(fake.requests().at(0).target, "/product/top/cancel");
    EXPECT_EQ(fake.requests().at(0).body, R"({"productId":"88"})");

    fake.reply(401, R"({"message":"token invalid"})");
    events.clear();
    EXPECT_EQ(store("remove 'a b'", &events), 1);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0], json({{"event", "result"}, {"success", false}, {"message", "token invalid"}}));
    EXPECT_EQ(fake.requests().at(1).target, "/room/rel?productId=a%20b");
}

TEST_F(StoreCommandTest, ListAnswerWithoutCallbacksEndsAtTheTimeLimit) {
    fake.reply(200, "[]");
    std::vector<json> events;
    EXPECT_EQ(store("--wait 0.5 list 1 1", &events), 1);
    EXPECT_TRUE(events.empty());
}

TEST_F(StoreCommandTest, BadCommandLinesAreUsageErrors) {
    std::vector<json> events;
    EXPECT_EQ(store("list 1", &events), 2);
    EXPECT_EQ(store("list one 2", &events), 2);
    EXPECT_EQ(store("push", &events), 2);
    EXPECT_EQ(store("sell 1", &events), 2);
    EXPECT_EQ(store("--bogus x push 1", &events), 2);
    EXPECT_TRUE(events.empty());
    EXPECT_TRUE(fake.requests().empty());
}

} // namespace
