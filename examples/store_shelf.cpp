// Uses only the product-shelf library: prints a room's products as JSON lines.
//
//   store_shelf                          reads a sample answer of the store service (no network)
//   store_shelf --base URL [--token T]   lists the first page of the room's products from a service
//
// Exits 0 when the shelf was read, 1 when the service failed, 2 on bad arguments.
#include <cstdio>
#include <memory>
#include <string>
#include <nlohmann/json.hpp>
#include <ZQPlatform/DispatchQueue.h>
#include <ZQPlatform/RunLoop.h>
#include <ZQSLivePushStoreModule/ZQSLivePushStoreModule.h>

namespace {

// An answer of GET /room/products as the service sends it.
constexpr const char* kSampleAnswer =
    R"({"records":[{"id":1024,"title":"绿茶","tag":"new,hot","currentPrice":"9.5","originPrice":12,"top":1},)"
    R"({"id":"2048","title":"茶杯","currentPrice":25,"push":1}],)"
    R"("pagination":{"pageNo":1,"pageSize":20,"totalCount":2,"pageCount":1}})";

void print(const nlohmann::json& line) { std::printf("%s\n", line.dump().c_str()); }

void printShelf(const ZQSItemListModel& shelf) {
    if (shelf.records()) {
        for (auto& item : *shelf.records()) {
            print({{"event", "product"},
                   {"id", item->id().value_or("")},
                   {"title", item->title().value_or("")},
                   {"tags", item->tags().value_or(std::vector<std::string>{})},
                   {"currentPrice", item->currentPrice()},
                   {"originPrice", item->originPrice()},
                   {"top", item->top()},
                   {"push", item->push()}});
        }
    }
    if (auto page = shelf.pagination())
        print({{"event", "page"}, {"pageNo", page->pageNo()}, {"pageCount", page->pageCount()},
               {"totalCount", page->totalCount()}});
}

} // namespace

int main(int argc, char** argv) {
    std::string base, token;
    for (int i = 1; i < argc; ++i) {
        std::string argument = argv[i];
        if ((argument == "--base" || argument == "--token") && i + 1 < argc) {
            (argument == "--base" ? base : token) = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--base URL [--token T]]\n", argv[0]);
            return 2;
        }
    }

    auto config = std::make_shared<ZQSLivePushStoreFuncConfig>();
    if (!token.empty()) config->setToken(token);
    auto store = ZQSLivePushStoreFunc::create(config, nullptr);

    // Results come on the URL session's queue, pages on the main thread: this thread runs the loop.
    auto& loop = platform::RunLoop::main();
    int status = 1;
    auto onResult = [&](bool success, const std::string& message) {
        print({{"event", "result"}, {"success", success}, {"message", message}});
        if (!success) platform::DispatchQueue::main()->async([&loop] { loop.stop(); });
    };
    auto onShelf = [&](const std::shared_ptr<ZQSItemListModel>& shelf) {
        if (shelf) printShelf(*shelf);
        status = shelf ? 0 : 1;
        loop.stop();
    };
    platform::DispatchQueue::main()->async([&] {
        if (base.empty()) {
            store->receiveItemListRequestData(kSampleAnswer, onResult, onShelf);
        } else {
            ZQSLivePushStoreFunc::setBaseURL(base);
            store->getItemList(1, 20, onResult, onShelf);
        }
    });
    platform::DispatchQueue::main()->after(30, [&loop] { loop.stop(); }); // the service never answered
    loop.run();
    if (status != 0) std::fprintf(stderr, "%s: the shelf could not be read\n", argv[0]);
    return status;
}
