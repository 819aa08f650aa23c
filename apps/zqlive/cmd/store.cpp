// zqlive store: drives the product-shelf library against a store service.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>
#include "ZQPlatform/RunLoop.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreModule.h"
#include "apps/zqlive/Cli.h"

namespace {

nlohmann::json orNull(const std::optional<std::string>& text) { return text ? nlohmann::json(*text) : nullptr; }

nlohmann::json toJson(const ZQSSingleItemModel& item) {
    return {{"id", orNull(item.id())},
            {"title", orNull(item.title())},
            {"cover", orNull(item.cover())},
            {"desc", orNull(item.desc())},
            {"tags", item.tags() ? nlohmann::json(*item.tags()) : nullptr},
            {"originPrice", item.originPrice()},
            {"currentPrice", item.currentPrice()},
            {"buttonTitle", orNull(item.buttonTitle())},
            {"top", item.top()},
            {"push", item.push()},
            {"score", item.score()}};
}

nlohmann::json toJson(const ZQSImportSingleItemModel& item) {
    return {{"id", orNull(item.id())},
            {"title", orNull(item.title())},
            {"cover", orNull(item.cover())},
            {"originPrice", item.originPrice()},
            {"currentPrice", item.currentPrice()},
            {"gmtCreate", item.gmtCreate()},
            {"bind", item.bind()}};
}

nlohmann::json toJson(const std::shared_ptr<ZQSItemPageInformationModel>& page) {
    if (!page) return nullptr;
    return {{"pageNo", page->pageNo()},
            {"pageSize", page->pageSize()},
            {"totalCount", page->totalCount()},
            {"pageCount", page->pageCount()}};
}

template <typename ListModel>
nlohmann::json itemsEvent(const ListModel& list) {
    nlohmann::json records = nullptr;
    if (list.records()) {
        records = nlohmann::json::array();
        for (auto& item : *list.records()) records.push_back(toJson(*item));
    }
    return {{"event", "items"}, {"records", records}, {"pagination", toJson(list.pagination())}};
}

std::int64_t pageArgument(const std::string& text, const char* name) {
    errno = 0;
    char* end = nullptr;
    long long value = std::strtoll(text.c_str(), &end, 10);
    if (text.empty() || *end || errno) throw zqlive::UsageError(std::string(name) + " must be an integer, got '" + text + "'");
    return value;
}

int runStore(const std::vector<std::string>& argv) {
    zqlive::Args args(argv, {});
    args.allowOnly({"base", "token", "wait"});
    double wait = args.number("wait", 15.0, 0.1, 3600.0);
    auto& positionals = args.positionals();
    if (positionals.empty()) throw zqlive::UsageError("name an operation");
    const std::string& op = positionals[0];
    bool list = op == "list" || op == "import-list";
    static const std::map<std::string, void (ZQSLivePushStoreFunc::*)(const std::string&, ZQSLivePushStoreFunc::Closure)>
        actions = {{"import", &ZQSLivePushStoreFunc::importItem},       {"remove", &ZQSLivePushStoreFunc::removeItem},
                   {"push", &ZQSLivePushStoreFunc::pushItem},           {"cancel-push", &ZQSLivePushStoreFunc::cancelPushItem},
                   {"top", &ZQSLivePushStoreFunc::toTopItem},           {"cancel-top", &ZQSLivePushStoreFunc::cancelToTopItem}};
    auto action = actions.find(op);
    if (!list && action == actions.end()) throw zqlive::UsageError("unknown operation '" + op + "'");
    std::size_t expected = list ? 3 : 2;
    if (positionals.size() != expected)
        throw zqlive::UsageError(op + (list ? " takes PAGE and SIZE" : " takes one product ID"));

    if (auto base = args.value("base")) ZQSLivePushStoreFunc::setBaseURL(*base);
    auto config = std::make_shared<ZQSLivePushStoreFuncConfig>();
    if (auto token = args.value("token")) config->setToken(*token);
    auto client = ZQSLivePushStoreFunc::create(config, nullptr);

    // Set from the URL session's queue (result) and the main thread (items), read on the main thread;
    // shared, so a callback that comes after the time limit touches nothing freed.
    struct Outcome {
        std::atomic<bool> done{false};
        std::atomic<bool> succeeded{false};
    };
    auto outcome = std::make_shared<Outcome>();
    auto onResult = [outcome, list](bool success, const std::string& message) {
        zqlive::emit({{"event", "result"}, {"success", success}, {"message", message}});
        outcome->succeeded = success;
        if (!success) std::fprintf(stderr, "zqlive store: %s\n", message.c_str());
        // A successful list answer is followed by its items; everything else ends here.
        if (!success || !list) outcome->done = true;
    };
    auto onItems = [outcome](const auto& model) {
        zqlive::emit(itemsEvent(*model));
        outcome->done = true;
    };

    if (op == "list") {
        client->getItemList(pageArgument(positionals[1], "PAGE"), pageArgument(positionals[2], "SIZE"), onResult,
                            onItems);
    } else if (op == "import-list") {
        client->getImportItemList(pageArgument(positionals[1], "PAGE"), pageArgument(positionals[2], "SIZE"),
                                  onResult, onItems);
    } else {
        ((*client).*(action->second))(positionals[1], onResult);
    }
    // A list answer that is not a JSON object ends with no callback at all, hence the limit.
    if (!platform::RunLoop::main().runUntil([&] { return outcome->done.load(); }, wait)) {
        std::fprintf(stderr, "zqlive store: no answer within %g s\n", wait);
        return 1;
    }
    return outcome->succeeded ? 0 : 1;
}

} // namespace

ZQLIVE_COMMAND(store, "store", "manage a live room's product shelf on the store service",
               "store [--base URL] [--token T] [--wait S] OP [ARGS]\n\n"
               "  OP is one of:\n"
               "    list PAGE SIZE          the room's products\n"
               "    import-list PAGE SIZE   the account's catalogue with each product's binding to the room\n"
               "    import ID | remove ID   add a product to the room, or take it out\n"
               "    push ID | cancel-push ID  show a product to the viewers, or withdraw it\n"
               "    top ID | cancel-top ID    pin a product to the top, or unpin it\n"
               "  --base URL   root address of the store service (default: $ZQS_STORE_BASE_URL, else the\n"
               "               build's default)\n"
               "  --token T    interaction token sent as \"interactive-token\" (default: none)\n"
               "  --wait S     give up after S seconds without the last callback (default 15)\n\n"
               "Prints {\"event\":\"result\",\"success\":...,\"message\":...} and, for the list operations,\n"
               "{\"event\":\"items\",\"records\":[...],\"pagination\":{...}}; exits 1 when the operation failed.",
               runStore);
