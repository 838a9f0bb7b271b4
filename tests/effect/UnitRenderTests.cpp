// The unit class driven directly: a render block that outlives the host's
// reference to the unit, and read positions beyond the exact integers of the
// control file's float word.
#include "TestSupport.h"

#include <sorvaneAUfxAudioUnit.h>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <vector>

namespace effecttest {
namespace {

namespace fs = std::filesystem;

const AudioComponentDescription kDescription{kAudioUnitType_Effect, fourCC("sAfx"), fourCC("Quen"), 0, 0};

class UnitRenderTest : public ::testing::Test {
protected:
    void SetUp() override {
        // A library directory below a plain file and no location left by an
        // earlier unit: a unit sends no registration, so nothing else holds it.
        std::ofstream(temp.path() / "file") << "x";
        ::setenv("XDG_DATA_HOME", (temp.path() / "file" / "data").c_str(), 1);
        _applicationLocation.reset();
    }

    std::shared_ptr<sorvaneAUfxAudioUnit> createUnit() {
        auto unit = AUAudioUnit::create<sorvaneAUfxAudioUnit>(kDescription, 0, nullptr);
        EXPECT_TRUE(unit);
        EXPECT_EQ(log.countStartingWith("[SORVANE] Failed to create JSON payload: "), 1u);
        return unit;
    }

    TemporaryDirectory temp;
    LogCapture log;
};

struct Output {
    explicit Output(uint32_t frames) : left(frames), right(frames), storage(audioBufferListSize(2)) {
        list()->mNumberBuffers = 2;
        list()->mBuffers[0] = {1, uint32_t(frames * sizeof(float)), left.data()};
        list()->mBuffers[1] = {1, uint32_t(frames * sizeof(float)), right.data()};
    }
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(storage.data()); }
    std::vector<float> left, right;
    std::vector<unsigned char> storage;
};

TEST_F(UnitRenderTest, TheRenderBlockKeepsTheUnit) {
    auto unit = createUnit();
    AUInternalRenderBlock block = unit->internalRenderBlock();
    std::weak_ptr<AUAudioUnit> weak = unit;
    unit.reset();
    ASSERT_FALSE(weak.expired());

    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timestamp{};
    Output output(16);
    AURenderPullInputBlock pull = [](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount,
                                     NSInteger, AudioBufferList*) -> AUAudioUnitStatus { return 0; };
    EXPECT_EQ(block(&flags, &timestamp, 16, 0, output.list(), nullptr, nullptr), kAudioUnitErr_NoConnection);
    EXPECT_EQ(block(&flags, &timestamp, 4097, 0, output.list(), nullptr, &pull), kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_EQ(log.count("[SORVANE] Frame count exceeds pre-allocated buffer size! (4097 > 4096)"), 1u);

    block = nullptr;
    EXPECT_TRUE(weak.expired());
}

// Files of the stream "big": rings created sparse, so only what the unit
// writes takes space.
void createSparse(const fs::path& path, size_t bytes) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::ftruncate(fd, off_t(bytes)), 0);
    ::close(fd);
}

float readFloat(const fs::path& path, size_t index) {
    float value = -1.0f;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        if (::pread(fd, &value, sizeof value, off_t(index * sizeof(float))) != ssize_t(sizeof value)) value = -1.0f;
        ::close(fd);
    }
    return value;
}

void writeFloat(const fs::path& path, size_t index, float value) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::pwrite(fd, &value, sizeof value, off_t(index * sizeof(float))), ssize_t(sizeof value));
    ::close(fd);
}

// Word 0 carries 24 bits of integer precision; the unit's own position stays
// exact, so the rings are still written at the right index past 2^24.
TEST_F(UnitRenderTest, ReadPositionsPastTwoToThe24StayExactInTheRings) {
    constexpr size_t kExact = size_t(1) << 24;
    constexpr uint32_t kCycle = 4096;
    constexpr size_t R = kExact + kCycle;
    const fs::path dir = temp.path() / "streams";
    fs::create_directories(dir);
    const float control[3] = {0.0f, 0.0f, 1.0f};
    std::ofstream(dir / "big_ctl", std::ios::binary).write(reinterpret_cast<const char*>(control), sizeof control);
    createSparse(dir / "big_out", R * sizeof(float));
    createSparse(dir / "big_in", R * sizeof(float));

    auto unit = createUnit();
    unit->initializeSharedMemory(dir.string(), "big");
    ASSERT_TRUE(unit->sharedMemoryOut());
    AudioBufferList* input = unit->inputBufferList();
    std::fill_n(static_cast<float*>(input->mBuffers[0].mData), kCycle, 0.25f);
    std::fill_n(static_cast<float*>(input->mBuffers[1].mData), kCycle, 0.5f);
    Output output(kCycle);

    for (size_t cycle = 0; cycle < kExact / kCycle; ++cycle) unit->processAudioWithBuffer(output.list(), kCycle);
    EXPECT_EQ(unit->readPosition(), kExact);
    EXPECT_EQ(readFloat(dir / "big_ctl", 0), 16777216.0f);
    EXPECT_EQ(readFloat(dir / "big_in", kExact), 0.0f);

    struct Step {
        uint32_t frames;
        size_t position;  // the unit's, afterwards
        float wordZero;   // as the application reads it
        size_t written;   // last ring index the cycle wrote
    };
    const Step steps[] = {
        {1, kExact + 1, 16777216.0f, kExact},      // 2^24 + 1 is no float: rounded down
        {1, kExact + 2, 16777218.0f, kExact + 1},  // yet the next frame lands on 2^24 + 1
        {kCycle, 2, 2.0f, 1},                      // and the ring wraps at its real length
    };
    writeFloat(dir / "big_in", 0, -9.0f);
    writeFloat(dir / "big_in", 1, -9.0f);
    writeFloat(dir / "big_in", 2, -9.0f);
    for (const Step& step : steps) {
        unit->processAudioWithBuffer(output.list(), step.frames);
        EXPECT_EQ(unit->readPosition(), step.position);
        EXPECT_EQ(readFloat(dir / "big_ctl", 0), step.wordZero);
        EXPECT_EQ(readFloat(dir / "big_in", step.written), 0.75f);
        EXPECT_EQ(readFloat(dir / "big_in", step.position), step.position == 2 ? -9.0f : 0.0f);
    }
    EXPECT_EQ(readFloat(dir / "big_in", R - 1), 0.75f);
    EXPECT_EQ(output.left[kCycle - 1], 0.25f);
}

} // namespace
} // namespace effecttest
