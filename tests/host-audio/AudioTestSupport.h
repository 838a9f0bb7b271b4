// Shared pieces of the audio-path tests: a host with one client on a fresh
// socket, and readers for the WAV and ring files the host writes.
#pragma once

#include "HostProcess.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace hostaudio {

using nlohmann::json;

inline constexpr const char* kDLSSynth = "aumu/dls /appl";
inline constexpr const char* kMIDISynth = "aumu/msyn/appl";
inline constexpr const char* kRecordingUnit = "aumu/rec /Test";

// A running host, its temporary directory and one connection to it.
struct HostSession {
    hosttest::TempDir dir;
    std::unique_ptr<hosttest::HostProcess> host;
    std::unique_ptr<hosttest::HostClient> client;

    // Starts the host (with the test units installed, recording into
    // records(), when asked) and connects.
    explicit HostSession(bool withTestUnits = false, hosttest::Environment extra = {});
    ~HostSession();

    // One request on the session's connection; an empty object when no reply came.
    json request(const json& body);
    // A second connection to the same host.
    std::unique_ptr<hosttest::HostClient> connect();
    std::string file(const std::string& name) const { return dir.file(name); }
    // Lines the test units have recorded so far (see tests/units/TestUnits.h).
    std::vector<std::string> records() const;
    // Recorded lines that start with `prefix`.
    std::vector<std::string> records(const std::string& prefix) const;
    // "load" of the identifier under pluginId; fails the test unless it replies ok.
    void load(const std::string& identifier, const std::string& pluginId);
    // Shuts the host down and waits until its log is complete, so that what
    // it has (not) logged can be counted. Does nothing the second time.
    void finish();
    // Log messages containing `fragment`, counted once the log is complete.
    size_t finalCount(const std::string& fragment);
    // Waits for a message containing `fragment` (it may trail the reply).
    bool logged(const std::string& fragment) { return host && host->waitForLog(fragment); }
};

// A WAV file as read back through libsndfile.
struct WavFile {
    int format = 0;  // libsndfile's major | subtype
    int channels = 0;
    int sampleRate = 0;
    int64_t frames = 0;
    std::vector<int16_t> samples;  // interleaved

    // Largest absolute sample among frames [from, to).
    int peak(int64_t from, int64_t to) const;
};
std::optional<WavFile> readWav(const std::string& path);

// Every whole float of a ring file, and its size in bytes.
struct RingFile {
    uint64_t bytes = 0;
    std::vector<float> samples;
};
std::optional<RingFile> readRing(const std::string& path);

// Writes `bytes` bytes of the given value to a new file at path.
void writeFile(const std::string& path, size_t bytes, char value = 0);
bool fileExists(const std::string& path);

}  // namespace hostaudio
