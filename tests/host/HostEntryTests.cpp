// The host process as a program: arguments, exit statuses, start-up log,
// socket file life cycle.
#include "HostProcess.h"

#include <gtest/gtest.h>

#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

using namespace hosttest;

namespace {

const char* kUsage = "[SorvaneAUHost] Usage: SorvaneAUHost --socket <path>";

bool exists(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0;
}

bool isSocket(const std::string& path) {
    struct stat info {};
    return ::lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode);
}

// Log messages of the host itself (the platform may log lines of its own).
std::vector<std::string> hostMessages(const HostProcess& host) {
    std::vector<std::string> messages;
    for (const auto& line : host.logLines())
        if (line.rfind("[SorvaneAUHost]", 0) == 0 || line.rfind("[AU-UI-DIAG]", 0) == 0) messages.push_back(line);
    return messages;
}

std::string expectedConsoleLine() {
    struct stat console {};
    if (::stat("/dev/console", &console) != 0)
        return "[AU-UI-DIAG][env] /dev/console stat failed errno=" + std::to_string(errno);
    return "[AU-UI-DIAG][env] /dev/console owner uid=" + std::to_string(console.st_uid) +
           (console.st_uid == 0 ? " (root => no GUI console session)" : " (non-root => GUI console session present)");
}

void shutDown(HostProcess& host, const std::string& socketPath) {
    auto client = HostClient::connect(socketPath);
    ASSERT_TRUE(client);
    EXPECT_EQ(client->request({{"cmd", "shutdown"}}), okReply());
    EXPECT_TRUE(client->waitForClose());
    EXPECT_EQ(host.waitForExit(), 0);
}

// A socket file with nothing listening behind it, as a killed host leaves.
void leaveStaleSocket(const std::string& path) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0) << std::strerror(errno);
    ::close(fd);
}

const Environment kNoDisplay{{"DISPLAY", std::nullopt}, {"SSH_CONNECTION", std::nullopt}};

}  // namespace

TEST(HostEntry, WithoutSocketPathLogsUsageAndExitsWithOne) {
    TempDir dir;
    const std::string path = dir.file("s");
    const std::vector<std::vector<std::string>> cases{
        {},
        {"--verbose", "extra"},
        {"--socket"},
        {"--SOCKET", path},
        {"--socket=" + path},
        {"--socket", "\xff\xfe"},
        // A value that is not UTF-8 replaces the path an earlier pair gave.
        {"--socket", path, "--socket", "bad\xc3("},
    };
    for (const auto& arguments : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        auto host = HostProcess::launch(arguments, kNoDisplay);
        ASSERT_TRUE(host);
        EXPECT_EQ(host->waitForExit(), 1);
        EXPECT_EQ(host->logLines(), std::vector<std::string>{kUsage});
        EXPECT_FALSE(exists(path));
    }
}

TEST(HostEntry, StartUpLogsDiagnosticsInOrderAndShutdownExitsWithZero) {
    struct Case {
        std::optional<std::string> sshConnection;
        std::string sshLine;
    };
    const std::vector<Case> cases{
        {std::nullopt, "[AU-UI-DIAG][env] SSH_CONNECTION=(unset)"},
        {"10.1.2.3 50000 10.1.2.4 22", "[AU-UI-DIAG][env] SSH_CONNECTION=10.1.2.3 50000 10.1.2.4 22"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.sshLine);
        TempDir dir;
        const std::string path = dir.file("host.sock");
        auto host = HostProcess::startListening(path, {{"DISPLAY", std::nullopt}, {"SSH_CONNECTION", c.sshConnection}});
        ASSERT_TRUE(host);
        EXPECT_TRUE(isSocket(path));
        shutDown(*host, path);

        const std::vector<std::string> expected{
            "[SorvaneAUHost] Starting with socket: " + path,
            expectedConsoleLine(),
            "[AU-UI-DIAG][env] CGSessionCopyCurrentDictionary returned NULL (no window-server session for this "
            "process)",
            "[AU-UI-DIAG][env] NSScreen count=0 activationPolicy=0",
            c.sshLine,
            "[SorvaneAUHost] Listening on " + path,
            "[SorvaneAUHost] Shutting down",
        };
        EXPECT_EQ(hostMessages(*host), expected);
        EXPECT_EQ(host->logLines().back(), "[SorvaneAUHost] Shutting down");
        EXPECT_FALSE(exists(path)) << "socket file left behind";
    }
}

TEST(HostEntry, WindowServerSessionIsReportedWhenTheDisplayOpens) {
    XServer xServer(2);
    ASSERT_FALSE(xServer.display().empty()) << "Xvfb did not start";
    TempDir dir;
    const std::string path = dir.file("host.sock");
    auto host = HostProcess::startListening(path, {{"DISPLAY", xServer.display()}});
    ASSERT_TRUE(host);
    shutDown(*host, path);

    const passwd* user = ::getpwuid(::getuid());
    ASSERT_TRUE(user);
    EXPECT_EQ(host->countLog(std::string("[AU-UI-DIAG][env] CGSession present onConsole=1 loginDone=1 user=") +
                             user->pw_name),
              1u);
    EXPECT_EQ(host->countLog("[AU-UI-DIAG][env] NSScreen count=2 activationPolicy=0"), 1u);
    EXPECT_EQ(host->countLog("returned NULL"), 0u);
}

TEST(HostEntry, LastSocketPairWinsAndOtherArgumentsAreIgnored) {
    TempDir dir;
    const std::string first = dir.file("a"), second = dir.file("b");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--socket", first, "--socket", second}, second},
        {{"--verbose", "--socket", second, "extra"}, second},
        // "--socket" as a value is taken as the path, not as a new option.
        {{"--socket", "--socket", "--socket", second}, second},
    };
    for (const auto& [arguments, expectedPath] : cases) {
        SCOPED_TRACE(::testing::PrintToString(arguments));
        auto host = HostProcess::launch(arguments, kNoDisplay);
        ASSERT_TRUE(host);
        ASSERT_TRUE(host->waitForLog("[SorvaneAUHost] Listening on " + expectedPath)) << host->logText();
        EXPECT_EQ(host->countLog("[SorvaneAUHost] Starting with socket: " + expectedPath), 1u);
        EXPECT_FALSE(exists(first));
        shutDown(*host, expectedPath);
    }
}

TEST(HostEntry, SocketThatCannotBeSetUpExitsWithOne) {
    TempDir dir;
    ::mkdir(dir.file("occupied").c_str(), 0700);
    const std::vector<std::pair<std::string, std::string>> cases{
        {dir.file("missing/host.sock"), "[ControlSocket] bind() failed: No such file or directory"},
        {"", "[ControlSocket] bind() failed: No such file or directory"},
        // A directory at the path cannot be removed and blocks the address.
        {dir.file("occupied"), "[ControlSocket] bind() failed: Address already in use"},
    };
    for (const auto& [path, failureLine] : cases) {
        SCOPED_TRACE(path);
        auto host = HostProcess::launch({"--socket", path}, kNoDisplay);
        ASSERT_TRUE(host);
        EXPECT_EQ(host->waitForExit(), 1);
        EXPECT_EQ(host->countLog(failureLine), 1u) << host->logText();
        EXPECT_EQ(host->logLines().back(), "[SorvaneAUHost] Failed to start listening on socket");
        EXPECT_EQ(host->countLog("Listening on"), 0u);
    }
}

TEST(HostEntry, LeftoverFileAtThePathIsReplaced) {
    TempDir dir;
    const std::string staleSocket = dir.file("stale.sock"), plainFile = dir.file("plain.sock");
    leaveStaleSocket(staleSocket);
    std::ofstream(plainFile) << "left behind";
    for (const auto& path : {staleSocket, plainFile}) {
        SCOPED_TRACE(path);
        auto host = HostProcess::startListening(path, kNoDisplay);
        ASSERT_TRUE(host);
        EXPECT_TRUE(isSocket(path));
        shutDown(*host, path);
        EXPECT_FALSE(exists(path));
    }
}

TEST(HostEntry, SocketFileIsOnlyForItsOwner) {
    TempDir dir;
    const std::string path = dir.file("host.sock");
    // Even a permissive file-creation mask must not open the socket to others.
    mode_t previousMask = ::umask(0);
    auto host = HostProcess::startListening(path, kNoDisplay);
    ::umask(previousMask);
    ASSERT_TRUE(host);
    struct stat info {};
    ASSERT_EQ(::stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISSOCK(info.st_mode));
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_EQ(info.st_uid, ::getuid());
    shutDown(*host, path);
}

TEST(HostEntry, OverlongPathIsCutToTheAddressField) {
    TempDir dir;
    const std::string path = dir.path() + "/" + std::string(120, 'p');
    const std::string bound = path.substr(0, sizeof(sockaddr_un::sun_path) - 1);
    ASSERT_EQ(bound.size(), 107u);
    leaveStaleSocket(bound);

    auto host = HostProcess::startListening(path, kNoDisplay);
    ASSERT_TRUE(host);
    EXPECT_TRUE(host->waitForLog("[SorvaneAUHost] Listening on " + path));
    EXPECT_TRUE(isSocket(bound));
    shutDown(*host, bound);
    EXPECT_FALSE(exists(bound)) << "the socket file actually bound must go at shutdown";
}

TEST(HostEntry, SecondHostTakesOverThePath) {
    TempDir dir;
    const std::string path = dir.file("host.sock");
    auto first = HostProcess::startListening(path, kNoDisplay);
    ASSERT_TRUE(first);
    auto firstClient = HostClient::connect(path);
    ASSERT_TRUE(firstClient);
    ASSERT_EQ(firstClient->request({{"cmd", "unload"}, {"id", "x"}}), okReply());

    auto second = HostProcess::startListening(path, kNoDisplay);
    ASSERT_TRUE(second);

    // New connections reach the second host; the first keeps its connection.
    auto secondClient = HostClient::connect(path);
    ASSERT_TRUE(secondClient);
    ASSERT_TRUE(second->waitForLog("[ControlSocket] Client connected"));
    EXPECT_EQ(first->countLog("[ControlSocket] Client connected"), 1u);
    EXPECT_EQ(firstClient->request({{"cmd", "unload"}, {"id", "x"}}), okReply());

    // The first host leaves the second one's socket file alone when it stops.
    EXPECT_EQ(firstClient->request({{"cmd", "shutdown"}}), okReply());
    EXPECT_EQ(first->waitForExit(), 0);
    EXPECT_TRUE(isSocket(path));
    EXPECT_EQ(secondClient->request({{"cmd", "unload"}, {"id", "x"}}), okReply());
    auto lateClient = HostClient::connect(path);
    ASSERT_TRUE(lateClient) << "second host unreachable after the first one stopped";
    EXPECT_EQ(lateClient->request({{"cmd", "shutdown"}}), okReply());
    EXPECT_EQ(second->waitForExit(), 0);
    EXPECT_FALSE(exists(path));
}
