// The store client against an HTTP fake on loopback: what each operation sends, what each kind of
// answer gives, and on which thread each callback runs.
#include <algorithm>
#include <future>
#include <gtest/gtest.h>
#include <mutex>
#include "platform/foundation/SimulatedRuntime.h"
#include "ZQPlatform/Console.h"
#include "ZQPlatform/RunLoop.h"
#include "ZQPlatform/URLSession.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreModule.h"
#include "tests/support/HTTPFake.h"
#include "tests/support/TestUtil.h"

using zqtest::FakeReply;
using zqtest::HTTPFake;
using zqtest::RecordedRequest;
using Strings = std::vector<std::string>;

namespace {

constexpr const char* kListAnswer =
    R"({"records":[{"id":1024,"tag":"new,hot","top":1},{"id":"7","title":"茶","currentPrice":"9.5"}],)"
    R"("pagination":{"pageNo":1,"pageSize":20,"totalCount":2,"pageCount":1}})";

class StoreClientTest : public ::testing::Test {
protected:
    struct Event {
        std::string what;
        bool onSessionQueue;
        bool onMain;
    };

    void SetUp() override {
        platform::resetRuntime();
        platform::RunLoop::main().runUntilIdle(); // the test thread is the main thread
        platform::Console::setEnabled(false);
        ZQSLivePushStoreFunc::setBaseURL(fake.baseURL());
        config->setToken("tok-1");
    }

    void TearDown() override {
        ZQSLivePushStoreFunc::setBaseURL("");
        platform::Console::setSink(nullptr);
        platform::Console::setEnabled(true);
    }

    void record(std::string what) {
        std::lock_guard lock(mutex);
        events.push_back({std::move(what), platform::URLSession::shared()->delegateQueue()->isCurrent(),
                          platform::RunLoop::main().isCurrent()});
    }
    ZQSLivePushStoreFunc::Closure closure() {
        return [this](bool success, const std::string& message) { record((success ? "ok:" : "fail:") + message); };
    }
    // Pumps the main queue until `count` callbacks came (at most 5 s).
    std::vector<Event> waitForEvents(size_t count, double seconds = 5.0) {
        platform::RunLoop::main().runUntil(
            [&] {
                std::lock_guard lock(mutex);
                return events.size() >= count;
            },
            seconds);
        std::lock_guard lock(mutex);
        return events;
    }
    static Strings names(const std::vector<Event>& list) {
        Strings out;
        for (auto& e : list) out.push_back(e.what);
        return out;
    }
    RecordedRequest onlyRequest() {
        auto seen = fake.requests();
        EXPECT_EQ(seen.size(), 1u);
        return seen.empty() ? RecordedRequest{} : seen.back();
    }

    HTTPFake fake;
    std::shared_ptr<ZQSLivePushStoreFuncConfig> config = std::make_shared<ZQSLivePushStoreFuncConfig>();
    std::shared_ptr<ZQSLivePushStoreFunc> client = ZQSLivePushStoreFunc::create(config, nullptr);
    std::mutex mutex;
    std::vector<Event> events;
};

TEST_F(StoreClientTest, RoomListIsAGetWithTheTokenAndNoContentType) {
    fake.reply(200, kListAnswer);
    std::shared_ptr<ZQSItemListModel> model;
    client->getItemList(1, 20, closure(), [&](auto& m) {
        model = m;
        record("items");
    });
    auto seen = waitForEvents(2);
    ASSERT_EQ(names(seen), (Strings{"ok:succed, wait itemListClosure please", "items"}));
    // The result on the URL session's queue, the page afterwards on the main thread.
    EXPECT_TRUE(seen[0].onSessionQueue);
    EXPECT_FALSE(seen[0].onMain);
    EXPECT_TRUE(seen[1].onMain);

    auto request = onlyRequest();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.target, "/room/products?pageNo=1&pageSize=20");
    EXPECT_EQ(request.header("interactive-token"), "tok-1");
    EXPECT_FALSE(request.header("Content-Type"));
    EXPECT_EQ(request.body, "");

    ASSERT_TRUE(model && model->records() && model->pagination());
    ASSERT_EQ(model->records()->size(), 2u);
    auto& first = *(*model->records())[0];
    EXPECT_EQ(first.id(), "1024");
    EXPECT_EQ(first.tags(), (Strings{"new", "hot"}));
    EXPECT_TRUE(first.top());
    EXPECT_EQ((*model->records())[1]->currentPrice(), 9.5);
    EXPECT_EQ(model->pagination()->totalCount(), 2);
}

TEST_F(StoreClientTest, EachActionSendsItsMethodPathTypeAndBody) {
    struct Case {
        void (ZQSLivePushStoreFunc::*operation)(const std::string&, ZQSLivePushStoreFunc::Closure);
        const char* method;
        const char* target;
        const char* contentType;
        const char* body;
        const char* message;
    };
    const Case cases[] = {
        {&ZQSLivePushStoreFunc::importItem, "POST", "/room/rel?productId=88", "application/x-www-form-urlencoded", "",
         "push succed"},
        {&ZQSLivePushStoreFunc::removeItem, "DELETE", "/room/rel?productId=88", "application/x-www-form-urlencoded", "",
         "remove succed"},
        {&ZQSLivePushStoreFunc::pushItem, "POST", "/product/push", "application/json", R"({"productId":"88"})",
         "push succed"},
        {&ZQSLivePushStoreFunc::cancelPushItem, "POST", "/product/push/cancel", "application/json",
         R"({"productId":"88"})", "cancel push succed"},
        {&ZQSLivePushStoreFunc::toTopItem, "POST", "/product/top", "application/json", R"({"productId":"88"})",
         "to top succed"},
        {&ZQSLivePushStoreFunc::cancelToTopItem, "POST", "/product/top/cancel", "application/json",
         R"({"productId":"88"})", "cancel to top succed"},
    };
    // The body of a 200 answer is not read.
    fake.reply(200, "<not json>", "text/html");
    for (size_t i = 0; i < std::size(cases); ++i) {
        auto& c = cases[i];
        ((*client).*(c.operation))("88", closure());
        auto seen = waitForEvents(i + 1);
        ASSERT_EQ(seen.size(), i + 1) << c.target;
        EXPECT_EQ(seen[i].what, std::string("ok:") + c.message);
        EXPECT_TRUE(seen[i].onSessionQueue);
        auto request = fake.requests().at(i);
        EXPECT_EQ(request.method, c.method);
        EXPECT_EQ(request.target, c.target);
        EXPECT_EQ(request.header("Content-Type"), c.contentType) << c.target;
        EXPECT_EQ(request.header("interactive-token"), "tok-1");
        EXPECT_EQ(request.body, c.body) << c.target;
    }
}

TEST_F(StoreClientTest, WithoutATokenNoTokenHeaderGoesOut) {
    config->setToken(std::nullopt);
    client->pushItem("1", closure());
    waitForEvents(1);
    client->setConfig(nullptr);
    client->getItemList(1, 1, closure(), nullptr);
    waitForEvents(2);
    auto seen = fake.requests();
    ASSERT_EQ(seen.size(), 2u);
    for (auto& request : seen) EXPECT_FALSE(request.header("interactive-token")) << request.target;
}

TEST_F(StoreClientTest, IdsCannotChangeTheQueryButPlainIdsGoOutUnchanged) {
    client->importItem("Ab12", closure());
    waitForEvents(1);
    client->removeItem("1&pageNo=2#x y", closure());
    waitForEvents(2);
    client->pushItem(R"(a"b)", closure());
    waitForEvents(3);
    auto seen = fake.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].target, "/room/rel?productId=Ab12");
    EXPECT_EQ(seen[1].target, "/room/rel?productId=1%26pageNo%3D2%23x%20y");
    EXPECT_EQ(seen[2].body, R"({"productId":"a\"b"})");
}

TEST_F(StoreClientTest, IdThatCannotBeWrittenAsJsonFailsWithoutSending) {
    client->cancelPushItem("\xff\xfe", closure());
    // Reported at once, on the caller's thread.
    std::lock_guard lock(mutex);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].what, "fail:参数异常");
    EXPECT_TRUE(fake.requests().empty());
}

TEST_F(StoreClientTest, ErrorAnswersReportTheServersMessageOrTheParsersDescription) {
    fake.reply(401, R"({"message":"token invalid"})");
    client->pushItem("88", closure());
    waitForEvents(1);
    fake.reply(500, "<html><body>Internal Server Error</body></html>", "text/html");
    client->toTopItem("88", closure());
    waitForEvents(2);
    fake.reply(403, R"({"code":403})");
    client->removeItem("88", closure());
    waitForEvents(3);
    // A list request that fails gets no list callback.
    fake.reply(401, R"({"message":"token invalid"})");
    client->getItemList(1, 20, closure(), [&](auto&) { record("items"); });
    auto seen = waitForEvents(4);
    platform::RunLoop::main().runUntilIdle();
    EXPECT_EQ(names(seen), (Strings{"fail:token invalid",
                                    "fail:The data couldn’t be read because it isn’t in the correct format.", "fail:",
                                    "fail:token invalid"}));
    for (auto& e : seen) EXPECT_TRUE(e.onSessionQueue) << e.what;
}

TEST_F(StoreClientTest, TransportFailureReportsTheErrorsDescription) {
    ZQSLivePushStoreFunc::setBaseURL("http://127.0.0.1:" + std::to_string(zqtest::freeLoopbackPort()));
    client->getImportItemList(1, 20, closure(), [&](auto&) { record("items"); });
    auto seen = waitForEvents(1);
    platform::RunLoop::main().runUntilIdle();
    ASSERT_EQ(names(seen), Strings{"fail:Could not connect to the server."});
    EXPECT_TRUE(seen[0].onSessionQueue);
}

TEST_F(StoreClientTest, ListAnswerThatIsAnArrayGivesNoCallback) {
    fake.reply(200, R"([{"id":1}])");
    client->getItemList(1, 20, closure(), [&](auto&) { record("items"); });
    // Nothing is expected, so give the answer a generous moment to arrive and be dropped.
    auto seen = waitForEvents(1, 0.5);
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(fake.requests().size(), 1u);
}

// Requests outlive the client. A list answer then goes nowhere (it needs the client to be read),
// while an action's result still reaches its callback.
TEST_F(StoreClientTest, ReleasedClientDropsThePageButOtherResultsStillCome) {
    std::promise<void> gate;
    auto opened = gate.get_future().share();
    fake.setHandler([opened](const RecordedRequest& request) {
        opened.wait_for(std::chrono::seconds(5));
        if (request.path == "/room/products") return FakeReply{200, kListAnswer, "application/json", {}};
        return FakeReply{200, "{}", "application/json", {}};
    });
    Strings lines;
    std::mutex linesMutex;
    platform::Console::setEnabled(true);
    platform::Console::setSink([&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    });
    client->getItemList(1, 20, closure(), [&](auto&) { record("items"); });
    client->toTopItem("9", closure());
    ASSERT_TRUE(platform::RunLoop::main().runUntil([&] { return fake.requests().size() == 2; }, 5.0));
    client.reset(); // while both requests are in flight
    gate.set_value();
    auto seen = waitForEvents(1);
    // Nothing else may come: give a wrongly delivered result or page every chance to show up.
    platform::RunLoop::main().runUntil([] { return false; }, 0.5);
    platform::Console::setSink(nullptr);
    std::lock_guard lock(mutex);
    EXPECT_EQ(names(events), Strings{"ok:to top succed"});
    std::lock_guard linesLock(linesMutex);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "🔴 -> ZQSLivePushStoreFunc::~ZQSLivePushStoreFunc"), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "🛒 -> ZQSLivePushStoreFunc::receiveItemListRequestData --> 🟡🟡"),
              lines.end());
}

TEST_F(StoreClientTest, ConsoleTellsTheStoryOfARequest) {
    Strings lines;
    std::mutex linesMutex;
    platform::Console::setEnabled(true);
    platform::Console::setSink([&](const std::string& line) {
        std::lock_guard lock(linesMutex);
        lines.push_back(line);
    });
    fake.reply(401, R"({"message":"token invalid"})");
    client->getItemList(2, 30, closure(), nullptr);
    waitForEvents(1);
    platform::Console::setSink(nullptr);
    std::lock_guard lock(linesMutex);
    std::string url = fake.baseURL() + "/room/products?pageNo=2&pageSize=30";
    EXPECT_EQ(lines, (Strings{"🛒 -> ZQSLivePushStoreFunc::getItemList --> 🟡🟡",
                              "🛒 -> getItemList -> 🟡🟡 --> urlString:" + url,
                              "🛒 -> getItemList -> 🟡🟡 --> pageNum:2 --> pageSize:30",
                              "🛒 -> getItemList -> 🟡🔴 -> error:code:401message:token invalid"}));
}

} // namespace
