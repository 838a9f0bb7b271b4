#include "HostProcess.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace hosttest {

std::string hostBinaryPath() { return SORVANE_AU_HOST_BINARY; }

// ---------------------------------------------------------------------------

TempDir::TempDir() {
    char pattern[] = "/tmp/sah-XXXXXX";
    if (::mkdtemp(pattern) == nullptr) ADD_FAILURE() << "mkdtemp failed: " << std::strerror(errno);
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

// ---------------------------------------------------------------------------

XServer::XServer(int screens) {
    int displayPipe[2];
    if (::pipe2(displayPipe, O_CLOEXEC) != 0) return;
    // -noreset: by default the server resets whenever its last client goes,
    // and a connection opened during a reset is refused.
    std::vector<std::string> argv{"Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-noreset"};
    for (int screen = 0; screen < screens; ++screen)
        argv.insert(argv.end(), {"-screen", std::to_string(screen), "320x240x24"});
    std::vector<char*> argvPointers;
    for (auto& argument : argv) argvPointers.push_back(argument.data());
    argvPointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, displayPipe[1], 3);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    int error = ::posix_spawnp(&pid_, "Xvfb", &actions, nullptr, argvPointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(displayPipe[1]);
    if (error != 0) {
        pid_ = -1;
        ::close(displayPipe[0]);
        return;
    }
    // Xvfb writes the display number once it accepts connections.
    std::string number;
    char c;
    while (::read(displayPipe[0], &c, 1) == 1 && c != '\n') number.push_back(c);
    ::close(displayPipe[0]);
    if (!number.empty()) display_ = ":" + number;
}

XServer::~XServer() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    ::waitpid(pid_, nullptr, 0);
}

// ---------------------------------------------------------------------------

namespace {

std::vector<std::string> mergedEnvironment(const Environment& changes) {
    std::map<std::string, std::string> variables;
    for (char** entry = environ; *entry; ++entry) {
        std::string_view text(*entry);
        auto equals = text.find('=');
        if (equals == std::string_view::npos) continue;
        variables[std::string(text.substr(0, equals))] = std::string(text.substr(equals + 1));
    }
    for (const auto& [name, value] : changes) {
        if (value)
            variables[name] = *value;
        else
            variables.erase(name);
    }
    std::vector<std::string> result;
    for (const auto& [name, value] : variables) result.push_back(name + "=" + value);
    return result;
}

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (auto& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// The message part of a log line: what follows the "program[pid:tid] " prefix.
std::string messageOf(const std::string& line) {
    auto end = line.find("] ");
    return end == std::string::npos ? line : line.substr(end + 2);
}

}  // namespace

std::unique_ptr<HostProcess> HostProcess::launch(const std::vector<std::string>& arguments,
                                                 const Environment& environment) {
    int logPipe[2];
    if (::pipe2(logPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe failed: " << std::strerror(errno);
        return nullptr;
    }

    std::vector<std::string> argv{hostBinaryPath()};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    auto envp = mergedEnvironment(environment);
    auto argvPointers = pointersTo(argv);
    auto envPointers = pointersTo(envp);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, logPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, logPipe[1], STDERR_FILENO);

    std::unique_ptr<HostProcess> process(new HostProcess());
    int error = ::posix_spawn(&process->pid_, argv[0].c_str(), &actions, nullptr, argvPointers.data(),
                              envPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(logPipe[1]);
    if (error != 0) {
        ::close(logPipe[0]);
        ADD_FAILURE() << "could not start " << argv[0] << ": " << std::strerror(error);
        return nullptr;
    }
    process->logReader_ = std::thread([p = process.get(), fd = logPipe[0]] { p->readLog(fd); });
    return process;
}

std::unique_ptr<HostProcess> HostProcess::startListening(const std::string& socketPath,
                                                         const Environment& environment) {
    auto process = launch({"--socket", socketPath}, environment);
    if (!process) return nullptr;
    if (!process->waitForLog("[SorvaneAUHost] Listening on ")) {
        ADD_FAILURE() << "host did not start listening; log:\n" << process->logText();
        return nullptr;
    }
    return process;
}

HostProcess::~HostProcess() {
    if (!hasExited()) {
        kill();
        waitForExit();
    }
    if (logReader_.joinable()) logReader_.join();
    if (::testing::Test::HasFailure()) std::cerr << "--- host log (pid " << pid_ << ") ---\n" << logText();
}

void HostProcess::readLog(int fd) {
    std::string partial;
    char buffer[4096];
    for (;;) {
        ssize_t count = ::read(fd, buffer, sizeof buffer);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        partial.append(buffer, size_t(count));
        size_t lineFeed;
        std::lock_guard lock(mutex_);
        while ((lineFeed = partial.find('\n')) != std::string::npos) {
            lines_.push_back(messageOf(partial.substr(0, lineFeed)));
            partial.erase(0, lineFeed + 1);
        }
        changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(mutex_);
    if (!partial.empty()) lines_.push_back(messageOf(partial));
    logEnded_ = true;
    changed_.notify_all();
}

std::vector<std::string> HostProcess::logLines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::string HostProcess::logText() const {
    std::string text;
    for (const auto& line : logLines()) text += line + "\n";
    return text;
}

bool HostProcess::waitForLog(std::string_view fragment, size_t count) {
    std::unique_lock lock(mutex_);
    size_t checked = 0, matches = 0;
    auto found = [&] {
        for (; checked < lines_.size() && matches < count; ++checked)
            if (lines_[checked].find(fragment) != std::string::npos) ++matches;
        return matches >= count;
    };
    changed_.wait_for(lock, std::chrono::milliseconds(kWaitLimitMs), [&] { return found() || logEnded_; });
    return found();
}

size_t HostProcess::countLog(std::string_view fragment) const {
    size_t count = 0;
    for (const auto& line : logLines())
        if (line.find(fragment) != std::string::npos) ++count;
    return count;
}

int HostProcess::waitForExit() {
    if (exitStatus_) return *exitStatus_;
    // The log ends when the process (and every child that inherited its
    // standard error) has gone.
    {
        std::unique_lock lock(mutex_);
        changed_.wait_for(lock, std::chrono::milliseconds(kWaitLimitMs), [&] { return logEnded_; });
    }
    int status = 0;
    for (int waited = 0;; waited += 10) {
        pid_t result = ::waitpid(pid_, &status, WNOHANG);
        if (result == pid_) break;
        if (result < 0 && errno != EINTR) return -1;
        if (waited >= kWaitLimitMs) {
            ADD_FAILURE() << "host " << pid_ << " did not exit";
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            exitStatus_ = -1;
            return -1;
        }
        ::usleep(10000);
    }
    exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (logReader_.joinable()) logReader_.join();
    return *exitStatus_;
}

void HostProcess::kill() {
    if (!hasExited()) ::kill(pid_, SIGKILL);
}

// ---------------------------------------------------------------------------

std::unique_ptr<HostClient> HostClient::connect(const std::string& socketPath) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return nullptr;
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::unique_ptr<HostClient>(new HostClient(fd));
}

HostClient::~HostClient() { close(); }

bool HostClient::send(std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        bytes.remove_prefix(size_t(written));
    }
    return true;
}

HostClient::Fill HostClient::fill() {
    pollfd readable{fd_, POLLIN, 0};
    int ready;
    do {
        ready = ::poll(&readable, 1, kWaitLimitMs);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0) {
        ADD_FAILURE() << "no reply from the host";
        return Fill::TimedOut;
    }
    if (ready < 0) return Fill::End;
    char buffer[65536];
    ssize_t count;
    do {
        count = ::recv(fd_, buffer, sizeof buffer, 0);
    } while (count < 0 && errno == EINTR);
    // A reset (the host closed with our bytes unread) ends the input too.
    if (count <= 0) return Fill::End;
    pending_.append(buffer, size_t(count));
    return Fill::Data;
}

std::optional<std::string> HostClient::readLine() {
    for (;;) {
        auto lineFeed = pending_.find('\n');
        if (lineFeed != std::string::npos) {
            std::string line = pending_.substr(0, lineFeed);
            pending_.erase(0, lineFeed + 1);
            return line;
        }
        if (fill() != Fill::Data) return std::nullopt;
    }
}

std::optional<nlohmann::json> HostClient::readReply() {
    auto line = readLine();
    if (!line) return std::nullopt;
    auto parsed = nlohmann::json::parse(*line, nullptr, false);
    if (parsed.is_discarded()) {
        ADD_FAILURE() << "reply is not JSON: " << *line;
        return std::nullopt;
    }
    return parsed;
}

std::optional<nlohmann::json> HostClient::request(const nlohmann::json& request) {
    if (!send(request.dump() + "\n")) return std::nullopt;
    return readReply();
}

bool HostClient::waitForClose() {
    while (pending_.empty()) {
        switch (fill()) {
            case Fill::Data: break;
            case Fill::End: return pending_.empty();
            case Fill::TimedOut: return false;
        }
    }
    ADD_FAILURE() << "unexpected bytes from the host: " << pending_;
    return false;
}

void HostClient::shutdownWrite() { ::shutdown(fd_, SHUT_WR); }

void HostClient::close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

nlohmann::json okReply() { return {{"status", "ok"}}; }

nlohmann::json errorReply(const std::string& message) { return {{"status", "error"}, {"message", message}}; }

}  // namespace hosttest
