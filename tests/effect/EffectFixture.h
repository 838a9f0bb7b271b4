// Common set-up of the effect tests: a private data directory for the
// application-group container, the log read back, the stream files of the
// application, and the workstation with the module loaded.
#pragma once

#include "FakeApplication.h"
#include "TestSupport.h"
#include "WorkstationHarness.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <string>

namespace effecttest {

inline constexpr const char* kGroupIdentifier = "Q8ZN3VXR7L.com.quenmoor.Sorvane";
inline constexpr const char* kMappedOutput = "[SORVANE] Mapped shared memory buffer for output";
inline constexpr const char* kNotInitialized = "[SORVANE] Shared memory not initialized or empty";
inline constexpr const char* kRequestFailed = "[SORVANE] HTTP request failed: ";

class EffectTest : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("XDG_DATA_HOME", dataHome().c_str(), 1);
        std::filesystem::create_directories(temp.path() / "streams");
        stream = {temp.path() / "streams", "abc"};
        harness = std::make_unique<WorkstationHarness>(SORVANE_FX_MODULE);
    }

    std::filesystem::path dataHome() const { return temp.path() / "data"; }
    std::filesystem::path cachesDirectory() const {
        return dataHome() / "Group Containers" / kGroupIdentifier / "Library" / "Caches";
    }

    // The application's usual answer: the test's stream.
    static HttpReply streamReply(const StreamFiles& files, int status = 200) {
        return HttpReply::json(
            nlohmann::json{{"location", files.location.string()}, {"stream", files.name}}.dump(), status);
    }
    HttpReply streamReply(int status = 200) const { return streamReply(stream, status); }

    // A unit registered with `app` and mapped to the stream it names.
    AUAudioUnitPtr createMappedUnit(size_t alreadyMapped = 0) {
        auto unit = harness->createUnit();
        EXPECT_TRUE(unit);
        EXPECT_TRUE(log.waitFor(kMappedOutput, alreadyMapped + 1));
        return unit;
    }

    static float mixed(float gain, float input, float fromApplication) {
        return std::fma(gain, input, fromApplication);
    }

    TemporaryDirectory temp;
    LogCapture log;
    StreamFiles stream;
    std::unique_ptr<WorkstationHarness> harness;
};

} // namespace effecttest
