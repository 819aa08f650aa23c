#include "ZQSLivePushStoreModule/ZQSLivePushStoreFunc.h"

#include <cstdlib>
#include <mutex>
#include "ZQPlatform/Console.h"
#include "ZQPlatform/JSONSerialization.h"
#include "ZQPlatform/URLSession.h"
#include "store/ZQSStoreRequest.h"
#include "store/ZQSStoreValue.h"

#ifndef ZQS_STORE_DEFAULT_BASE_URL
#define ZQS_STORE_DEFAULT_BASE_URL "https://store.zqlivekit.com"
#endif

namespace {

std::mutex gBaseMutex;
std::string gBaseOverride; // guarded by gBaseMutex; empty: none

std::string withoutTrailingSlashes(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

// Reads `key` of `object` into a field when the object has it and the value can be read.
template <typename Read, typename Apply>
void readKey(const nlohmann::json& object, const char* key, Read read, Apply apply) {
    auto it = object.find(key);
    if (it == object.end()) return;
    if (auto value = read(*it)) apply(std::move(*value));
}

std::shared_ptr<ZQSItemPageInformationModel> pageInformation(const nlohmann::json& object) {
    auto page = std::make_shared<ZQSItemPageInformationModel>();
    readKey(object, "pageNo", zqs::integerValue, [&](auto v) { page->setPageNo(v); });
    readKey(object, "pageSize", zqs::integerValue, [&](auto v) { page->setPageSize(v); });
    readKey(object, "totalCount", zqs::integerValue, [&](auto v) { page->setTotalCount(v); });
    readKey(object, "pageCount", zqs::integerValue, [&](auto v) { page->setPageCount(v); });
    return page;
}

// Fills a list model from a list answer: "records" through `makeItem`, in order, and "pagination".
// Entries that are not objects are not products and are left out.
template <typename ListModel, typename MakeItem>
std::shared_ptr<ListModel> listModel(const nlohmann::json& answer, MakeItem makeItem) {
    auto list = std::make_shared<ListModel>();
    if (auto records = answer.find("records"); records != answer.end() && records->is_array()) {
        typename ListModel::Records items;
        items.reserve(records->size());
        for (auto& entry : *records)
            if (entry.is_object()) items.push_back(makeItem(entry));
        list->setRecords(std::move(items));
    }
    if (auto pagination = answer.find("pagination"); pagination != answer.end() && pagination->is_object())
        list->setPagination(pageInformation(*pagination));
    return list;
}

// The common part of both list interpreters. Returns the parsed answer when it is an object.
std::optional<nlohmann::json> readListAnswer(std::string_view fullName, const std::string& data,
                                             const ZQSLivePushStoreFunc::Closure& closure) {
    zqs::logEntry(fullName);
    platform::Error error;
    auto answer = platform::JSONSerialization::parse(data, &error);
    if (!answer) {
        platform::Console::log("🛒 -> receiveItemListRequestData -> 🟡🔴 --> err:" + error.description());
        if (closure) closure(false, error.localizedDescription);
        return std::nullopt;
    }
    if (!answer->is_object()) return std::nullopt; // not a list answer: dropped without a callback
    if (closure) closure(true, zqs::kListSuccessMessage);
    platform::Console::log("🛒 -> receiveItemListRequestData -> 🟡🟢 --> succed");
    return answer;
}

} // namespace

ZQSLivePushStoreFunc::ZQSLivePushStoreFunc(PrivateTag, std::shared_ptr<ZQSLivePushStoreFuncConfig> config)
    : mConfig(std::move(config)) {}

std::shared_ptr<ZQSLivePushStoreFunc> ZQSLivePushStoreFunc::create(std::shared_ptr<ZQSLivePushStoreFuncConfig> config,
                                                                   const Closure& closure) {
    auto client = std::make_shared<ZQSLivePushStoreFunc>(PrivateTag{}, std::move(config));
    if (closure) closure(true, "init Succed");
    return client;
}

ZQSLivePushStoreFunc::~ZQSLivePushStoreFunc() {
    platform::Console::log("🔴 -> ZQSLivePushStoreFunc::~ZQSLivePushStoreFunc");
}

// ---- settings ----

std::string ZQSLivePushStoreFunc::defaultBaseURL() { return withoutTrailingSlashes(ZQS_STORE_DEFAULT_BASE_URL); }

std::string ZQSLivePushStoreFunc::baseURL() {
    {
        std::lock_guard lock(gBaseMutex);
        if (!gBaseOverride.empty()) return gBaseOverride;
    }
    if (const char* env = std::getenv("ZQS_STORE_BASE_URL"); env && *env) return withoutTrailingSlashes(env);
    return defaultBaseURL();
}

void ZQSLivePushStoreFunc::setBaseURL(const std::string& url) {
    std::lock_guard lock(gBaseMutex);
    gBaseOverride = withoutTrailingSlashes(url);
}

// ---- requests ----

void ZQSLivePushStoreFunc::send(const zqs::StoreOperation& operation, std::int64_t pageNo, std::int64_t pageSize,
                                const std::string& productId, const Closure& closure,
                                std::function<void(std::string)> onListBody) {
    using Shape = zqs::StoreOperation::Shape;
    zqs::logEntry(operation.fullName);
    std::string url = zqs::storeURL(operation, baseURL(), pageNo, pageSize, productId);
    zqs::logLine(operation, " -> 🟡🟡 --> urlString:" + url);
    if (operation.shape == Shape::Page)
        zqs::logLine(operation, " -> 🟡🟡 --> pageNum:" + std::to_string(pageNo) +
                                    " --> pageSize:" + std::to_string(pageSize));

    platform::URLRequest request;
    request.url = url;
    request.method = operation.method;
    request.timeoutInterval = zqs::kStoreRequestTimeout;
    if (mConfig && mConfig->token()) request.setHeader("interactive-token", *mConfig->token());
    if (operation.contentType) request.setHeader("Content-Type", operation.contentType);
    if (operation.shape == Shape::IdInBody) {
        auto body = platform::JSONSerialization::serialize({{"productId", productId}});
        if (!body) { // an id that is not UTF-8 text cannot go into JSON
            if (closure) closure(false, zqs::kParameterErrorMessage);
            return;
        }
        request.body = std::move(*body);
    }

    const zqs::StoreOperation* op = &operation;
    platform::URLSession::shared()
        ->dataTask(std::move(request),
                   [op, closure, onListBody = std::move(onListBody)](auto& error, auto& response, auto& data) {
                       zqs::handleStoreResponse(*op, error, response, data, closure, onListBody);
                   })
        ->resume();
}

void ZQSLivePushStoreFunc::getItemList(std::int64_t pageNo, std::int64_t pageSize, Closure closure,
                                       ItemsModelClosure itemsModel) {
    std::weak_ptr<ZQSLivePushStoreFunc> weak = weak_from_this();
    send(zqs::kGetItemList, pageNo, pageSize, {}, closure,
         [weak, closure, itemsModel = std::move(itemsModel)](std::string body) {
             if (auto self = weak.lock()) self->receiveItemListRequestData(std::move(body), closure, itemsModel);
         });
}

void ZQSLivePushStoreFunc::getImportItemList(std::int64_t pageNo, std::int64_t pageSize, Closure closure,
                                             ImportItemsModelClosure importItemsModel) {
    std::weak_ptr<ZQSLivePushStoreFunc> weak = weak_from_this();
    send(zqs::kGetImportItemList, pageNo, pageSize, {}, closure,
         [weak, closure, importItemsModel = std::move(importItemsModel)](std::string body) {
             if (auto self = weak.lock())
                 self->receiveImportItemListRequestData(std::move(body), closure, importItemsModel);
         });
}

void ZQSLivePushStoreFunc::importItem(const std::string& productId, Closure closure) {
    send(zqs::kImportItem, 0, 0, productId, closure, nullptr);
}

void ZQSLivePushStoreFunc::removeItem(const std::string& productId, Closure closure) {
    send(zqs::kRemoveItem, 0, 0, productId, closure, nullptr);
}

void ZQSLivePushStoreFunc::pushItem(const std::string& productId, Closure closure) {
    send(zqs::kPushItem, 0, 0, productId, closure, nullptr);
}

void ZQSLivePushStoreFunc::cancelPushItem(const std::string& productId, Closure closure) {
    send(zqs::kCancelPushItem, 0, 0, productId, closure, nullptr);
}

void ZQSLivePushStoreFunc::toTopItem(const std::string& productId, Closure closure) {
    send(zqs::kToTopItem, 0, 0, productId, closure, nullptr);
}

void ZQSLivePushStoreFunc::cancelToTopItem(const std::string& productId, Closure closure) {
    send(zqs::kCancelToTopItem, 0, 0, productId, closure, nullptr);
}

void ZQSLivePushStoreFunc::killAll() { zqs::logEntry("ZQSLivePushStoreFunc::killAll"); }

// ---- answers ----

void ZQSLivePushStoreFunc::receiveItemListRequestData(std::string data, const Closure& closure,
                                                      ItemsModelClosure itemListClosure) {
    auto answer = readListAnswer("ZQSLivePushStoreFunc::receiveItemListRequestData", data, closure);
    if (!answer) return;
    auto model = listModel<ZQSItemListModel>(*answer, &ZQSLivePushStoreFunc::getSingleItemMode);
    if (itemListClosure) mainExecute([itemListClosure = std::move(itemListClosure), model] { itemListClosure(model); });
}

void ZQSLivePushStoreFunc::receiveImportItemListRequestData(std::string data, const Closure& closure,
                                                            ImportItemsModelClosure itemListClosure) {
    auto answer = readListAnswer("ZQSLivePushStoreFunc::receiveImportItemListRequestData", data, closure);
    if (!answer) return;
    auto model = listModel<ZQSImportItemListModel>(*answer, &ZQSLivePushStoreFunc::getImportSingleItemMode);
    if (itemListClosure) mainExecute([itemListClosure = std::move(itemListClosure), model] { itemListClosure(model); });
}

std::shared_ptr<ZQSSingleItemModel> ZQSLivePushStoreFunc::getSingleItemMode(const nlohmann::json& item) {
    auto model = std::make_shared<ZQSSingleItemModel>();
    if (!item.is_object()) return model;
    using namespace zqs;
    readKey(item, "id", textForm, [&](auto v) { model->setId(std::move(v)); });
    readKey(item, "title", textForm, [&](auto v) { model->setTitle(std::move(v)); });
    readKey(item, "cover", textForm, [&](auto v) { model->setCover(std::move(v)); });
    readKey(item, "desc", textForm, [&](auto v) { model->setDesc(std::move(v)); });
    readKey(item, "tag", textForm, [&](auto v) { model->setTags(splitTags(v)); });
    readKey(item, "originPrice", numericValue, [&](auto v) { model->setOriginPrice(v); });
    readKey(item, "currentPrice", numericValue, [&](auto v) { model->setCurrentPrice(v); });
    readKey(item, "button", textForm, [&](auto v) { model->setButtonTitle(std::move(v)); });
    readKey(item, "top", truthValue, [&](auto v) { model->setTop(v); });
    readKey(item, "push", truthValue, [&](auto v) { model->setPush(v); });
    readKey(item, "score", integerValue, [&](auto v) { model->setScore(v); });
    return model;
}

std::shared_ptr<ZQSImportSingleItemModel> ZQSLivePushStoreFunc::getImportSingleItemMode(const nlohmann::json& item) {
    auto model = std::make_shared<ZQSImportSingleItemModel>();
    if (!item.is_object()) return model;
    using namespace zqs;
    readKey(item, "id", textForm, [&](auto v) { model->setId(std::move(v)); });
    readKey(item, "title", textForm, [&](auto v) { model->setTitle(std::move(v)); });
    readKey(item, "cover", textForm, [&](auto v) { model->setCover(std::move(v)); });
    readKey(item, "originPrice", numericValue, [&](auto v) { model->setOriginPrice(v); });
    readKey(item, "currentPrice", numericValue, [&](auto v) { model->setCurrentPrice(v); });
    // A whole number first, so a fractional part is dropped.
    readKey(item, "gmtCreate", integerValue, [&](auto v) { model->setGmtCreate(static_cast<double>(v)); });
    readKey(item, "bind", integerValue, [&](auto v) { model->setBind(v); });
    return model;
}
