// URL session: an HTTP client whose requests run in the background.
//
// A session owns one background thread. Every task of the session is
// transferred there (several at a time), and every completion handler runs on
// that thread, one after another -- never on the thread that resumed the task.
#pragma once

#include <Platform/Foundation.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

// Errors of the URL loading system.
inline constexpr const char* NSURLErrorDomain = "NSURLErrorDomain";
inline constexpr long NSURLErrorUnknown = -1;
inline constexpr long NSURLErrorTimedOut = -1001;
inline constexpr long NSURLErrorUnsupportedURL = -1002;
inline constexpr long NSURLErrorCannotFindHost = -1003;
inline constexpr long NSURLErrorCannotConnectToHost = -1004;
inline constexpr long NSURLErrorNetworkConnectionLost = -1005;
inline constexpr long NSURLErrorBadServerResponse = -1011;

struct NSMutableURLRequest {
    std::string URL;
    std::string HTTPMethod = "GET";
    std::vector<std::pair<std::string, std::string>> allHTTPHeaderFields;
    std::optional<std::string> HTTPBody;

    static NSMutableURLRequest requestWithURL(std::string url) {
        NSMutableURLRequest request;
        request.URL = std::move(url);
        return request;
    }
    // Replaces an existing field of the same name (names compare without case).
    void setValue(const std::string& value, const std::string& field);
};

struct NSHTTPURLResponse {
    std::string URL;
    long statusCode = 0;
};
using NSHTTPURLResponsePtr = std::shared_ptr<const NSHTTPURLResponse>;

// data: the reply body (present whenever a response is), response: present
// when the server answered, error: present when the transfer failed.
using NSURLSessionDataTaskCompletion =
    std::function<void(std::optional<std::string> data, NSHTTPURLResponsePtr response, NSErrorPtr error)>;

class NSURLSession;

class NSURLSessionDataTask {
public:
    // Starts the transfer; later calls do nothing.
    void resume();

private:
    friend class NSURLSession;
    NSURLSessionDataTask(std::shared_ptr<NSURLSession> session, NSMutableURLRequest request,
                         NSURLSessionDataTaskCompletion completion);
    std::shared_ptr<NSURLSession> session_;
    NSMutableURLRequest request_;
    NSURLSessionDataTaskCompletion completion_;
    bool resumed_ = false;
};
using NSURLSessionDataTaskPtr = std::shared_ptr<NSURLSessionDataTask>;

class NSURLSession : public std::enable_shared_from_this<NSURLSession> {
public:
    // The process-wide session; lives until the process ends.
    static std::shared_ptr<NSURLSession> sharedSession();

    // Default limits: 60 s to connect, and a transfer that moves no byte for
    // 60 s fails with NSURLErrorTimedOut.
    NSURLSessionDataTaskPtr dataTaskWithRequest(const NSMutableURLRequest& request,
                                                NSURLSessionDataTaskCompletion completion);

    ~NSURLSession();
    struct Worker;

private:
    friend class NSURLSessionDataTask;
    NSURLSession();
    void enqueue(NSMutableURLRequest request, NSURLSessionDataTaskCompletion completion);
    std::unique_ptr<Worker> worker_;
};
using NSURLSessionPtr = std::shared_ptr<NSURLSession>;
