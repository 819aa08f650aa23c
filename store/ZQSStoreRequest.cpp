#include "store/ZQSStoreRequest.h"

#include "ZQPlatform/Console.h"
#include "ZQPlatform/JSONSerialization.h"
#include "store/ZQSStoreValue.h"

namespace zqs {

using Shape = StoreOperation::Shape;

#define ZQS_FULL_NAME(name) "ZQSLivePushStoreFunc::" name
const StoreOperation kGetItemList{ZQS_FULL_NAME("getItemList"), "getItemList", "GET", "/room/products", nullptr,
                                  Shape::Page, kListSuccessMessage};
const StoreOperation kGetImportItemList{ZQS_FULL_NAME("getImportItemList"), "getImportItemList", "GET",
                                        "/product/list/withRel", nullptr, Shape::Page, kListSuccessMessage};
const StoreOperation kImportItem{ZQS_FULL_NAME("importItem"), "importItem", "POST", "/room/rel",
                                 "application/x-www-form-urlencoded", Shape::IdInQuery, "push succed"};
const StoreOperation kRemoveItem{ZQS_FULL_NAME("removeItem"), "removeItem", "DELETE", "/room/rel",
                                 "application/x-www-form-urlencoded", Shape::IdInQuery, "remove succed"};
const StoreOperation kPushItem{ZQS_FULL_NAME("pushItem"), "pushItem", "POST", "/product/push", "application/json",
                               Shape::IdInBody, "push succed"};
const StoreOperation kCancelPushItem{ZQS_FULL_NAME("cancelPushItem"), "cancelPushItem", "POST",
                                     "/product/push/cancel", "application/json", Shape::IdInBody,
                                     "cancel push succed"};
const StoreOperation kToTopItem{ZQS_FULL_NAME("toTopItem"), "toTopItem", "POST", "/product/top", "application/json",
                                Shape::IdInBody, "to top succed"};
const StoreOperation kCancelToTopItem{ZQS_FULL_NAME("cancelToTopItem"), "cancelToTopItem", "POST",
                                      "/product/top/cancel", "application/json", Shape::IdInBody,
                                      "cancel to top succed"};
#undef ZQS_FULL_NAME

void logLine(const StoreOperation& operation, std::string_view ending) {
    platform::Console::log("🛒 -> " + std::string(operation.shortName) + std::string(ending));
}

void logEntry(std::string_view fullName) { platform::Console::log("🛒 -> " + std::string(fullName) + " --> 🟡🟡"); }

std::string storeURL(const StoreOperation& operation, const std::string& base, std::int64_t pageNo,
                     std::int64_t pageSize, const std::string& productId) {
    std::string url = base + operation.path;
    switch (operation.shape) {
    case Shape::Page: url += "?pageNo=" + std::to_string(pageNo) + "&pageSize=" + std::to_string(pageSize); break;
    case Shape::IdInQuery: url += "?productId=" + platform::percentEncodeQueryComponent(productId); break;
    case Shape::IdInBody: break;
    }
    return url;
}

void handleStoreResponse(const StoreOperation& operation, const std::optional<platform::Error>& error,
                         const std::optional<platform::HTTPURLResponse>& response,
                         const std::optional<std::string>& data, const ZQSLivePushStoreFunc::Closure& closure,
                         const std::function<void(std::string)>& onListBody) {
    auto report = [&](bool success, const std::string& message) {
        if (closure) closure(success, message);
    };
    if (error) {
        logLine(operation, " -> 🟡🔴 -> " + error->description());
        report(false, error->localizedDescription);
        return;
    }
    if (!response) {
        logLine(operation, " -> 🟡🔴 --> response == nil");
        report(false, kDataErrorMessage);
        return;
    }
    if (!data) {
        logLine(operation, " -> 🟡🔴 --> data == nil");
        report(false, kDataErrorMessage);
        return;
    }
    if (response->statusCode != 200) {
        platform::Error parseError;
        auto body = platform::JSONSerialization::parse(*data, &parseError);
        if (!body) {
            logLine(operation, " -> 🟡🔴 --> err:" + parseError.description());
            report(false, parseError.localizedDescription);
            return;
        }
        std::string message;
        if (body->is_object()) {
            if (auto it = body->find("message"); it != body->end()) message = textForm(*it).value_or("");
        }
        logLine(operation, " -> 🟡🔴 -> error:code:" + std::to_string(response->statusCode) + "message:" + message);
        report(false, message);
        return;
    }
    if (operation.shape != StoreOperation::Shape::Page) {
        report(true, operation.successMessage);
        return;
    }
    if (onListBody) onListBody(*data);
}

} // namespace zqs
