#include "AudioTestSupport.h"

#include <sndfile.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>

namespace hostaudio {

namespace {

// Directory of the test component module, handed in by the build.
hosttest::Environment hostEnvironment(bool withTestUnits, const std::string& recordPath,
                                      hosttest::Environment extra) {
    hosttest::Environment environment = std::move(extra);
    environment["AU_COMPONENT_PATH"] =
        withTestUnits ? std::optional<std::string>(SORVANE_TEST_UNITS_DIR) : std::nullopt;
    environment["SORVANE_TEST_UNIT_LOG"] = recordPath;
    return environment;
}

}  // namespace

HostSession::HostSession(bool withTestUnits, hosttest::Environment extra) {
    host = hosttest::HostProcess::startListening(
        dir.file("host.sock"), hostEnvironment(withTestUnits, dir.file("units.log"), std::move(extra)));
    if (host) client = hosttest::HostClient::connect(dir.file("host.sock"));
    if (!client) ADD_FAILURE() << "could not connect to the host";
}

HostSession::~HostSession() { finish(); }

void HostSession::finish() {
    if (!host || host->hasExited()) return;
    if (client) client->request({{"cmd", "shutdown"}});
    EXPECT_EQ(host->waitForExit(), 0);
}

size_t HostSession::finalCount(const std::string& fragment) {
    finish();
    return host ? host->countLog(fragment) : 0;
}

json HostSession::request(const json& body) {
    if (!client) return json::object();
    auto reply = client->request(body);
    return reply ? *reply : json::object();
}

std::unique_ptr<hosttest::HostClient> HostSession::connect() { return hosttest::HostClient::connect(dir.file("host.sock")); }

void HostSession::load(const std::string& identifier, const std::string& pluginId) {
    const json reply = request({{"cmd", "load"}, {"plugin", identifier}, {"id", pluginId}});
    ASSERT_EQ(reply, json({{"status", "ok"}, {"id", pluginId}})) << (host ? host->logText() : "");
}

std::vector<std::string> HostSession::records() const {
    std::vector<std::string> lines;
    std::ifstream in(dir.file("units.log"));
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::vector<std::string> HostSession::records(const std::string& prefix) const {
    std::vector<std::string> matching;
    for (auto& line : records())
        if (line.rfind(prefix, 0) == 0) matching.push_back(std::move(line));
    return matching;
}

int WavFile::peak(int64_t from, int64_t to) const {
    int result = 0;
    from = std::max<int64_t>(from, 0);
    to = std::min<int64_t>(to, frames);
    for (int64_t i = from * channels; i < to * channels; ++i) result = std::max(result, std::abs(int(samples[i])));
    return result;
}

std::optional<WavFile> readWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    if (!file) return std::nullopt;
    WavFile wav;
    wav.format = info.format;
    wav.channels = info.channels;
    wav.sampleRate = info.samplerate;
    wav.frames = info.frames;
    wav.samples.resize(size_t(info.frames) * size_t(info.channels));
    const sf_count_t read = sf_readf_short(file, wav.samples.data(), info.frames);
    sf_close(file);
    if (read != info.frames) return std::nullopt;
    return wav;
}

std::optional<RingFile> readRing(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    RingFile ring;
    ring.bytes = bytes.size();
    ring.samples.resize(bytes.size() / sizeof(float));
    std::copy_n(bytes.data(), ring.samples.size() * sizeof(float), reinterpret_cast<char*>(ring.samples.data()));
    return ring;
}

void writeFile(const std::string& path, size_t bytes, char value) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << std::string(bytes, value);
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace hostaudio
