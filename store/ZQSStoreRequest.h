#pragma once
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include "ZQPlatform/URLSession.h"
#include "ZQSLivePushStoreModule/ZQSLivePushStoreFunc.h"

// The requests of the store client and what their answers mean.
namespace zqs {

// One request operation of the client.
struct StoreOperation {
    enum class Shape { Page, IdInQuery, IdInBody };
    const char* fullName;       // names the operation in its entry line
    const char* shortName;      // starts its other lines
    const char* method;
    const char* path;
    const char* contentType;    // nullptr: no Content-Type header
    Shape shape;
    const char* successMessage; // closure(true, ...) on a 200 answer
};

extern const StoreOperation kGetItemList;
extern const StoreOperation kGetImportItemList;
extern const StoreOperation kImportItem;
extern const StoreOperation kRemoveItem;
extern const StoreOperation kPushItem;
extern const StoreOperation kCancelPushItem;
extern const StoreOperation kToTopItem;
extern const StoreOperation kCancelToTopItem;

inline constexpr double kStoreRequestTimeout = 10.0;
inline constexpr const char* kDataErrorMessage = "数据异常";
inline constexpr const char* kParameterErrorMessage = "参数异常";
inline constexpr const char* kListSuccessMessage = "succed, wait itemListClosure please";

// "🛒 -> <short name><ending>" on the console.
void logLine(const StoreOperation& operation, std::string_view ending);
// "🛒 -> <full name> --> 🟡🟡", the first line of every operation.
void logEntry(std::string_view fullName);

// The URL of a request: base + path, then "?pageNo=..&pageSize=.." or "?productId=<id>" with the
// id percent-encoded as one query value.
std::string storeURL(const StoreOperation& operation, const std::string& base, std::int64_t pageNo,
                     std::int64_t pageSize, const std::string& productId);

// Reads a finished request, in this order: transport error, no response, no body, a status other
// than 200 (the server's "message"), then success: closure(true, message) for an action, or the
// body handed to `onListBody` for a list. Runs on the URL session's completion queue.
void handleStoreResponse(const StoreOperation& operation, const std::optional<platform::Error>& error,
                         const std::optional<platform::HTTPURLResponse>& response,
                         const std::optional<std::string>& data, const ZQSLivePushStoreFunc::Closure& closure,
                         const std::function<void(std::string)>& onListBody);

} // namespace zqs
