#include "TestSupport.h"

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace fs = std::filesystem;

namespace effecttest {

namespace {

std::vector<char> readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const fs::path& path, const void* data, size_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(static_cast<const char*>(data), std::streamsize(bytes));
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

} // namespace

LogCapture::LogCapture() {
    std::string pattern = (fs::temp_directory_path() / "sorvane-fx-log-XXXXXX").string();
    const int fd = mkstemp(pattern.data());
    if (fd < 0) throw std::runtime_error("mkstemp failed");
    path_ = pattern;
    savedStderr_ = dup(STDERR_FILENO);
    dup2(fd, STDERR_FILENO);
    close(fd);
}

LogCapture::~LogCapture() {
    dup2(savedStderr_, STDERR_FILENO);
    close(savedStderr_);
    const std::string captured = text();
    if (!captured.empty()) (void)!write(STDERR_FILENO, captured.data(), captured.size());
    std::error_code ignored;
    fs::remove(path_, ignored);
}

std::string LogCapture::text() const {
    const auto bytes = readFile(path_);
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> LogCapture::effectMessages() const {
    std::vector<std::string> messages;
    std::istringstream lines(text());
    for (std::string line; std::getline(lines, line);) {
        const auto tag = line.find("[SORVANE]");
        if (tag != std::string::npos) messages.push_back(line.substr(tag));
    }
    return messages;
}

size_t LogCapture::count(const std::string& message) const {
    size_t n = 0;
    for (const auto& line : effectMessages())
        if (line == message) ++n;
    return n;
}

size_t LogCapture::countStartingWith(const std::string& prefix) const {
    size_t n = 0;
    for (const auto& line : effectMessages())
        if (line.compare(0, prefix.size(), prefix) == 0) ++n;
    return n;
}

bool LogCapture::waitFor(const std::string& message, size_t times) const {
    return eventually([&] { return count(message) >= times; });
}

bool LogCapture::waitForStartOf(const std::string& prefix, size_t times) const {
    return eventually([&] { return countStartingWith(prefix) >= times; });
}

bool eventually(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return condition();
}

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (fs::temp_directory_path() / "sorvane-fx-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
}

fs::path StreamFiles::path(const std::string& suffix) const { return location / (name + suffix); }

void StreamFiles::createControl(float gain, size_t bytes) const {
    std::vector<char> data(bytes, 0);
    if (bytes >= 12) std::memcpy(data.data() + 8, &gain, sizeof gain);
    writeFile(path("_ctl"), data.data(), data.size());
}

void StreamFiles::createRing(const std::string& suffix, const std::vector<float>& samples) const {
    writeFile(path(suffix), samples.data(), samples.size() * sizeof(float));
}

std::vector<float> StreamFiles::readRing(const std::string& suffix) const {
    const auto bytes = readFile(path(suffix));
    std::vector<float> samples(bytes.size() / sizeof(float));
    std::memcpy(samples.data(), bytes.data(), samples.size() * sizeof(float));
    return samples;
}

std::vector<char> StreamFiles::readBytes(const std::string& suffix) const { return readFile(path(suffix)); }

float StreamFiles::controlWord(size_t index) const {
    const auto bytes = readFile(path("_ctl"));
    float value = 0;
    if (bytes.size() >= (index + 1) * sizeof(float)) std::memcpy(&value, bytes.data() + index * sizeof(float), sizeof value);
    return value;
}

void StreamFiles::setControlWord(size_t index, float value) const {
    const int fd = open(path("_ctl").c_str(), O_WRONLY);
    if (fd < 0) throw std::runtime_error("cannot open the control file");
    const bool written = pwrite(fd, &value, sizeof value, off_t(index * sizeof(float))) == ssize_t(sizeof value);
    close(fd);
    if (!written) throw std::runtime_error("cannot write control word");
}

void StreamFiles::createAll(size_t ringLength, float gain, float fromApplication, float fill) const {
    createControl(gain);
    createRing("_out", std::vector<float>(ringLength, fromApplication));
    createRing("_in", std::vector<float>(ringLength, fill));
}

} // namespace effecttest
