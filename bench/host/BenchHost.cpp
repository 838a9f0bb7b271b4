#include "BenchHost.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

extern char** environ;

namespace hostbench {

void die(const std::string& message) {
    std::fprintf(stderr, "bench: %s\n", message.c_str());
    std::exit(1);
}

LineClient::~LineClient() { ::close(fd_); }

int LineClient::connectTo(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof address.sun_path - 1);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

void LineClient::sendLine(const std::string& line) {
    std::string bytes = line + "\n";
    for (size_t sent = 0; sent < bytes.size();) {
        ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("write to socket failed");
        sent += size_t(n);
    }
}

std::string LineClient::readLine() {
    for (;;) {
        auto end = pending_.find('\n');
        if (end != std::string::npos) {
            std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            return line;
        }
        char chunk[65536];
        ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) die("connection ended before a reply");
        pending_.append(chunk, size_t(n));
    }
}

nlohmann::json LineClient::request(const nlohmann::json& request) {
    sendLine(request.dump());
    return nlohmann::json::parse(readLine());
}

BenchHost::BenchHost() {
    char pattern[] = "/tmp/sah-bench-XXXXXX";
    if (!::mkdtemp(pattern)) die("mkdtemp failed");
    dir_ = pattern;
    socket_ = dir_ + "/host.sock";

    const std::string log = dir_ + "/host.log";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    std::string binary = SORVANE_AU_HOST_BINARY;
    std::vector<char*> argv = {binary.data(), const_cast<char*>("--socket"), socket_.data(), nullptr};
    if (posix_spawn(&pid_, binary.c_str(), &actions, nullptr, argv.data(), environ) != 0) die("cannot start host");
    posix_spawn_file_actions_destroy(&actions);

    for (int attempt = 0; attempt < 10000; ++attempt) {
        int fd = LineClient::connectTo(socket_);
        if (fd >= 0) {
            client_ = new LineClient(fd);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    die("host did not start listening");
}

BenchHost::~BenchHost() {
    if (client_) {
        client_->sendLine(R"({"cmd":"shutdown"})");
        delete client_;
    }
    int status = 0;
    ::waitpid(pid_, &status, 0);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

nlohmann::json BenchHost::ok(const nlohmann::json& request) {
    nlohmann::json reply = client_->request(request);
    if (reply.value("status", "") != "ok") die(request.dump() + " -> " + reply.dump());
    return reply;
}

long BenchHost::residentKilobytes() const {
    std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

Percentiles percentiles(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    auto at = [&](double q) { return values[std::min(values.size() - 1, size_t(q * double(values.size())))]; };
    return {at(0.5), at(0.99)};
}

}  // namespace hostbench
