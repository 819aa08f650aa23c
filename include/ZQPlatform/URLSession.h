#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>
#include "ZQPlatform/DispatchQueue.h"
#include "ZQPlatform/Error.h"
#include "ZQPlatform/Export.h"

namespace platform {

// Transport failures carry this domain and the codes applications know from the mobile platform, so
// code that compares codes keeps working. The localized description is a sentence for a person;
// userInfo holds "NSErrorFailingURLStringKey" and the transport's own detail ("detail").
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";
enum URLErrorCode : long {
    URLErrorUnknown = -1,
    URLErrorCancelled = -999,
    URLErrorBadURL = -1000,
    URLErrorTimedOut = -1001,
    URLErrorUnsupportedURL = -1002,
    URLErrorCannotFindHost = -1003,
    URLErrorCannotConnectToHost = -1004,
    URLErrorNetworkConnectionLost = -1005,
    URLErrorHTTPTooManyRedirects = -1007,
    URLErrorBadServerResponse = -1011,
    URLErrorAppTransportSecurityRequiresSecureConnection = -1022, // https redirected to http
    URLErrorDataLengthExceedsMaximum = -1103,
    URLErrorSecureConnectionFailed = -1200,
    URLErrorServerCertificateUntrusted = -1202,
};

using HTTPHeaderFields = std::vector<std::pair<std::string, std::string>>;

// One HTTP request. Header names compare case-insensitively.
struct ZQ_PLATFORM_EXPORT URLRequest {
    std::string url;
    std::string method = "GET";
    HTTPHeaderFields headers;
    // Sent for every method but GET and HEAD. A POST without a body goes out with Content-Length 0.
    std::optional<std::string> body;
    // Seconds the request may wait for more data (connecting, sending or receiving) before it fails
    // with URLErrorTimedOut. Zero or less means 60.
    double timeoutInterval = 60.0;

    // Replaces every earlier value of the header; nullopt removes it. An empty value is sent as an
    // empty header.
    void setHeader(const std::string& name, std::optional<std::string> value);
    std::optional<std::string> header(const std::string& name) const;
};

// The answer's status line and headers (of the last response, after redirects).
struct ZQ_PLATFORM_EXPORT HTTPURLResponse {
    std::string url;
    long statusCode = 0;
    HTTPHeaderFields headers;

    // First value of the header, names compared case-insensitively.
    std::optional<std::string> header(const std::string& name) const;
};

// (error, response, body): on success error is empty and response and body are present (the body
// possibly empty); on failure only error is present.
using DataTaskCompletion = std::function<void(const std::optional<Error>& error,
                                              const std::optional<HTTPURLResponse>& response,
                                              const std::optional<std::string>& data)>;

namespace detail {
class URLSessionEngine;
}

// One request of a session. Created suspended; resume() starts it. The completion runs exactly once,
// on the session's delegate queue. Any thread.
class ZQ_PLATFORM_EXPORT URLSessionDataTask : public std::enable_shared_from_this<URLSessionDataTask> {
public:
    enum class State { Suspended, Running, Canceling, Completed };

    // Starts the request. Later calls do nothing.
    void resume();
    // Stops the request; unless it has already completed, its completion runs with URLErrorCancelled.
    void cancel();
    State state() const { return mState.load(); }
    std::uint64_t taskIdentifier() const { return mIdentifier; }
    const URLRequest& originalRequest() const { return mRequest; }

    URLSessionDataTask(std::uint64_t identifier, URLRequest request, DataTaskCompletion completion,
                       std::weak_ptr<detail::URLSessionEngine> engine, std::shared_ptr<DispatchQueue> queue);

private:
    friend class detail::URLSessionEngine;
    // Delivers the completion once; false when it was delivered already.
    bool complete(std::optional<Error> error, std::optional<HTTPURLResponse> response,
                  std::optional<std::string> data);

    const std::uint64_t mIdentifier;
    const URLRequest mRequest;
    std::atomic<State> mState{State::Suspended};
    std::mutex mMutex;
    DataTaskCompletion mCompletion;
    std::weak_ptr<detail::URLSessionEngine> mEngine;
    std::shared_ptr<DispatchQueue> mQueue;
};

// HTTP(S) requests on libcurl's multi interface, driven by one worker thread per session that runs
// only while requests are in flight. HTTPS always verifies the peer against the system's CA store,
// plus the CA file of TrustSettings when one is set (read at each request's start); there is no
// switch to turn verification off. An extra CA file that cannot be loaded fails HTTPS requests
// with URLErrorSecureConnectionFailed. Only http and https URLs (and redirects to them) are followed;
// a redirect from https to http is refused, and one to another host or port leaves the request's
// headers behind (but Content-Type, Accept and Accept-Language).
class ZQ_PLATFORM_EXPORT URLSession {
public:
    static constexpr std::size_t kDefaultMaximumResponseBytes = 64u << 20;

    // The process-wide session; completions run on its own serial queue. Any thread.
    static std::shared_ptr<URLSession> shared();
    // A session whose completions run on `delegateQueue` (default: a new serial queue). Bodies
    // larger than `maximumResponseBytes` fail with URLErrorDataLengthExceedsMaximum. Any thread.
    static std::shared_ptr<URLSession> create(std::shared_ptr<DispatchQueue> delegateQueue = nullptr,
                                              std::size_t maximumResponseBytes = kDefaultMaximumResponseBytes);
    // Cancels what is still in flight; those completions run with URLErrorCancelled. Any thread,
    // its own delegate queue included.
    ~URLSession();

    // A suspended task for `request`. Any thread.
    std::shared_ptr<URLSessionDataTask> dataTask(URLRequest request, DataTaskCompletion completion);
    const std::shared_ptr<DispatchQueue>& delegateQueue() const { return mQueue; }

    URLSession(const URLSession&) = delete;
    URLSession& operator=(const URLSession&) = delete;

private:
    URLSession(std::shared_ptr<DispatchQueue> queue, std::size_t maximumResponseBytes);

    std::shared_ptr<DispatchQueue> mQueue;
    std::shared_ptr<detail::URLSessionEngine> mEngine;
    std::atomic<std::uint64_t> mNextIdentifier{1};
};

// Percent-encodes text for use as one query value: everything but letters, digits and "-._~" becomes
// %XX, so "&", "=", "#", "+" and spaces cannot change the query. Any thread.
ZQ_PLATFORM_EXPORT std::string percentEncodeQueryComponent(std::string_view text);

} // namespace platform
