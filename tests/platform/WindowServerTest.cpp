// Window-server queries: a session exists exactly when the display can be
// opened. The display is a private Xvfb started by the test.
#include <Platform/AppKit.h>

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <pwd.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// An X server with two screens on a display number nobody else holds, for the
// life of the object (-noreset: otherwise it resets when its last client
// leaves and refuses connections meanwhile). The server's own lock decides
// who gets a number; a
// server that starts with SIGUSR1 ignored signals its parent once it accepts
// connections, so no waiting by the clock is needed.
class PrivateXServer {
public:
    PrivateXServer() {
        sigset_t wanted, previous;
        sigemptyset(&wanted);
        sigaddset(&wanted, SIGUSR1);
        sigaddset(&wanted, SIGCHLD);
        pthread_sigmask(SIG_BLOCK, &wanted, &previous);
        for (int attempt = 0; attempt < 64 && display_.empty(); ++attempt) {
            const int number = 300 + int((getpid() * 7 + attempt * 13) % 3000);
            if (start(number, previous)) display_ = ":" + std::to_string(number);
        }
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    }
    ~PrivateXServer() { stop(); }
    const std::string& display() const { return display_; }

private:
    bool start(int number, const sigset_t& childMask) {
        pid_ = fork();
        if (pid_ == 0) {
            sigprocmask(SIG_SETMASK, &childMask, nullptr);
            signal(SIGUSR1, SIG_IGN);
            const int null = open("/dev/null", O_WRONLY);
            dup2(null, STDERR_FILENO);
            const std::string display = ":" + std::to_string(number);
            execlp("Xvfb", "Xvfb", display.c_str(), "-nolisten", "tcp", "-noreset", "-screen", "0", "320x240x24", "-screen", "1",
                   "320x240x24", static_cast<char*>(nullptr));
            _exit(127);
        }
        if (pid_ < 0) return false;
        sigset_t wanted;
        sigemptyset(&wanted);
        sigaddset(&wanted, SIGUSR1);
        sigaddset(&wanted, SIGCHLD);
        const timespec limit{30, 0};
        if (sigtimedwait(&wanted, nullptr, &limit) == SIGUSR1) return true;
        stop(); // the number was taken (the server exited) or it never got ready
        return false;
    }
    void stop() {
        if (pid_ <= 0) return;
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }

    pid_t pid_ = -1;
    std::string display_;
};

std::string currentUser() {
    const passwd* entry = getpwuid(getuid());
    return entry ? entry->pw_name : "";
}

} // namespace

TEST(WindowServer, NoDisplayMeansNoSessionAndNoScreens) {
    unsetenv("DISPLAY");
    EXPECT_EQ(CGSessionCopyCurrentDictionary(), std::nullopt);
    EXPECT_EQ(NSScreenCount(), 0u);

    setenv("DISPLAY", ":4095", 1); // nobody serves this one
    EXPECT_EQ(CGSessionCopyCurrentDictionary(), std::nullopt);
    EXPECT_EQ(NSScreenCount(), 0u);
}

TEST(WindowServer, AnOpenableDisplayIsASession) {
    PrivateXServer server;
    ASSERT_FALSE(server.display().empty()) << "Xvfb did not start";
    setenv("DISPLAY", server.display().c_str(), 1);
    const auto session = CGSessionCopyCurrentDictionary();
    ASSERT_TRUE(session);
    EXPECT_EQ(session->at("kCGSSessionOnConsoleKey"), "1");
    EXPECT_EQ(session->at("kCGSessionLoginDoneKey"), "1");
    EXPECT_EQ(session->at("kCGSSessionUserNameKey"), currentUser());
    EXPECT_EQ(NSScreenCount(), 2u);
}
