// Test fixture for the host process: starts the real SorvaneAUHost binary on a
// temporary socket with a chosen environment, collects its log lines, and
// talks to it over real Unix-domain connections.
#pragma once

#include <nlohmann/json.hpp>

#include <sys/types.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace hosttest {

// Generous bound on every wait, so that a hung host fails a test instead of
// stalling the suite. Nothing is timed against it.
inline constexpr int kWaitLimitMs = 30000;

// Path of the built host program.
std::string hostBinaryPath();

// A fresh directory under /tmp (short, so that socket paths fit), removed
// with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// A private X server (Xvfb) on a free display number, with `screens`
// screens, for the life of the object. display() is empty when it did not start.
class XServer {
public:
    explicit XServer(int screens = 1);
    ~XServer();
    XServer(const XServer&) = delete;
    XServer& operator=(const XServer&) = delete;
    const std::string& display() const { return display_; }

private:
    pid_t pid_ = -1;
    std::string display_;
};

// Variables to set (a value) or to remove (nothing) on top of the test's own
// environment.
using Environment = std::map<std::string, std::optional<std::string>>;

// One running host process. Killed and reaped when the object goes, if it
// has not exited by then.
class HostProcess {
public:
    // Starts the program with exactly these arguments (after the program name).
    static std::unique_ptr<HostProcess> launch(const std::vector<std::string>& arguments,
                                               const Environment& environment = {});
    // Starts it with --socket <socketPath> and waits until it listens; fails
    // the current test and returns nothing when it does not.
    static std::unique_ptr<HostProcess> startListening(const std::string& socketPath,
                                                       const Environment& environment = {});
    ~HostProcess();
    HostProcess(const HostProcess&) = delete;
    HostProcess& operator=(const HostProcess&) = delete;

    pid_t pid() const { return pid_; }

    // Log messages so far, without the log facility's time-and-process prefix.
    std::vector<std::string> logLines() const;
    // Waits until `count` log messages containing `fragment` have appeared;
    // false when the log ends (or the wait limit passes) before.
    bool waitForLog(std::string_view fragment, size_t count = 1);
    // Number of log messages containing `fragment` so far.
    size_t countLog(std::string_view fragment) const;
    // Waits for the process to end and for its log to be complete; returns the
    // exit status, or 128 + signal number, or -1 when it does not end in time
    // (it is then killed).
    int waitForExit();
    bool hasExited() const { return exitStatus_.has_value(); }
    void kill();
    // The log, one message per line, for failure messages.
    std::string logText() const;

private:
    HostProcess() = default;
    void readLog(int fd);

    pid_t pid_ = -1;
    std::optional<int> exitStatus_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool logEnded_ = false;
    std::thread logReader_;
};

// One client connection to a host.
class HostClient {
public:
    // Connects to the socket at `socketPath`; nothing when that fails.
    static std::unique_ptr<HostClient> connect(const std::string& socketPath);
    ~HostClient();
    HostClient(const HostClient&) = delete;
    HostClient& operator=(const HostClient&) = delete;

    // Writes all bytes in one write call (as far as the socket takes them).
    bool send(std::string_view bytes);
    // The next reply line without its line feed; nothing at end of input
    // (or when the wait limit passes).
    std::optional<std::string> readLine();
    // The next reply line parsed as JSON; nothing when there is no line or
    // it is not JSON.
    std::optional<nlohmann::json> readReply();
    // Sends one compact request line and reads its reply.
    std::optional<nlohmann::json> request(const nlohmann::json& request);
    // True when the host closes the connection before sending anything else.
    bool waitForClose();
    // Ends the client's sending side; the host sees end of input.
    void shutdownWrite();
    void close();

private:
    explicit HostClient(int fd) : fd_(fd) {}
    enum class Fill { Data, End, TimedOut };
    // Reads more bytes into pending_.
    Fill fill();

    int fd_ = -1;
    std::string pending_;
};

// Convenience replies.
nlohmann::json okReply();
nlohmann::json errorReply(const std::string& message);

}  // namespace hosttest
