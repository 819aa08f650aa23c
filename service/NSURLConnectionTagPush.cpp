#include "ZQLiveKit/NSURLConnectionTagPush.h"

#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"
#include "service/ServiceSessions.h"

NSURLConnectionDataDelegate::~NSURLConnectionDataDelegate() = default;
void NSURLConnectionDataDelegate::connectionDidReceiveResponse(NSURLConnectionTagPush&, const platform::HTTPURLResponse&) {}
void NSURLConnectionDataDelegate::connectionDidReceiveData(NSURLConnectionTagPush&, const std::string&) {}
void NSURLConnectionDataDelegate::connectionDidFinishLoading(NSURLConnectionTagPush&) {}
void NSURLConnectionDataDelegate::connectionDidFailWithError(NSURLConnectionTagPush&, const platform::Error&) {}

NSURLConnectionTagPush::NSURLConnectionTagPush(platform::URLRequest request,
                                               std::weak_ptr<NSURLConnectionDataDelegate> delegate, std::int64_t tag)
    : mRequest(std::move(request)), mDelegate(std::move(delegate)), mTag(tag) {}

NSURLConnectionTagPush::~NSURLConnectionTagPush() {
    if (mTask) mTask->cancel();
}

std::shared_ptr<NSURLConnectionTagPush> NSURLConnectionTagPush::create(platform::URLRequest request,
                                                                       std::weak_ptr<NSURLConnectionDataDelegate> delegate,
                                                                       std::int64_t tag, bool startImmediately) {
    std::shared_ptr<NSURLConnectionTagPush> connection(
        new NSURLConnectionTagPush(std::move(request), std::move(delegate), tag));
    if (startImmediately) connection->start();
    return connection;
}

std::shared_ptr<NSURLConnectionTagPush> NSURLConnectionTagPush::connectionWithRequest(
    platform::URLRequest request, std::weak_ptr<NSURLConnectionDataDelegate> delegate, std::int64_t tag) {
    return create(std::move(request), std::move(delegate), tag, true);
}

void NSURLConnectionTagPush::start() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mStarted || mCancelled) return;
    mStarted = true;
    // The completion holds the connection until it has reported (the task drops it afterwards).
    mTask = zqservice::connectionSession()->dataTask(
        mRequest, [self = shared_from_this()](const std::optional<platform::Error>& error,
                                              const std::optional<platform::HTTPURLResponse>& response,
                                              const std::optional<std::string>& data) { self->deliver(error, response, data); });
    mTask->resume();
}

void NSURLConnectionTagPush::cancel() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mFinished) return;
    mCancelled = true;
    mFinished = true;
    if (mTask) mTask->cancel();
}

void NSURLConnectionTagPush::deliver(const std::optional<platform::Error>& error,
                                     const std::optional<platform::HTTPURLResponse>& response,
                                     const std::optional<std::string>& data) {
    if (mCancelled || mFinished) return;
    mFinished = true;
    mTask.reset();
    auto delegate = mDelegate.lock();
    if (!delegate) return;
    if (error || !response) {
        delegate->connectionDidFailWithError(
            *this, error.value_or(platform::Error{platform::kURLErrorDomain, platform::URLErrorBadServerResponse,
                                                  "The server sent an answer that cannot be understood.", {}}));
        return;
    }
    delegate->connectionDidReceiveResponse(*this, *response);
    if (data && !data->empty()) delegate->connectionDidReceiveData(*this, *data);
    delegate->connectionDidFinishLoading(*this);
}
