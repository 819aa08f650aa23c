#include "service/YQHTTPRequest.h"

#include "ZQPlatform/DispatchQueue.h"
#include "platform/foundation/DispatchCheck.h"
#include "service/ServiceSessions.h"

YQHTTPRequest::YQHTTPRequest(std::string url) {
    mRequest.url = std::move(url);
    mRequest.timeoutInterval = kTimeout;
}

std::shared_ptr<YQHTTPRequest> YQHTTPRequest::requestWithURLString(const std::string& url) {
    return std::shared_ptr<YQHTTPRequest>(new YQHTTPRequest(url));
}

void YQHTTPRequest::startAsynchronous() {
    ZQ_DCHECK_ON(platform::DispatchQueue::main());
    if (mStarted) return;
    mStarted = true;
    // The completion runs on the main queue, after the caller has set its callbacks.
    auto task = zqservice::connectionSession()->dataTask(
        mRequest, [self = shared_from_this()](const std::optional<platform::Error>& error,
                                              const std::optional<platform::HTTPURLResponse>& response,
                                              const std::optional<std::string>& data) {
            self->mFinished = true;
            if (error || !response) {
                self->mError = error.value_or(platform::Error{platform::kURLErrorDomain, platform::URLErrorUnknown,
                                                              "An unknown network error occurred.", {}});
            } else {
                self->mResponse = *response;
                self->mBody = data.value_or("");
            }
            self->deliverIfReady();
        });
    task->resume();
}

void YQHTTPRequest::setFinishLoadingBlock(FinishLoadingBlock block) {
    mFinishLoadingBlock = std::move(block);
    deliverIfReady();
}

void YQHTTPRequest::setErrorBlock(ErrorBlock block) {
    mErrorBlock = std::move(block);
    deliverIfReady();
}

void YQHTTPRequest::deliverIfReady() {
    if (!mFinished || mDelivered) return;
    // Kept alive through the call: the callback may drop the last outside reference.
    auto self = shared_from_this();
    if (mError) {
        if (!mErrorBlock) return;
        mDelivered = true;
        auto block = std::move(mErrorBlock);
        mFinishLoadingBlock = nullptr;
        block(*mError);
    } else {
        if (!mFinishLoadingBlock) return;
        mDelivered = true;
        auto block = std::move(mFinishLoadingBlock);
        mErrorBlock = nullptr;
        block(mResponse, mBody);
    }
}
