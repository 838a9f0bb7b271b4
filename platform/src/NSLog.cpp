// The log facility: one line per message on standard error behind a
// "date time.millis program[pid:tid]" prefix.
#include <Platform/Foundation.h>

#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <mutex>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

namespace {

std::mutex& logMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string logPrefix() {
    using namespace std::chrono;
    const auto now = system_clock::now();
    const time_t seconds = system_clock::to_time_t(now);
    const long millis = long(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    struct tm local {};
    localtime_r(&seconds, &local);
    char date[32];
    strftime(date, sizeof date, "%Y-%m-%d %H:%M:%S", &local);
    char prefix[160];
    snprintf(prefix, sizeof prefix, "%s.%03ld %s[%d:%ld] ", date, millis, program_invocation_short_name, int(getpid()),
             long(syscall(SYS_gettid)));
    return prefix;
}

std::string formatMessage(const char* format, va_list args) {
    va_list measure;
    va_copy(measure, args);
    const int length = vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (length <= 0) return {};
    std::string text(size_t(length) + 1, '\0');
    vsnprintf(text.data(), text.size(), format, args);
    text.resize(size_t(length));
    return text;
}

// One write call carries the whole line; the lock only matters when the
// descriptor takes a line in several pieces (a full pipe), so that the rest
// of a line is never overtaken by another thread's line.
void writeLine(const std::string& line) {
    std::lock_guard lock(logMutex());
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        done += size_t(n);
    }
}

} // namespace

void NSLogv(const char* format, va_list args) {
    std::string line = logPrefix();
    line += formatMessage(format, args);
    if (line.empty() || line.back() != '\n') line += '\n';
    writeLine(line);
}

void NSLog(const char* format, ...) {
    va_list args;
    va_start(args, format);
    NSLogv(format, args);
    va_end(args);
}
