// Small fixtures of the effect tests: the process's log read back, a private
// temporary directory, and a stream's three shared files as the application
// creates them.
#pragma once

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

namespace effecttest {

// Sends standard error (where the log facility writes) to a file for the
// object's lifetime; the captured text is echoed to the real standard error
// afterwards so that failures show the log.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::string text() const;
    // Messages of the effect: each log line from its "[SORVANE]" tag on.
    std::vector<std::string> effectMessages() const;
    size_t count(const std::string& message) const;
    size_t countStartingWith(const std::string& prefix) const;
    // Waits (up to a generous deadline) until `message` has been logged
    // `times` times; false when it never was.
    bool waitFor(const std::string& message, size_t times = 1) const;
    bool waitForStartOf(const std::string& prefix, size_t times = 1) const;

private:
    std::filesystem::path path_;
    int savedStderr_ = -1;
};

// Polls `condition` until it holds or a generous deadline passes.
bool eventually(const std::function<bool()>& condition);

class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// location/name + "_ctl", "_out", "_in".
struct StreamFiles {
    std::filesystem::path location;
    std::string name;

    std::filesystem::path path(const std::string& suffix) const;
    // Control file of `bytes` bytes (zero-filled) with word 2 = gain where it fits.
    void createControl(float gain, size_t bytes = 12) const;
    void createRing(const std::string& suffix, const std::vector<float>& samples) const;
    std::vector<float> readRing(const std::string& suffix) const;
    std::vector<char> readBytes(const std::string& suffix) const;
    float controlWord(size_t index) const;
    void setControlWord(size_t index, float value) const;

    // The usual stream: a 12-byte control file with `gain`, both rings of
    // `ringLength` samples, "_out" filled with `fromApplication`, "_in" with `fill`.
    void createAll(size_t ringLength, float gain, float fromApplication, float fill = -9.0f) const;
};

} // namespace effecttest
