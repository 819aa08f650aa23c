// How the store client reads answers into models, interprets list answers and finished requests,
// and where its settings come from. No network here.
#include <cstdlib>
#include <gtest/gtest.h>
#include <mutex>
#include <thread>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreModule.h"
#include "store/ZQSStoreRequest.h"
#include "store/ZQSStoreValue.h"
#include "tests/support/VirtualTime.h"

using nlohmann::json;
using Strings = std::vector<std::string>;

namespace {

// Captures console lines for the life of the object.
class ConsoleCapture {
public:
    ConsoleCapture() {
        platform::Console::setSink([this](const std::string& line) {
            std::lock_guard lock(mMutex);
            mLines.push_back(line);
        });
    }
    ~ConsoleCapture() { platform::Console::setSink(nullptr); }
    Strings lines() const {
        std::lock_guard lock(mMutex);
        return mLines;
    }

private:
    mutable std::mutex mMutex;
    Strings mLines;
};

// ---- product models ----

TEST(StoreModelTest, ProductWithOnlySomeKeysFillsThoseAndLeavesTheRestInitial) {
    auto item = ZQSLivePushStoreFunc::getSingleItemMode({{"id", 1024}, {"tag", "new,hot"}, {"top", 1}});
    EXPECT_EQ(item->id(), "1024");
    EXPECT_EQ(item->tags(), (Strings{"new", "hot"}));
    EXPECT_TRUE(item->top());
    EXPECT_FALSE(item->title());
    EXPECT_FALSE(item->cover());
    EXPECT_FALSE(item->desc());
    EXPECT_FALSE(item->buttonTitle());
    EXPECT_EQ(item->originPrice(), 0.0);
    EXPECT_EQ(item->currentPrice(), 0.0);
    EXPECT_FALSE(item->push());
    EXPECT_EQ(item->score(), 0);
}

TEST(StoreModelTest, EveryProductKeyReachesItsField) {
    auto item = ZQSLivePushStoreFunc::getSingleItemMode({{"id", "p-1"},
                                                        {"title", "茶"},
                                                        {"cover", "https://img/1.png"},
                                                        {"desc", "green"},
                                                        {"tag", "a"},
                                                        {"originPrice", 12.5},
                                                        {"currentPrice", "9.9"},
                                                        {"button", "买"},
                                                        {"top", false},
                                                        {"push", true},
                                                        {"score", 77}});
    EXPECT_EQ(item->id(), "p-1");
    EXPECT_EQ(item->title(), "茶");
    EXPECT_EQ(item->cover(), "https://img/1.png");
    EXPECT_EQ(item->desc(), "green");
    EXPECT_EQ(item->tags(), Strings{"a"});
    EXPECT_EQ(item->originPrice(), 12.5);
    EXPECT_EQ(item->currentPrice(), 9.9);
    EXPECT_EQ(item->buttonTitle(), "买");
    EXPECT_FALSE(item->top());
    EXPECT_TRUE(item->push());
    EXPECT_EQ(item->score(), 77);
}

TEST(StoreModelTest, TagsSplitAtEveryCommaWithoutTrimming) {
    auto tags = [](json tag) { return ZQSLivePushStoreFunc::getSingleItemMode({{"tag", tag}})->tags(); };
    EXPECT_EQ(tags("a,,b"), (Strings{"a", "", "b"}));
    EXPECT_EQ(tags(" a , b"), (Strings{" a ", " b"}));
    EXPECT_EQ(tags(","), (Strings{"", ""}));
    ASSERT_TRUE(tags(""));
    EXPECT_TRUE(tags("")->empty());
    EXPECT_FALSE(ZQSLivePushStoreFunc::getSingleItemMode(json::object())->tags());
    EXPECT_EQ(tags(7), Strings{"7"});
}

TEST(StoreModelTest, ImportProductKeepsCreationTimeAsAWholeNumber) {
    auto item = ZQSLivePushStoreFunc::getImportSingleItemMode(
        {{"id", 5}, {"title", "t"}, {"cover", "c"}, {"originPrice", 3}, {"currentPrice", 2.25},
         {"gmtCreate", 1600000000123LL}, {"bind", 1}});
    EXPECT_EQ(item->id(), "5");
    EXPECT_EQ(item->title(), "t");
    EXPECT_EQ(item->cover(), "c");
    EXPECT_EQ(item->originPrice(), 3.0);
    EXPECT_EQ(item->currentPrice(), 2.25);
    EXPECT_EQ(item->gmtCreate(), 1600000000123.0);
    EXPECT_EQ(item->bind(), 1);
    EXPECT_EQ(ZQSLivePushStoreFunc::getImportSingleItemMode({{"gmtCreate", 1600000000123.9}})->gmtCreate(),
              1600000000123.0);
    EXPECT_EQ(ZQSLivePushStoreFunc::getImportSingleItemMode({{"gmtCreate", "1600000000123"}})->gmtCreate(),
              1600000000123.0);
}

TEST(StoreModelTest, NullAndWrongShapesLeaveFieldsInitialInsteadOfFailing) {
    auto item = ZQSLivePushStoreFunc::getSingleItemMode(
        {{"id", nullptr}, {"title", nullptr}, {"tag", nullptr}, {"originPrice", json::array()},
         {"top", json::object()}, {"score", nullptr}});
    EXPECT_FALSE(item->id());
    EXPECT_FALSE(item->title());
    EXPECT_FALSE(item->tags());
    EXPECT_EQ(item->originPrice(), 0.0);
    EXPECT_FALSE(item->top());
    EXPECT_EQ(item->score(), 0);
    for (json notAnObject : {json::array({1, 2}), json("x"), json(nullptr), json(3)}) {
        EXPECT_FALSE(ZQSLivePushStoreFunc::getSingleItemMode(notAnObject)->id());
        EXPECT_FALSE(ZQSLivePushStoreFunc::getImportSingleItemMode(notAnObject)->id());
    }
}

// ---- value conversion ----

TEST(StoreValueTest, TextFormWritesNumbersTheWayThePlatformDoes) {
    using zqs::textForm;
    EXPECT_EQ(textForm(1024), "1024");
    EXPECT_EQ(textForm(-7), "-7");
    EXPECT_EQ(textForm(18446744073709551615ULL), "18446744073709551615");
    EXPECT_EQ(textForm(2.5), "2.5");
    EXPECT_EQ(textForm(3.0), "3");
    EXPECT_EQ(textForm(0.1), "0.1");
    EXPECT_EQ(textForm(1e20), "1e+20");
    EXPECT_EQ(textForm(true), "1");
    EXPECT_EQ(textForm("as is"), "as is");
    EXPECT_EQ(textForm(json::array({1, "a"})), R"([1,"a"])");
    EXPECT_FALSE(textForm(nullptr));
}

TEST(StoreValueTest, NumbersFromStringsReadTheLeadingNumber) {
    using zqs::numericValue;
    EXPECT_EQ(numericValue("12.5 yuan"), 12.5);
    EXPECT_EQ(numericValue("  -3"), -3.0);
    EXPECT_EQ(numericValue("+.5"), 0.5);
    EXPECT_EQ(numericValue("abc"), 0.0);
    EXPECT_EQ(numericValue("inf"), 0.0);
    EXPECT_EQ(numericValue("nan"), 0.0);
    EXPECT_EQ(numericValue("1e400"), std::numeric_limits<double>::max());
    EXPECT_EQ(numericValue("1e-400"), 0.0);
    EXPECT_EQ(numericValue(true), 1.0);
    EXPECT_FALSE(numericValue(nullptr));
    EXPECT_FALSE(numericValue(json::object()));
}

TEST(StoreValueTest, WholeNumbersCutFractionsAndSaturate) {
    using zqs::integerValue;
    EXPECT_EQ(integerValue(12.9), 12);
    EXPECT_EQ(integerValue(-12.9), -12);
    EXPECT_EQ(integerValue(1e300), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(integerValue(-1e300), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(integerValue(18446744073709551615ULL), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(integerValue("42abc"), 42);
    EXPECT_EQ(integerValue(" -17"), -17);
    EXPECT_EQ(integerValue("12.9"), 12);
    EXPECT_EQ(integerValue("99999999999999999999"), std::numeric_limits<std::int64_t>::max());
    EXPECT_EQ(integerValue("-9223372036854775808"), std::numeric_limits<std::int64_t>::min());
    EXPECT_EQ(integerValue("x"), 0);
    EXPECT_FALSE(integerValue(nullptr));
}

TEST(StoreValueTest, TruthIsANonZeroNumber) {
    using zqs::truthValue;
    EXPECT_EQ(truthValue(1), true);
    EXPECT_EQ(truthValue(0), false);
    EXPECT_EQ(truthValue(0.5), true);
    EXPECT_EQ(truthValue("1"), true);
    EXPECT_EQ(truthValue("0"), false);
    EXPECT_EQ(truthValue("0.5"), true);
    EXPECT_EQ(truthValue("true"), true);
    EXPECT_EQ(truthValue("Yes"), true);
    EXPECT_EQ(truthValue("false"), false);
    EXPECT_EQ(truthValue(""), false);
    EXPECT_FALSE(truthValue(nullptr));
}

// ---- list answers ----

class StoreListTest : public ::testing::Test {
protected:
    zqtest::VirtualTime time; // the test thread is the main thread
    std::shared_ptr<ZQSLivePushStoreFunc> client =
        ZQSLivePushStoreFunc::create(std::make_shared<ZQSLivePushStoreFuncConfig>(), nullptr);
    Strings events;
    ZQSLivePushStoreFunc::Closure closure = [this](bool success, const std::string& message) {
        events.push_back((success ? "ok:" : "fail:") + message);
    };
};

TEST_F(StoreListTest, ObjectAnswerReportsSuccessThenDeliversTheModel) {
    std::shared_ptr<ZQSItemListModel> model;
    client->receiveItemListRequestData(
        R"({"records":[{"id":1},{"id":"2","title":"b"}],"pagination":{"pageNo":2,"pageSize":10,"totalCount":11,"pageCount":2}})",
        closure, [&](auto& m) {
            events.push_back("items");
            model = m;
        });
    EXPECT_EQ(events, (Strings{"ok:succed, wait itemListClosure please", "items"}));
    ASSERT_TRUE(model && model->records());
    ASSERT_EQ(model->records()->size(), 2u);
    EXPECT_EQ((*model->records())[0]->id(), "1");
    EXPECT_EQ((*model->records())[1]->title(), "b");
    ASSERT_TRUE(model->pagination());
    EXPECT_EQ(model->pagination()->pageNo(), 2);
    EXPECT_EQ(model->pagination()->pageSize(), 10);
    EXPECT_EQ(model->pagination()->totalCount(), 11);
    EXPECT_EQ(model->pagination()->pageCount(), 2);
}

TEST_F(StoreListTest, MissingPartsStayNone) {
    std::shared_ptr<ZQSImportItemListModel> model;
    client->receiveImportItemListRequestData(R"({"records":[{"id":1,"gmtCreate":1600000000123}]})", closure,
                                             [&](auto& m) { model = m; });
    ASSERT_TRUE(model);
    EXPECT_FALSE(model->pagination());
    ASSERT_TRUE(model->records());
    EXPECT_EQ((*model->records())[0]->gmtCreate(), 1600000000123.0);

    client->receiveImportItemListRequestData(R"({"pagination":{"pageNo":1}})", closure, [&](auto& m) { model = m; });
    EXPECT_FALSE(model->records());
    ASSERT_TRUE(model->pagination());
    EXPECT_EQ(model->pagination()->pageNo(), 1);
    EXPECT_EQ(model->pagination()->pageCount(), 0);
}

TEST_F(StoreListTest, EntriesThatAreNotProductsAreLeftOut) {
    std::shared_ptr<ZQSItemListModel> model;
    client->receiveItemListRequestData(R"({"records":[null,{"id":"a"},7,[],{"id":"b"}],"pagination":"x"})", closure,
                                       [&](auto& m) { model = m; });
    ASSERT_TRUE(model && model->records());
    ASSERT_EQ(model->records()->size(), 2u);
    EXPECT_EQ((*model->records())[1]->id(), "b");
    EXPECT_FALSE(model->pagination());

    client->receiveItemListRequestData(R"({"records":{"id":"a"}})", closure, [&](auto& m) { model = m; });
    EXPECT_FALSE(model->records());
}

TEST_F(StoreListTest, ArrayAnswerGivesNoCallbackAtAll) {
    bool items = false;
    client->receiveItemListRequestData(R"([{"id":1}])", closure, [&](auto&) { items = true; });
    time.runMain();
    EXPECT_TRUE(events.empty());
    EXPECT_FALSE(items);
}

TEST_F(StoreListTest, UnreadableAnswerReportsTheParsersDescription) {
    ConsoleCapture console;
    bool items = false;
    client->receiveImportItemListRequestData("<html>", closure, [&](auto&) { items = true; });
    EXPECT_EQ(events, Strings{"fail:The data couldn’t be read because it isn’t in the correct format."});
    EXPECT_FALSE(items);
    auto lines = console.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "🛒 -> ZQSLivePushStoreFunc::receiveImportItemListRequestData --> 🟡🟡");
    EXPECT_EQ(lines[1].rfind("🛒 -> receiveItemListRequestData -> 🟡🔴 --> err:Error Domain=NSCocoaErrorDomain Code=3840", 0),
              0u)
        << lines[1];
}

TEST_F(StoreListTest, OffTheMainThreadTheModelWaitsForTheMainQueue) {
    ConsoleCapture console;
    auto queue = platform::DispatchQueue::createSerial("answers");
    bool itemsOnMain = false;
    int itemCalls = 0;
    queue->sync([&] {
        client->receiveItemListRequestData(R"({"records":[]})", closure, [&](auto& m) {
            itemsOnMain = platform::RunLoop::main().isCurrent();
            ++itemCalls;
            EXPECT_TRUE(m->records() && m->records()->empty());
        });
    });
    EXPECT_EQ(events, Strings{"ok:succed, wait itemListClosure please"});
    EXPECT_EQ(itemCalls, 0);
    time.runMain();
    EXPECT_EQ(itemCalls, 1);
    EXPECT_TRUE(itemsOnMain);
    EXPECT_EQ(console.lines(), (Strings{"🛒 -> ZQSLivePushStoreFunc::receiveItemListRequestData --> 🟡🟡",
                                        "🛒 -> receiveItemListRequestData -> 🟡🟢 --> succed"}));
}

TEST(MainExecuteTest, RunsAtOnceOnTheMainThreadAndQueuesFromOthers) {
    zqtest::VirtualTime time;
    int ran = 0;
    mainExecute([&] { ++ran; });
    EXPECT_EQ(ran, 1);
    std::thread([&] { mainExecute([&] { ran += 10; }); }).join();
    EXPECT_EQ(ran, 1);
    time.runMain();
    EXPECT_EQ(ran, 11);
    mainExecute(nullptr);
    time.runMain();
}

// ---- finished requests ----

class StoreResponseTest : public ::testing::Test {
protected:
    Strings outcome(const zqs::StoreOperation& op, std::optional<platform::Error> error,
                    std::optional<platform::HTTPURLResponse> response, std::optional<std::string> data) {
        Strings seen;
        zqs::handleStoreResponse(
            op, error, response, data,
            [&](bool success, const std::string& message) { seen.push_back((success ? "ok:" : "fail:") + message); },
            [&](std::string body) { seen.push_back("list:" + body); });
        return seen;
    }
    static platform::HTTPURLResponse status(long code) { return {"http://x", code, {}}; }
    ConsoleCapture console;
};

TEST_F(StoreResponseTest, BranchesAreTakenInOrder) {
    platform::Error timeout{"NSURLErrorDomain", -1001, "The request timed out.", json::object()};
    EXPECT_EQ(outcome(zqs::kPushItem, timeout, status(200), "{}"), Strings{"fail:The request timed out."});
    EXPECT_EQ(outcome(zqs::kPushItem, std::nullopt, std::nullopt, "{}"), Strings{"fail:数据异常"});
    EXPECT_EQ(outcome(zqs::kPushItem, std::nullopt, status(200), std::nullopt), Strings{"fail:数据异常"});
    EXPECT_EQ(console.lines(), (Strings{R"(🛒 -> pushItem -> 🟡🔴 -> Error Domain=NSURLErrorDomain Code=-1001 "The request timed out.")",
                                        "🛒 -> pushItem -> 🟡🔴 --> response == nil",
                                        "🛒 -> pushItem -> 🟡🔴 --> data == nil"}));
}

TEST_F(StoreResponseTest, ErrorStatusReportsTheServersMessageOrNothing) {
    EXPECT_EQ(outcome(zqs::kGetItemList, std::nullopt, status(401), R"({"message":"token invalid"})"),
              Strings{"fail:token invalid"});
    EXPECT_EQ(outcome(zqs::kRemoveItem, std::nullopt, status(404), R"({"code":3})"), Strings{"fail:"});
    EXPECT_EQ(outcome(zqs::kRemoveItem, std::nullopt, status(409), R"(["message"])"), Strings{"fail:"});
    EXPECT_EQ(outcome(zqs::kToTopItem, std::nullopt, status(500), "<html>"),
              Strings{"fail:The data couldn’t be read because it isn’t in the correct format."});
    // 200 is the only success: another 2xx status is an error answer too.
    EXPECT_EQ(outcome(zqs::kPushItem, std::nullopt, status(204), ""),
              Strings{"fail:The data couldn’t be read because it isn’t in the correct format."});
    auto lines = console.lines();
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "🛒 -> getItemList -> 🟡🔴 -> error:code:401message:token invalid");
    EXPECT_EQ(lines[1], "🛒 -> removeItem -> 🟡🔴 -> error:code:404message:");
    EXPECT_EQ(lines[3].rfind("🛒 -> toTopItem -> 🟡🔴 --> err:Error Domain=NSCocoaErrorDomain Code=3840", 0), 0u);
}

TEST_F(StoreResponseTest, SuccessReportsTheActionsMessageOrHandsTheListBodyOn) {
    EXPECT_EQ(outcome(zqs::kImportItem, std::nullopt, status(200), "not even json"), Strings{"ok:push succed"});
    EXPECT_EQ(outcome(zqs::kRemoveItem, std::nullopt, status(200), ""), Strings{"ok:remove succed"});
    EXPECT_EQ(outcome(zqs::kCancelPushItem, std::nullopt, status(200), ""), Strings{"ok:cancel push succed"});
    EXPECT_EQ(outcome(zqs::kToTopItem, std::nullopt, status(200), ""), Strings{"ok:to top succed"});
    EXPECT_EQ(outcome(zqs::kCancelToTopItem, std::nullopt, status(200), ""), Strings{"ok:cancel to top succed"});
    EXPECT_EQ(outcome(zqs::kGetImportItemList, std::nullopt, status(200), "[1]"), Strings{"list:[1]"});
    EXPECT_TRUE(console.lines().empty());
}

// ---- settings and URLs ----

class StoreSettingsTest : public ::testing::Test {
protected:
    void TearDown() override {
        ZQSLivePushStoreFunc::setBaseURL("");
        ::unsetenv("ZQS_STORE_BASE_URL");
    }
};

TEST_F(StoreSettingsTest, SetterBeatsEnvironmentBeatsDefault) {
    ::unsetenv("ZQS_STORE_BASE_URL");
    EXPECT_EQ(ZQSLivePushStoreFunc::baseURL(), ZQSLivePushStoreFunc::defaultBaseURL());
    EXPECT_EQ(ZQSLivePushStoreFunc::defaultBaseURL().rfind("https://", 0), 0u);
    ::setenv("ZQS_STORE_BASE_URL", "http://env.example:8080/", 1);
    EXPECT_EQ(ZQSLivePushStoreFunc::baseURL(), "http://env.example:8080");
    ZQSLivePushStoreFunc::setBaseURL("http://set.example/api//");
    EXPECT_EQ(ZQSLivePushStoreFunc::baseURL(), "http://set.example/api");
    ZQSLivePushStoreFunc::setBaseURL("");
    EXPECT_EQ(ZQSLivePushStoreFunc::baseURL(), "http://env.example:8080");
}

TEST(StoreURLTest, PathIsAppendedAndTheIdEncodedAsOneQueryValue) {
    EXPECT_EQ(zqs::storeURL(zqs::kGetItemList, "https://b", 1, 20, ""), "https://b/room/products?pageNo=1&pageSize=20");
    EXPECT_EQ(zqs::storeURL(zqs::kGetImportItemList, "https://b", -1, 9000000000LL, ""),
              "https://b/product/list/withRel?pageNo=-1&pageSize=9000000000");
    EXPECT_EQ(zqs::storeURL(zqs::kImportItem, "https://b", 0, 0, "A1b2"), "https://b/room/rel?productId=A1b2");
    EXPECT_EQ(zqs::storeURL(zqs::kRemoveItem, "https://b", 0, 0, "1&pageNo=2#x y"),
              "https://b/room/rel?productId=1%26pageNo%3D2%23x%20y");
    EXPECT_EQ(zqs::storeURL(zqs::kPushItem, "https://b", 0, 0, "1&x"), "https://b/product/push");
}

TEST(StoreClientLifeTest, CreationReportsOnTheCallersThreadAndDestructionIsLogged) {
    ConsoleCapture console;
    Strings seen;
    auto config = std::make_shared<ZQSLivePushStoreFuncConfig>();
    auto client = ZQSLivePushStoreFunc::create(config, [&](bool success, const std::string& message) {
        seen.push_back((success ? "ok:" : "fail:") + message);
    });
    EXPECT_EQ(seen, Strings{"ok:init Succed"});
    EXPECT_EQ(client->config(), config);
    client->killAll();
    client.reset();
    EXPECT_EQ(console.lines(), (Strings{"🛒 -> ZQSLivePushStoreFunc::killAll --> 🟡🟡",
                                        "🔴 -> ZQSLivePushStoreFunc::~ZQSLivePushStoreFunc"}));
}

} // namespace
