#include "FakeApplication.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace effecttest {

namespace {

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return text;
}

std::string trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t");
    if (first == std::string::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

bool sendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += size_t(n);
    }
    return true;
}

// Reads one request: head up to the blank line, then Content-Length bytes.
bool readRequest(int fd, HttpRequest* request) {
    std::string received;
    char chunk[4096];
    size_t headEnd = std::string::npos;
    while ((headEnd = received.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        received.append(chunk, size_t(n));
    }
    std::istringstream head(received.substr(0, headEnd));
    std::string line;
    std::getline(head, line);
    std::istringstream requestLine(line);
    requestLine >> request->method >> request->target >> request->version;
    while (std::getline(head, line)) {
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        request->headers.emplace_back(line.substr(0, colon), trimmed(line.substr(colon + 1)));
    }
    const std::string length = request->header("Content-Length");
    const size_t bodyLength = length.empty() ? 0 : std::stoul(length);
    request->body = received.substr(headEnd + 4);
    while (request->body.size() < bodyLength) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return false;
        request->body.append(chunk, size_t(n));
    }
    return true;
}

} // namespace

std::string HttpRequest::header(const std::string& name) const {
    for (const auto& [field, value] : headers)
        if (lowercase(field) == lowercase(name)) return value;
    return {};
}

size_t HttpRequest::headerCount(const std::string& name) const {
    return size_t(std::count_if(headers.begin(), headers.end(),
                                [&](const auto& entry) { return lowercase(entry.first) == lowercase(name); }));
}

FakeApplication::FakeApplication(Handler handler) : handler_(std::move(handler)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(kPort);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(listener_, 16) != 0) {
        const std::string reason = std::strerror(errno);
        ::close(listener_);
        throw std::runtime_error("cannot listen on 127.0.0.1:7799: " + reason);
    }
    if (::pipe2(wake_, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    thread_ = std::thread([this] { serve(); });
}

FakeApplication::~FakeApplication() {
    (void)!::write(wake_[1], "x", 1);
    thread_.join();
    ::close(listener_);
    ::close(wake_[0]);
    ::close(wake_[1]);
}

std::vector<HttpRequest> FakeApplication::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

void FakeApplication::serve() {
    for (;;) {
        pollfd fds[2] = {{listener_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        if (!(fds[0].revents & POLLIN)) continue;
        const int connection = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection < 0) continue;
        answer(connection);
        ::close(connection);
    }
}

void FakeApplication::answer(int connection) {
    timeval limit{10, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    HttpRequest request;
    if (!readRequest(connection, &request)) return;
    {
        std::lock_guard lock(mutex_);
        requests_.push_back(request);
    }
    const HttpReply reply = handler_(request);
    if (!reply.answer) return;
    std::ostringstream out;
    out << "HTTP/1.1 " << reply.status << (reply.status == 200 ? " OK" : " Status") << "\r\n"
        << "Content-Type: application/json\r\n"
        << "Content-Length: " << reply.body.size() << "\r\n"
        << "Connection: close\r\n\r\n"
        << reply.body;
    sendAll(connection, out.str());
}

} // namespace effecttest
