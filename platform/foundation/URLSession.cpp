#include "ZQPlatform/URLSession.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <curl/curl.h>
#include <map>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <mutex>
#include <new>
#include <string_view>
#include <thread>
#include "ZQPlatform/TrustSettings.h"
#include "platform/foundation/URLRedirect.h"
#include "platform/foundation/Utf8.h"

namespace platform {
namespace {

using SteadyClock = std::chrono::steady_clock;

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::optional<std::string> findHeader(const HTTPHeaderFields& headers, const std::string& name) {
    for (auto& [field, value] : headers)
        if (equalsIgnoringCase(field, name)) return value;
    return std::nullopt;
}

// RFC 9110 token characters: what a method or a header name may hold.
bool isToken(std::string_view text) {
    static constexpr std::string_view kSpecials = "!#$%&'*+-.^_`|~";
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || kSpecials.find(c) != std::string_view::npos;
    });
}

// A line break or NUL in a header value would let a caller's text start a new header.
bool isSafeHeaderValue(std::string_view text) { return text.find_first_of(std::string_view("\r\n\0", 3)) == std::string_view::npos; }

std::string trim(std::string_view text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

Error urlError(long code, std::string_view description, const std::string& url, std::string_view detail) {
    nlohmann::json info = {{"NSErrorFailingURLStringKey", detail::validUTF8(url)}};
    if (!detail.empty()) info["detail"] = detail::validUTF8(detail);
    return Error{kURLErrorDomain, code, std::string(description), std::move(info)};
}

// From libcurl's result to the platform's code and a sentence that tells a person what went wrong.
Error errorForCurl(CURLcode result, const std::string& url, const char* errorBuffer) {
    std::string detail = errorBuffer && *errorBuffer ? errorBuffer : curl_easy_strerror(result);
    auto make = [&](long code, std::string_view text) { return urlError(code, text, url, detail); };
    switch (result) {
    case CURLE_OPERATION_TIMEDOUT: return make(URLErrorTimedOut, "The request timed out.");
    case CURLE_COULDNT_CONNECT: return make(URLErrorCannotConnectToHost, "Could not connect to the server.");
    case CURLE_COULDNT_RESOLVE_HOST:
    case CURLE_COULDNT_RESOLVE_PROXY:
        return make(URLErrorCannotFindHost, "A server with the specified hostname could not be found.");
    case CURLE_UNSUPPORTED_PROTOCOL: return make(URLErrorUnsupportedURL, "The URL’s scheme is not supported.");
    case CURLE_URL_MALFORMAT: return make(URLErrorBadURL, "The URL is malformed.");
    case CURLE_PEER_FAILED_VERIFICATION:
        return make(URLErrorServerCertificateUntrusted,
                    "The certificate for this server is invalid, so the server may not be who it claims to be.");
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_SSL_ENGINE_NOTFOUND:
    case CURLE_SSL_ENGINE_SETFAILED:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ENGINE_INITFAILED:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_SHUTDOWN_FAILED:
    case CURLE_SSL_CRL_BADFILE:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CLIENTCERT:
    case CURLE_USE_SSL_FAILED:
        return make(URLErrorSecureConnectionFailed,
                    "An SSL error has occurred and a secure connection to the server cannot be made.");
    case CURLE_GOT_NOTHING:
    case CURLE_SEND_ERROR:
    case CURLE_RECV_ERROR:
    case CURLE_PARTIAL_FILE:
        return make(URLErrorNetworkConnectionLost, "The network connection was lost.");
    case CURLE_TOO_MANY_REDIRECTS: return make(URLErrorHTTPTooManyRedirects, "Too many HTTP redirects.");
    case CURLE_WEIRD_SERVER_REPLY:
    case CURLE_BAD_CONTENT_ENCODING:
    case CURLE_HTTP2:
    case CURLE_HTTP2_STREAM:
    case CURLE_HTTP3:
        return make(URLErrorBadServerResponse, "The server sent an answer that cannot be understood.");
    default: return make(URLErrorUnknown, "An unknown network error occurred.");
    }
}

Error cancelledError(const std::string& url) { return urlError(URLErrorCancelled, "The request was cancelled.", url, {}); }

void initCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

} // namespace

// ---- URLRequest / HTTPURLResponse ----

void URLRequest::setHeader(const std::string& name, std::optional<std::string> value) {
    std::erase_if(headers, [&](const auto& field) { return equalsIgnoringCase(field.first, name); });
    if (value) headers.emplace_back(name, std::move(*value));
}

std::optional<std::string> URLRequest::header(const std::string& name) const { return findHeader(headers, name); }

std::optional<std::string> HTTPURLResponse::header(const std::string& name) const {
    return findHeader(headers, name);
}

std::string percentEncodeQueryComponent(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (std::isalnum(byte) || c == '-' || c == '.' || c == '_' || c == '~') {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0xF]);
        }
    }
    return out;
}

namespace detail {

namespace {

struct URLParts {
    std::string scheme; // lower case
    std::string host;   // lower case; empty when the URL has none
    std::string port;   // the scheme's default when the URL names none
};

std::optional<URLParts> urlParts(const std::string& url) {
    CURLU* handle = curl_url();
    if (!handle) throw std::bad_alloc();
    std::optional<URLParts> parts;
    if (curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK) {
        auto part = [&](CURLUPart which, unsigned flags) -> std::optional<std::string> {
            char* text = nullptr;
            if (curl_url_get(handle, which, &text, flags) != CURLUE_OK || !text) return std::nullopt;
            std::string value(text);
            curl_free(text);
            std::transform(value.begin(), value.end(), value.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            return value;
        };
        auto scheme = part(CURLUPART_SCHEME, 0);
        auto host = part(CURLUPART_HOST, 0);
        auto port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
        if (scheme) parts = URLParts{*scheme, host.value_or(""), port.value_or("")};
    }
    curl_url_cleanup(handle);
    return parts;
}

// Headers that say what the body is or which answer is wanted: nothing secret, so they may follow a
// redirect to another host.
bool describesRepresentation(const std::string& name) {
    return equalsIgnoringCase(name, "Content-Type") || equalsIgnoringCase(name, "Accept") ||
           equalsIgnoringCase(name, "Accept-Language");
}

} // namespace

bool isFollowedRedirect(long statusCode) {
    return statusCode == 301 || statusCode == 302 || statusCode == 303 || statusCode == 307 || statusCode == 308;
}

RedirectStep redirectStep(const URLRequest& request, const std::string& currentURL, long statusCode,
                          const std::string& location, int redirectsSoFar) {
    RedirectStep step;
    if (redirectsSoFar >= kMaximumRedirects) {
        step.error = urlError(URLErrorHTTPTooManyRedirects, "Too many HTTP redirects.", currentURL,
                              std::to_string(redirectsSoFar) + " redirects");
        return step;
    }
    auto from = urlParts(currentURL);
    auto to = urlParts(location);
    if (!from || !to) {
        step.error = urlError(URLErrorBadServerResponse, "The server sent an answer that cannot be understood.",
                              currentURL, "redirect to an invalid address: " + location);
        return step;
    }
    if (to->scheme != "http" && to->scheme != "https") {
        step.error = urlError(URLErrorUnsupportedURL, "The URL’s scheme is not supported.", location,
                              "redirect from " + currentURL);
        return step;
    }
    if (to->host.empty()) {
        step.error = urlError(URLErrorBadServerResponse, "The server sent an answer that cannot be understood.",
                              currentURL, "redirect to an address without a host: " + location);
        return step;
    }
    if (from->scheme == "https" && to->scheme == "http") {
        step.error = urlError(URLErrorAppTransportSecurityRequiresSecureConnection,
                              "The resource could not be loaded because a secure connection was redirected to an "
                              "insecure address.",
                              location, "redirect from " + currentURL);
        return step;
    }

    URLRequest next = request;
    next.url = location;
    bool toGet = (statusCode == 303 && request.method != "HEAD") ||
                 ((statusCode == 301 || statusCode == 302) && request.method == "POST");
    if (toGet) {
        next.method = "GET";
        next.body.reset();
        next.setHeader("Content-Type", std::nullopt);
        next.setHeader("Content-Length", std::nullopt);
    }
    // The same host on the same port stays the same place; so does an upgrade from http to https
    // on the schemes' own ports.
    bool upgrade = from->scheme == "http" && to->scheme == "https" && from->port == "80" && to->port == "443";
    if (from->host != to->host || (from->port != to->port && !upgrade))
        std::erase_if(next.headers, [](const auto& field) { return !describesRepresentation(field.first); });
    step.next = std::move(next);
    return step;
}

// What the worker keeps for one request in flight. Only the worker thread touches it.
struct Transfer {
    std::shared_ptr<URLSessionDataTask> task;
    CURL* easy = nullptr;
    curl_slist* headerList = nullptr;
    URLRequest request; // what this hop sends (the original request, or where redirects led)
    int redirects = 0;
    std::string url;
    std::string requestBody;
    std::string responseBody;
    HTTPHeaderFields responseHeaders;
    std::size_t maximumBytes = 0;
    bool overflow = false;
    std::chrono::duration<double> timeout{60.0};
    SteadyClock::time_point lastActivity = SteadyClock::now();
    curl_off_t seenDown = 0;
    curl_off_t seenUp = 0;
    std::string caFile;         // extra trust (TrustSettings), empty for none
    bool caFileFailed = false;  // the extra CA file could not be loaded
    std::array<char, CURL_ERROR_SIZE> errorBuffer{};

    Transfer() = default;
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;
    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        curl_slist_free_all(headerList);
    }

    SteadyClock::time_point deadline() const {
        return lastActivity + std::chrono::duration_cast<SteadyClock::duration>(timeout);
    }

    static size_t onBody(char* data, size_t size, size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        size_t n = size * count;
        t->lastActivity = SteadyClock::now();
        if (t->responseBody.size() + n > t->maximumBytes) {
            t->overflow = true;
            return 0; // makes libcurl stop with a write error
        }
        t->responseBody.append(data, n);
        return n;
    }

    static size_t onHeader(char* data, size_t size, size_t count, void* self) {
        auto* t = static_cast<Transfer*>(self);
        size_t n = size * count;
        t->lastActivity = SteadyClock::now();
        std::string_view line(data, n);
        if (line.rfind("HTTP/", 0) == 0) {
            t->responseHeaders.clear(); // a new response (after a redirect or 100 Continue)
        } else if (!line.empty() && (line[0] == ' ' || line[0] == '\t')) {
            if (!t->responseHeaders.empty()) t->responseHeaders.back().second += " " + trim(line);
        } else if (auto colon = line.find(':'); colon != std::string_view::npos) {
            t->responseHeaders.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        }
        return n;
    }

    // Adds the extra CA file's certificates to the connection's trust store, which libcurl has
    // filled (or fills) with the system's: the file only ever adds trust.
    static CURLcode onSSLContext(CURL*, void* sslContext, void* self) {
        auto* t = static_cast<Transfer*>(self);
        X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslContext));
        if (!store || X509_STORE_load_file(store, t->caFile.c_str()) != 1) {
            t->caFileFailed = true;
            return CURLE_SSL_CACERT_BADFILE;
        }
        return CURLE_OK;
    }

    static int onProgress(void* self, curl_off_t, curl_off_t downloaded, curl_off_t, curl_off_t uploaded) {
        auto* t = static_cast<Transfer*>(self);
        if (downloaded != t->seenDown || uploaded != t->seenUp) {
            t->seenDown = downloaded;
            t->seenUp = uploaded;
            t->lastActivity = SteadyClock::now();
        }
        return 0;
    }
};

// Owns the multi handle and the worker thread. The worker runs while there is work and exits when
// the last transfer is done; the next request starts it again.
class URLSessionEngine {
public:
    explicit URLSessionEngine(std::size_t maximumBytes) : mMaximumBytes(maximumBytes) {
        initCurlOnce();
        mMulti = curl_multi_init();
        if (!mMulti) throw std::bad_alloc();
    }

    ~URLSessionEngine() { curl_multi_cleanup(mMulti); }

    void submit(const std::shared_ptr<URLSessionDataTask>& task) { enqueue(mToStart, task); }
    void cancel(const std::shared_ptr<URLSessionDataTask>& task) { enqueue(mToCancel, task); }

    // Stops the worker and cancels everything still pending. Called once, by the session.
    void shutdown() {
        TaskList pending;
        {
            std::unique_lock lock(mMutex);
            mStopping = true;
            curl_multi_wakeup(mMulti);
            // No worker starts once mStopping is set; wait for the one that may be running.
            mWorkerStopped.wait(lock, [&] { return !mWorkerRunning; });
            pending.swap(mToStart);
            pending.insert(pending.end(), mToCancel.begin(), mToCancel.end());
            mToCancel.clear();
        }
        // The worker is gone: the transfers are ours now.
        for (auto& [easy, transfer] : mActive) {
            curl_multi_remove_handle(mMulti, easy);
            pending.push_back(transfer->task);
        }
        mActive.clear();
        for (auto& task : pending)
            task->complete(cancelledError(task->originalRequest().url), std::nullopt, std::nullopt);
    }

private:
    using TaskList = std::vector<std::shared_ptr<URLSessionDataTask>>;

    // Hands the task to the worker; once the session is going away, cancels it instead.
    void enqueue(TaskList& list, const std::shared_ptr<URLSessionDataTask>& task) {
        {
            std::lock_guard lock(mMutex);
            if (!mStopping) {
                list.push_back(task);
                ensureWorker();
                curl_multi_wakeup(mMulti);
                return;
            }
        }
        task->complete(cancelledError(task->originalRequest().url), std::nullopt, std::nullopt);
    }

    // With mMutex held. The worker is detached: it tells shutdown() through mWorkerStopped that it no
    // longer touches the engine, and an idle process keeps no finished thread around.
    void ensureWorker() {
        if (mWorkerRunning) return;
        mWorkerRunning = true;
        std::thread([this] { work(); }).detach();
    }

    void work() {
        for (;;) {
            TaskList toStart;
            TaskList toCancel;
            {
                std::lock_guard lock(mMutex);
                if (mStopping || (mActive.empty() && mToStart.empty() && mToCancel.empty())) {
                    mWorkerRunning = false;
                    mWorkerStopped.notify_all(); // under the lock: the engine may go once it is free
                    return;
                }
                toStart.swap(mToStart);
                toCancel.swap(mToCancel);
            }
            for (auto& task : toStart) start(task);
            for (auto& task : toCancel) cancelActive(task);

            int running = 0;
            curl_multi_perform(mMulti, &running);
            collectFinished();
            expireIdle();
            if (mActive.empty()) continue; // back to the top: exit, or start what arrived meanwhile
            int waitMs = static_cast<int>(std::clamp<long long>(
                std::chrono::duration_cast<std::chrono::milliseconds>(nextDeadline() - SteadyClock::now()).count() + 1,
                0, 1000));
            if (curl_multi_poll(mMulti, nullptr, 0, waitMs, nullptr) != CURLM_OK)
                std::this_thread::sleep_for(std::chrono::milliseconds(10)); // never spin on a broken poll
        }
    }

    void start(const std::shared_ptr<URLSessionDataTask>& task) {
        if (task->state() != URLSessionDataTask::State::Running) {
            task->complete(cancelledError(task->originalRequest().url), std::nullopt, std::nullopt);
            return;
        }
        auto transfer = std::make_unique<Transfer>();
        transfer->task = task;
        transfer->request = task->originalRequest();
        launch(std::move(transfer));
    }

    // Configures the transfer for its request and hands it to libcurl; completes the task on failure.
    void launch(std::unique_ptr<Transfer> transfer) {
        if (auto error = configure(*transfer)) {
            transfer->task->complete(std::move(error), std::nullopt, std::nullopt);
            return;
        }
        if (curl_multi_add_handle(mMulti, transfer->easy) != CURLM_OK) {
            transfer->task->complete(urlError(URLErrorUnknown, "An unknown network error occurred.", transfer->url,
                                              "the request could not be started"),
                                     std::nullopt, std::nullopt);
            return;
        }
        mActive.emplace(transfer->easy, std::move(transfer));
    }

    // After a redirect answer: the same transfer again for the next hop, on a fresh handle (the
    // multi handle keeps the connections). False when the answer is not a redirect to follow.
    bool followRedirect(std::unique_ptr<Transfer>& t) {
        long status = 0;
        curl_easy_getinfo(t->easy, CURLINFO_RESPONSE_CODE, &status);
        char* location = nullptr;
        curl_easy_getinfo(t->easy, CURLINFO_REDIRECT_URL, &location);
        if (!isFollowedRedirect(status) || !location || !*location) return false;
        char* effective = nullptr;
        curl_easy_getinfo(t->easy, CURLINFO_EFFECTIVE_URL, &effective);
        auto step = redirectStep(t->request, effective ? effective : t->url, status, location, t->redirects);
        if (step.error) {
            t->task->complete(std::move(step.error), std::nullopt, std::nullopt);
            return true;
        }
        auto next = std::make_unique<Transfer>();
        next->task = std::move(t->task);
        next->request = std::move(*step.next);
        next->redirects = t->redirects + 1;
        t.reset(); // its handle goes before the next one starts
        launch(std::move(next));
        return true;
    }

    // Prepares the easy handle; an error when the request cannot be sent as given.
    std::optional<Error> configure(Transfer& t) {
        const URLRequest& request = t.request;
        t.url = request.url;
        t.maximumBytes = mMaximumBytes;
        // Zero, negative or NaN means the default; a year stands for "practically never".
        double seconds = request.timeoutInterval > 0 ? std::min(request.timeoutInterval, 365.0 * 86400.0) : 60.0;
        t.timeout = std::chrono::duration<double>(seconds);
        if (!isToken(request.method))
            return urlError(URLErrorBadURL, "The request is malformed: its method is not a valid HTTP method.", t.url,
                            request.method);
        for (auto& [name, value] : request.headers) {
            if (!isToken(name) || !isSafeHeaderValue(value))
                return urlError(URLErrorBadURL, "The request is malformed: a header holds a line break or an invalid name.",
                                t.url, name);
        }
        t.easy = curl_easy_init();
        if (!t.easy) throw std::bad_alloc();
        CURL* e = t.easy;
        curl_easy_setopt(e, CURLOPT_URL, request.url.c_str());
        curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
        // Redirects are followed by the engine (followRedirect), which decides what goes along.
        curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);
        curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
        curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");
        curl_easy_setopt(e, CURLOPT_USERAGENT, "ZQPlatformFoundation/1.0");
        curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(seconds * 1000.0));
        curl_easy_setopt(e, CURLOPT_ERRORBUFFER, t.errorBuffer.data());
        curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Transfer::onBody);
        curl_easy_setopt(e, CURLOPT_WRITEDATA, &t);
        curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Transfer::onHeader);
        curl_easy_setopt(e, CURLOPT_HEADERDATA, &t);
        curl_easy_setopt(e, CURLOPT_XFERINFOFUNCTION, &Transfer::onProgress);
        curl_easy_setopt(e, CURLOPT_XFERINFODATA, &t);
        curl_easy_setopt(e, CURLOPT_NOPROGRESS, 0L);
        if (auto caFile = TrustSettings::caFile()) {
            t.caFile = *caFile;
            // A store of its own for this transfer: the shared cached one must not gain the extra
            // certificates (the setting can change between requests).
            curl_easy_setopt(e, CURLOPT_CA_CACHE_TIMEOUT, 0L);
            curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &Transfer::onSSLContext);
            curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, &t);
        }

        const std::string& method = request.method;
        bool sendsBody = method != "GET" && method != "HEAD" && (request.body || method == "POST");
        if (method == "GET") {
            curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
        } else if (method == "HEAD") {
            curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
        } else if (method != "POST") {
            curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
        }
        if (sendsBody) {
            // Always from our buffer: a POST without one would make libcurl read stdin.
            t.requestBody = request.body.value_or("");
            curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(t.requestBody.size()));
            curl_easy_setopt(e, CURLOPT_POSTFIELDS, t.requestBody.c_str());
        }

        for (auto& [name, value] : request.headers) {
            // "Name;" is libcurl's way to send a header with an empty value.
            std::string line = value.empty() ? name + ";" : name + ": " + value;
            t.headerList = curl_slist_append(t.headerList, line.c_str());
        }
        // libcurl would add these on its own; the request says exactly what goes out.
        if (sendsBody && !request.header("Content-Type")) t.headerList = curl_slist_append(t.headerList, "Content-Type:");
        t.headerList = curl_slist_append(t.headerList, "Expect:");
        curl_easy_setopt(e, CURLOPT_HTTPHEADER, t.headerList);
        return std::nullopt;
    }

    void collectFinished() {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(mMulti, &left)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            CURLcode result = message->data.result;
            auto it = mActive.find(easy);
            if (it == mActive.end()) continue;
            std::unique_ptr<Transfer> t = std::move(it->second);
            mActive.erase(it);
            curl_multi_remove_handle(mMulti, easy);
            if (result == CURLE_OK && followRedirect(t)) continue;
            finish(*t, result);
        }
    }

    void finish(Transfer& t, CURLcode result) {
        if (result != CURLE_OK) {
            if (t.caFileFailed) {
                t.task->complete(urlError(URLErrorSecureConnectionFailed,
                                          "The extra CA file cannot be read, so the server cannot be verified.",
                                          t.url, t.caFile),
                                 std::nullopt, std::nullopt);
            } else if (t.overflow) {
                t.task->complete(urlError(URLErrorDataLengthExceedsMaximum,
                                          "The answer is larger than the allowed maximum.", t.url,
                                          std::to_string(t.maximumBytes) + " bytes"),
                                 std::nullopt, std::nullopt);
            } else {
                t.task->complete(errorForCurl(result, t.url, t.errorBuffer.data()), std::nullopt, std::nullopt);
            }
            return;
        }
        HTTPURLResponse response;
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        char* effective = nullptr;
        curl_easy_getinfo(t.easy, CURLINFO_EFFECTIVE_URL, &effective);
        response.statusCode = status;
        response.url = effective ? effective : t.url;
        response.headers = std::move(t.responseHeaders);
        t.task->complete(std::nullopt, std::move(response), std::move(t.responseBody));
    }

    void cancelActive(const std::shared_ptr<URLSessionDataTask>& task) {
        for (auto it = mActive.begin(); it != mActive.end(); ++it) {
            if (it->second->task != task) continue;
            curl_multi_remove_handle(mMulti, it->first);
            mActive.erase(it);
            break;
        }
        task->complete(cancelledError(task->originalRequest().url), std::nullopt, std::nullopt);
    }

    void expireIdle() {
        auto now = SteadyClock::now();
        for (auto it = mActive.begin(); it != mActive.end();) {
            Transfer& t = *it->second;
            if (now < t.deadline()) {
                ++it;
                continue;
            }
            curl_multi_remove_handle(mMulti, it->first);
            t.task->complete(urlError(URLErrorTimedOut, "The request timed out.", t.url,
                                      "no data for " + std::to_string(t.timeout.count()) + " s"),
                             std::nullopt, std::nullopt);
            it = mActive.erase(it);
        }
    }

    SteadyClock::time_point nextDeadline() const {
        auto next = SteadyClock::time_point::max();
        for (auto& [easy, t] : mActive) next = std::min(next, t->deadline());
        return next;
    }

    const std::size_t mMaximumBytes;
    CURLM* mMulti = nullptr;

    std::mutex mMutex;
    TaskList mToStart;                                          // guarded by mMutex
    TaskList mToCancel;                                         // guarded by mMutex
    bool mStopping = false;                                     // guarded by mMutex
    bool mWorkerRunning = false;                                // guarded by mMutex
    std::condition_variable mWorkerStopped;

    // Owned by the worker thread (by shutdown() once the worker is joined).
    std::map<CURL*, std::unique_ptr<Transfer>> mActive;
};

} // namespace detail

// ---- URLSessionDataTask ----

URLSessionDataTask::URLSessionDataTask(std::uint64_t identifier, URLRequest request, DataTaskCompletion completion,
                                       std::weak_ptr<detail::URLSessionEngine> engine,
                                       std::shared_ptr<DispatchQueue> queue)
    : mIdentifier(identifier), mRequest(std::move(request)), mCompletion(std::move(completion)),
      mEngine(std::move(engine)), mQueue(std::move(queue)) {}

void URLSessionDataTask::resume() {
    auto expected = State::Suspended;
    if (!mState.compare_exchange_strong(expected, State::Running)) return;
    if (auto engine = mEngine.lock())
        engine->submit(shared_from_this());
    else
        complete(cancelledError(mRequest.url), std::nullopt, std::nullopt);
}

void URLSessionDataTask::cancel() {
    auto expected = State::Running;
    if (mState.compare_exchange_strong(expected, State::Canceling)) {
        if (auto engine = mEngine.lock()) {
            engine->cancel(shared_from_this());
            return;
        }
    }
    if (mState.load() != State::Completed) complete(cancelledError(mRequest.url), std::nullopt, std::nullopt);
}

bool URLSessionDataTask::complete(std::optional<Error> error, std::optional<HTTPURLResponse> response,
                                  std::optional<std::string> data) {
    DataTaskCompletion handler;
    {
        std::lock_guard lock(mMutex);
        if (mState.load() == State::Completed) return false;
        mState = State::Completed;
        handler = std::move(mCompletion);
        mCompletion = nullptr;
    }
    if (handler)
        mQueue->async([handler = std::move(handler), error = std::move(error), response = std::move(response),
                       data = std::move(data)] { handler(error, response, data); });
    return true;
}

// ---- URLSession ----

URLSession::URLSession(std::shared_ptr<DispatchQueue> queue, std::size_t maximumResponseBytes)
    : mQueue(std::move(queue)), mEngine(std::make_shared<detail::URLSessionEngine>(maximumResponseBytes)) {}

URLSession::~URLSession() { mEngine->shutdown(); }

std::shared_ptr<URLSession> URLSession::shared() {
    // Never destroyed: completions may still be queued while the process exits.
    static auto* session = new std::shared_ptr<URLSession>(create(DispatchQueue::createSerialThread("com.zqlivekit.urlsession.shared")));
    return *session;
}

std::shared_ptr<URLSession> URLSession::create(std::shared_ptr<DispatchQueue> delegateQueue,
                                               std::size_t maximumResponseBytes) {
    if (!delegateQueue) delegateQueue = DispatchQueue::createSerial("com.zqlivekit.urlsession");
    return std::shared_ptr<URLSession>(new URLSession(std::move(delegateQueue), maximumResponseBytes));
}

std::shared_ptr<URLSessionDataTask> URLSession::dataTask(URLRequest request, DataTaskCompletion completion) {
    return std::make_shared<URLSessionDataTask>(mNextIdentifier++, std::move(request), std::move(completion), mEngine,
                                                mQueue);
}

} // namespace platform
