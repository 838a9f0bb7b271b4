// URL session over libcurl: one background thread per session drives every
// transfer through a multi handle and runs the completions in turn.
#include <Platform/URLSession.h>

#include <curl/curl.h>
#include <pthread.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace {

constexpr long kDefaultTimeoutSeconds = 60;

bool sameFieldName(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

void initialiseCurlOnce() {
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long urlErrorCode(CURLcode result) {
    switch (result) {
    case CURLE_UNSUPPORTED_PROTOCOL:
    case CURLE_URL_MALFORMAT:
        return NSURLErrorUnsupportedURL;
    case CURLE_COULDNT_RESOLVE_HOST:
        return NSURLErrorCannotFindHost;
    case CURLE_COULDNT_CONNECT:
        return NSURLErrorCannotConnectToHost;
    case CURLE_OPERATION_TIMEDOUT:
        return NSURLErrorTimedOut;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE:
        return NSURLErrorNetworkConnectionLost;
    case CURLE_WEIRD_SERVER_REPLY:
        return NSURLErrorBadServerResponse;
    default:
        return NSURLErrorUnknown;
    }
}

// Loopback never goes through a proxy, whatever the environment says.
std::string noProxyList() {
    std::string list = "localhost,127.0.0.1,::1";
    for (const char* name : {"no_proxy", "NO_PROXY"}) {
        if (const char* value = std::getenv(name); value && *value) return list + "," + value;
    }
    return list;
}

size_t appendReceived(char* data, size_t size, size_t count, void* userData) {
    static_cast<std::string*>(userData)->append(data, size * count);
    return size * count;
}

struct Transfer {
    NSMutableURLRequest request;
    NSURLSessionDataTaskCompletion completion;
    CURL* easy = nullptr;
    curl_slist* headers = nullptr;
    std::string received;
    char errorText[CURL_ERROR_SIZE] = {};

    ~Transfer() {
        if (easy) curl_easy_cleanup(easy);
        if (headers) curl_slist_free_all(headers);
    }
};

} // namespace

void NSMutableURLRequest::setValue(const std::string& value, const std::string& field) {
    auto existing = std::find_if(allHTTPHeaderFields.begin(), allHTTPHeaderFields.end(),
                                 [&](const auto& entry) { return sameFieldName(entry.first, field); });
    if (existing != allHTTPHeaderFields.end())
        existing->second = value;
    else
        allHTTPHeaderFields.emplace_back(field, value);
}

struct NSURLSession::Worker {
    std::mutex mutex;
    std::deque<std::unique_ptr<Transfer>> pending;  // guarded by mutex
    bool stopping = false;                           // guarded by mutex
    CURLM* multi = nullptr;
    std::map<CURL*, std::unique_ptr<Transfer>> active;  // worker thread only
    std::thread thread;

    Worker() {
        multi = curl_multi_init();
        thread = std::thread([this] { run(); });
    }
    ~Worker() {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        curl_multi_wakeup(multi);
        thread.join();
        for (auto& [easy, transfer] : active) curl_multi_remove_handle(multi, easy);
        active.clear();
        curl_multi_cleanup(multi);
    }

    void submit(std::unique_ptr<Transfer> transfer) {
        {
            std::lock_guard lock(mutex);
            pending.push_back(std::move(transfer));
        }
        curl_multi_wakeup(multi);
    }

    void run() {
        pthread_setname_np(pthread_self(), "NSURLSession");
        for (;;) {
            std::deque<std::unique_ptr<Transfer>> starting;
            {
                std::lock_guard lock(mutex);
                if (stopping) return;
                starting.swap(pending);
            }
            for (auto& transfer : starting) start(std::move(transfer));
            int running = 0;
            curl_multi_perform(multi, &running);
            finishDone();
            curl_multi_poll(multi, nullptr, 0, 1000, nullptr);
        }
    }

    void start(std::unique_ptr<Transfer> transfer) {
        CURL* easy = curl_easy_init();
        if (!easy) {
            complete(*transfer, CURLE_OUT_OF_MEMORY);
            return;
        }
        transfer->easy = easy;
        configure(*transfer);
        if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
            complete(*transfer, CURLE_FAILED_INIT);
            return;
        }
        active.emplace(easy, std::move(transfer));
    }

    static void configure(Transfer& t) {
        const NSMutableURLRequest& r = t.request;
        curl_easy_setopt(t.easy, CURLOPT_URL, r.URL.c_str());
        curl_easy_setopt(t.easy, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(t.easy, CURLOPT_PROTOCOLS_STR, "http,https");
        static const std::string noProxy = noProxyList();
        curl_easy_setopt(t.easy, CURLOPT_NOPROXY, noProxy.c_str());
        curl_easy_setopt(t.easy, CURLOPT_CONNECTTIMEOUT, kDefaultTimeoutSeconds);
        curl_easy_setopt(t.easy, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(t.easy, CURLOPT_LOW_SPEED_TIME, kDefaultTimeoutSeconds);
        curl_easy_setopt(t.easy, CURLOPT_ERRORBUFFER, t.errorText);
        curl_easy_setopt(t.easy, CURLOPT_WRITEFUNCTION, appendReceived);
        curl_easy_setopt(t.easy, CURLOPT_WRITEDATA, &t.received);

        if (r.HTTPMethod == "POST") {
            curl_easy_setopt(t.easy, CURLOPT_POST, 1L);
        } else if (r.HTTPMethod != "GET") {
            curl_easy_setopt(t.easy, CURLOPT_CUSTOMREQUEST, r.HTTPMethod.c_str());
        }
        if (r.HTTPBody || r.HTTPMethod == "POST") {
            const std::string& body = r.HTTPBody ? *r.HTTPBody : std::string();
            curl_easy_setopt(t.easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(t.easy, CURLOPT_POSTFIELDS, r.HTTPBody ? r.HTTPBody->c_str() : "");
        }
        // Requests go out as given: no "Expect: 100-continue" round trip.
        t.headers = curl_slist_append(t.headers, "Expect:");
        for (const auto& [name, value] : r.allHTTPHeaderFields)
            t.headers = curl_slist_append(t.headers, (name + ": " + value).c_str());
        curl_easy_setopt(t.easy, CURLOPT_HTTPHEADER, t.headers);
    }

    void finishDone() {
        int queued = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &queued)) {
            if (message->msg != CURLMSG_DONE) continue;
            CURL* easy = message->easy_handle;
            CURLcode result = message->data.result;
            curl_multi_remove_handle(multi, easy);
            auto node = active.extract(easy);
            if (node.empty()) continue;
            complete(*node.mapped(), result);
        }
    }

    static void complete(Transfer& t, CURLcode result) {
        auto completion = std::move(t.completion);
        if (!completion) return;
        if (result != CURLE_OK) {
            std::string description = t.errorText[0] ? t.errorText : curl_easy_strerror(result);
            completion(std::nullopt, nullptr, makeError(NSURLErrorDomain, urlErrorCode(result), description));
            return;
        }
        long status = 0;
        curl_easy_getinfo(t.easy, CURLINFO_RESPONSE_CODE, &status);
        auto response = std::make_shared<const NSHTTPURLResponse>(NSHTTPURLResponse{t.request.URL, status});
        completion(std::move(t.received), std::move(response), nullptr);
    }
};

NSURLSessionDataTask::NSURLSessionDataTask(std::shared_ptr<NSURLSession> session, NSMutableURLRequest request,
                                           NSURLSessionDataTaskCompletion completion)
    : session_(std::move(session)), request_(std::move(request)), completion_(std::move(completion)) {}

void NSURLSessionDataTask::resume() {
    if (resumed_) return;
    resumed_ = true;
    session_->enqueue(std::move(request_), std::move(completion_));
}

NSURLSession::NSURLSession() : worker_(std::make_unique<Worker>()) {}

NSURLSession::~NSURLSession() = default;

std::shared_ptr<NSURLSession> NSURLSession::sharedSession() {
    // Never destroyed: completions may still be running while the process exits.
    static auto* shared = [] {
        initialiseCurlOnce();
        return new std::shared_ptr<NSURLSession>(new NSURLSession());
    }();
    return *shared;
}

NSURLSessionDataTaskPtr NSURLSession::dataTaskWithRequest(const NSMutableURLRequest& request,
                                                          NSURLSessionDataTaskCompletion completion) {
    return NSURLSessionDataTaskPtr(new NSURLSessionDataTask(shared_from_this(), request, std::move(completion)));
}

void NSURLSession::enqueue(NSMutableURLRequest request, NSURLSessionDataTaskCompletion completion) {
    auto transfer = std::make_unique<Transfer>();
    transfer->request = std::move(request);
    transfer->completion = std::move(completion);
    worker_->submit(std::move(transfer));
}
