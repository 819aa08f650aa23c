#pragma once
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include "ZQPlatform/Error.h"
#include "ZQPlatform/URLSession.h"

// A one-shot HTTP request (GET unless told otherwise, 10 s without data fails it) whose two callbacks
// may be set after it started: once it has finished, exactly one of them runs, once, on the main
// queue: the finish callback with the response and the raw body for any answer (HTTP error statuses
// included), the error callback for a transport failure. The request keeps itself alive until then.
// Main queue.
class YQHTTPRequest : public std::enable_shared_from_this<YQHTTPRequest> {
public:
    using FinishLoadingBlock = std::function<void(const platform::HTTPURLResponse& response, const std::string& body)>;
    using ErrorBlock = std::function<void(const platform::Error& error)>;
    static constexpr double kTimeout = 10.0;

    // requestWithURLString:
    static std::shared_ptr<YQHTTPRequest> requestWithURLString(const std::string& url);

    // The request to send; change it before startAsynchronous().
    platform::URLRequest& request() { return mRequest; }
    // Sends the request; later calls do nothing.
    void startAsynchronous();
    void setFinishLoadingBlock(FinishLoadingBlock block);
    void setErrorBlock(ErrorBlock block);

private:
    explicit YQHTTPRequest(std::string url);
    void deliverIfReady();

    platform::URLRequest mRequest;
    bool mStarted = false;
    bool mDelivered = false;
    FinishLoadingBlock mFinishLoadingBlock;
    ErrorBlock mErrorBlock;
    // The outcome, once the request has finished.
    bool mFinished = false;
    std::optional<platform::Error> mError;
    platform::HTTPURLResponse mResponse;
    std::string mBody;
};
