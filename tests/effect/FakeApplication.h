// Plays the application's side of registration: an HTTP server on the
// loopback interface, port 7799, that records each request and answers it as
// the test says (a reply with a status and body, or closing without one).
// Tests using it hold the CTest resource lock "port7799".
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace effecttest {

struct HttpRequest {
    std::string method, target, version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // Value of a header (name compared without case); empty when absent.
    std::string header(const std::string& name) const;
    size_t headerCount(const std::string& name) const;
};

struct HttpReply {
    bool answer = true;  // false: close the connection without a reply
    int status = 200;
    std::string body;

    static HttpReply json(std::string body, int status = 200) { return {true, status, std::move(body)}; }
    static HttpReply none() { return {false, 0, {}}; }
};

class FakeApplication {
public:
    static constexpr int kPort = 7799;
    using Handler = std::function<HttpReply(const HttpRequest&)>;

    explicit FakeApplication(Handler handler);
    ~FakeApplication();
    FakeApplication(const FakeApplication&) = delete;
    FakeApplication& operator=(const FakeApplication&) = delete;

    std::vector<HttpRequest> requests() const;

private:
    void serve();
    void answer(int connection);

    Handler handler_;
    int listener_ = -1;
    int wake_[2] = {-1, -1};
    mutable std::mutex mutex_;
    std::vector<HttpRequest> requests_;
    std::thread thread_;
};

} // namespace effecttest
