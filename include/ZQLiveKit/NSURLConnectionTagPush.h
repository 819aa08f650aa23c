#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include "ZQLiveKit/Export.h"
#include "ZQPlatform/Error.h"
#include "ZQPlatform/URLSession.h"

class NSURLConnectionTagPush;

// What a connection reports, in this order: the response, the body, the end; or only the failure.
// Called on the main queue; nothing is reported after cancel(). Every operation is optional.
class ZQLIVEKIT_EXPORT NSURLConnectionDataDelegate {
public:
    virtual ~NSURLConnectionDataDelegate();
    // connection:didReceiveResponse:
    virtual void connectionDidReceiveResponse(NSURLConnectionTagPush& connection, const platform::HTTPURLResponse& response);
    // connection:didReceiveData: (the whole body at once; not called for an empty body)
    virtual void connectionDidReceiveData(NSURLConnectionTagPush& connection, const std::string& data);
    // connectionDidFinishLoading:
    virtual void connectionDidFinishLoading(NSURLConnectionTagPush& connection);
    // connection:didFailWithError: (transport failures only: an HTTP error status is a response)
    virtual void connectionDidFailWithError(NSURLConnectionTagPush& connection, const platform::Error& error);
};

// A URL connection with an integer tag that routes its answer to a handler. It runs on the kit's URL
// session and reports to a weakly held delegate on the main queue; a running connection keeps
// itself alive until it has reported or is cancelled. Main queue.
class ZQLIVEKIT_EXPORT NSURLConnectionTagPush : public std::enable_shared_from_this<NSURLConnectionTagPush> {
public:
    // initWithRequest:delegate:tag:startImmediately:
    static std::shared_ptr<NSURLConnectionTagPush> create(platform::URLRequest request,
                                                          std::weak_ptr<NSURLConnectionDataDelegate> delegate,
                                                          std::int64_t tag, bool startImmediately = true);
    // connectionWithRequest:delegate:tag: (started at once)
    static std::shared_ptr<NSURLConnectionTagPush> connectionWithRequest(platform::URLRequest request,
                                                                         std::weak_ptr<NSURLConnectionDataDelegate> delegate,
                                                                         std::int64_t tag);
    ~NSURLConnectionTagPush();
    NSURLConnectionTagPush(const NSURLConnectionTagPush&) = delete;
    NSURLConnectionTagPush& operator=(const NSURLConnectionTagPush&) = delete;

    // Starts a connection made without startImmediately; later calls do nothing.
    void start();
    // Stops it; its delegate hears nothing more.
    void cancel();

    // 0 for a connection made without a tag.
    std::int64_t tag() const { return mTag; }
    void setTag(std::int64_t tag) { mTag = tag; }
    const platform::URLRequest& originalRequest() const { return mRequest; }
    const platform::URLRequest& currentRequest() const { return mRequest; }
    // True once it has reported its end or failure, or was cancelled.
    bool isFinished() const { return mFinished; }
    bool isCancelled() const { return mCancelled; }

private:
    NSURLConnectionTagPush(platform::URLRequest request, std::weak_ptr<NSURLConnectionDataDelegate> delegate,
                           std::int64_t tag);
    void deliver(const std::optional<platform::Error>& error, const std::optional<platform::HTTPURLResponse>& response,
                 const std::optional<std::string>& data);

    const platform::URLRequest mRequest;
    std::weak_ptr<NSURLConnectionDataDelegate> mDelegate;
    std::int64_t mTag;
    std::shared_ptr<platform::URLSessionDataTask> mTask;
    bool mStarted = false;
    bool mFinished = false;
    bool mCancelled = false;
};
