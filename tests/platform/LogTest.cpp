// The log: one whole line per message behind the time-and-process prefix,
// whatever the number of threads writing.
#include <Platform/Foundation.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

// Collects what the process writes to standard error while it lives.
class StandardErrorCapture {
public:
    StandardErrorCapture() {
        int fds[2];
        if (pipe(fds) != 0) throw std::runtime_error("pipe");
        saved_ = dup(STDERR_FILENO);
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        reader_ = std::thread([this, fd = fds[0]] {
            char buffer[65536];
            ssize_t n;
            while ((n = read(fd, buffer, sizeof buffer)) > 0) text_.append(buffer, size_t(n));
            close(fd);
        });
    }
    // Restores standard error and returns everything written meanwhile.
    std::string finish() {
        dup2(saved_, STDERR_FILENO);
        close(saved_);
        reader_.join();
        return text_;
    }

private:
    int saved_;
    std::thread reader_;
    std::string text_;
};

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

const std::regex kPrefix(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} PlatformTests\[(\d+):(\d+)\] $)");

struct LogLine {
    std::string pid, tid, message;
};

// The prefix is checked with a pattern; the message (which may be long) is
// handed back as it is.
std::optional<LogLine> parse(const std::string& line) {
    const size_t end = line.find("] ");
    if (end == std::string::npos) return std::nullopt;
    const std::string prefix = line.substr(0, end + 2);
    std::smatch match;
    if (!std::regex_match(prefix, match, kPrefix)) return std::nullopt;
    return LogLine{match[1].str(), match[2].str(), line.substr(end + 2)};
}

} // namespace

TEST(Log, OneLineBehindDateTimeProgramAndIds) {
    StandardErrorCapture capture;
    NSLog("[Tag] value %d and %s", 42, "text");
    NSLog("ends with its own line feed\n");
    NSLog("%s", "");
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), 3u);
    const auto first = parse(lines[0]);
    ASSERT_TRUE(first) << lines[0];
    EXPECT_EQ(first->pid, std::to_string(getpid()));
    EXPECT_EQ(first->tid, std::to_string(gettid()));
    EXPECT_EQ(first->message, "[Tag] value 42 and text");
    const auto second = parse(lines[1]);
    ASSERT_TRUE(second) << lines[1];
    EXPECT_EQ(second->message, "ends with its own line feed");
    const auto third = parse(lines[2]);
    ASSERT_TRUE(third) << lines[2];
    EXPECT_EQ(third->message, "");
}

// Long lines (several times the size the pipe takes at once) from many threads
// must still come out whole.
TEST(Log, LinesOfManyThreadsNeverInterleave) {
    constexpr int kThreads = 8, kLines = 60;
    StandardErrorCapture capture;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t)
        writers.emplace_back([t] {
            for (int i = 0; i < kLines; ++i) {
                const std::string body(size_t(50 + (i * 997 + t * 131) % 9000), char('a' + t));
                NSLog("thread %d line %d %s end", t, i, body.c_str());
            }
        });
    for (auto& writer : writers) writer.join();
    const auto lines = splitLines(capture.finish());
    ASSERT_EQ(lines.size(), size_t(kThreads * kLines));
    std::vector<int> next(kThreads, 0);
    for (const auto& line : lines) {
        const auto parsed = parse(line);
        ASSERT_TRUE(parsed) << line.substr(0, 120);
        int t = -1, i = -1, consumed = 0;
        ASSERT_EQ(sscanf(parsed->message.c_str(), "thread %d line %d %n", &t, &i, &consumed), 2)
            << parsed->message.substr(0, 120);
        ASSERT_TRUE(t >= 0 && t < kThreads);
        EXPECT_EQ(i, next[t]++) << "lines of one thread keep their order";
        const std::string body(size_t(50 + (i * 997 + t * 131) % 9000), char('a' + t));
        EXPECT_EQ(parsed->message.substr(size_t(consumed)), body + " end");
    }
}
