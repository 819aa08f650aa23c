#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <nlohmann/json.hpp>
#include "ZQSLivePushStoreModule/Export.h"
#include "ZQSLivePushStoreModule/MainExecute.h"
#include "ZQSLivePushStoreModule/ZQSImportItemListModel.h"
#include "ZQSLivePushStoreModule/ZQSImportSingleItemModel.h"
#include "ZQSLivePushStoreModule/ZQSItemListModel.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreFuncConfig.h"
#include "ZQSLivePushStoreModule/ZQSSingleItemModel.h"

namespace zqs {
struct StoreOperation;
}

// The client of the store service that manages the product shelf of a live room: list the room's
// products and the account's catalogue, import and remove products, push a product to the viewers
// and pin it to the top, and undo both.
//
// Every request operation sends one HTTPS request on the shared URL session, carrying the config's
// token in the "interactive-token" header, and reports through `closure(success, message)` on the
// URL session's completion queue. The list operations then deliver the page on the main thread,
// after the result callback; that second callback is skipped when the client has been released in
// the meantime. Every callback may be empty. Nothing is cached, queued or retried.
//
// Threading: call the operations from one thread at a time (the application's); the client holds no
// locks. Console lines go through platform::Console (silence them with Console::setEnabled(false)).
class ZQS_STORE_EXPORT ZQSLivePushStoreFunc : public std::enable_shared_from_this<ZQSLivePushStoreFunc> {
public:
    using Closure = std::function<void(bool success, const std::string& message)>;
    using ItemsModelClosure = std::function<void(const std::shared_ptr<ZQSItemListModel>& itemsModel)>;
    using ImportItemsModelClosure =
        std::function<void(const std::shared_ptr<ZQSImportItemListModel>& importItemsModel)>;

    // Creates the client with `config` and calls closure(true, "init Succed") on the caller's thread.
    static std::shared_ptr<ZQSLivePushStoreFunc> create(std::shared_ptr<ZQSLivePushStoreFuncConfig> config,
                                                        const Closure& closure);
    ~ZQSLivePushStoreFunc();

    const std::shared_ptr<ZQSLivePushStoreFuncConfig>& config() const { return mConfig; }
    void setConfig(std::shared_ptr<ZQSLivePushStoreFuncConfig> config) { mConfig = std::move(config); }

    // The room's products, one page: GET /room/products?pageNo=&pageSize=.
    void getItemList(std::int64_t pageNo, std::int64_t pageSize, Closure closure, ItemsModelClosure itemsModel);
    // The account's catalogue with each product's binding to the room: GET /product/list/withRel.
    void getImportItemList(std::int64_t pageNo, std::int64_t pageSize, Closure closure,
                           ImportItemsModelClosure importItemsModel);
    // Adds a catalogue product to the room: POST /room/rel?productId=.
    void importItem(const std::string& productId, Closure closure);
    // Removes a product from the room: DELETE /room/rel?productId=.
    void removeItem(const std::string& productId, Closure closure);
    // Shows a product to the viewers, or withdraws it: POST /product/push, /product/push/cancel.
    void pushItem(const std::string& productId, Closure closure);
    void cancelPushItem(const std::string& productId, Closure closure);
    // Pins a product to the top, or unpins it: POST /product/top, /product/top/cancel.
    void toTopItem(const std::string& productId, Closure closure);
    void cancelToTopItem(const std::string& productId, Closure closure);
    // Writes its log line. Requests already started are not stopped.
    void killAll();

    // Interpret the body of a successful list answer: on a JSON object, closure(true, ...) and then
    // the list model through mainExecute; on a parse error, closure(false, description); on any
    // other JSON, nothing. Any thread.
    void receiveItemListRequestData(std::string data, const Closure& closure, ItemsModelClosure itemListClosure);
    void receiveImportItemListRequestData(std::string data, const Closure& closure,
                                          ImportItemsModelClosure itemListClosure);

    // Build product models from one product object of an answer. Any thread.
    static std::shared_ptr<ZQSSingleItemModel> getSingleItemMode(const nlohmann::json& item);
    static std::shared_ptr<ZQSImportSingleItemModel> getImportSingleItemMode(const nlohmann::json& item);

    // The store service's root address, to which each request path is appended. In order of
    // precedence: the value given to setBaseURL(), the environment variable ZQS_STORE_BASE_URL, the
    // build's default (defaultBaseURL()). Trailing slashes are dropped. Any thread.
    static std::string baseURL();
    // Overrides the address for the whole process; an empty text returns to the environment/default.
    static void setBaseURL(const std::string& url);
    static std::string defaultBaseURL();

    struct PrivateTag {
        explicit PrivateTag() = default;
    };
    ZQSLivePushStoreFunc(PrivateTag, std::shared_ptr<ZQSLivePushStoreFuncConfig> config);

private:
    __attribute__((visibility("hidden"))) void send(const zqs::StoreOperation& operation, std::int64_t pageNo, std::int64_t pageSize,
              const std::string& productId, const Closure& closure, std::function<void(std::string)> onListBody);

    std::shared_ptr<ZQSLivePushStoreFuncConfig> mConfig;
};
