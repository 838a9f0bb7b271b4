// Shared files that are missing, too short or of unequal length; teardown of
// the mappings; output lists without buffers; a mapping that arrives while
// the render thread is running.
#include "EffectFixture.h"

#include <fstream>
#include <semaphore>

namespace effecttest {
namespace {

namespace fs = std::filesystem;

// Lines of /proc/self/maps that map a file below `directory`.
size_t mappingsBelow(const fs::path& directory) {
    std::ifstream maps("/proc/self/maps");
    size_t n = 0;
    for (std::string line; std::getline(maps, line);)
        if (line.find(directory.string() + "/") != std::string::npos) ++n;
    return n;
}

TEST_F(EffectTest, AMissingInFileLeavesTheRingsUntouched) {
    stream.createControl(1.0f);
    stream.createRing("_out", std::vector<float>(64, 0.5f));
    stream.setControlWord(0, 3.0f);
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = harness->createUnit();
    ASSERT_TRUE(log.waitForStartOf("[SORVANE] Failed to open shared memory file: "));
    EXPECT_EQ(log.count("[SORVANE] Failed to open shared memory file: No such file or directory"), 1u);
    EXPECT_EQ(log.count("[SORVANE] Mapped control memory buffer"), 1u);
    EXPECT_EQ(log.count("[SORVANE] Mapped shared memory buffer for input"), 1u);
    EXPECT_EQ(log.effectMessages().back(), "[SORVANE] Failed to open shared memory file: No such file or directory");

    RenderThread render(unit);
    render.setInput(std::vector<float>(32, 1.0f), std::vector<float>(32, 1.0f));
    OutputBuffers output;
    for (int cycle = 0; cycle < 3; ++cycle) {
        output.fill(-2.0f);
        ASSERT_EQ(render.render(32, output).status, 0);
        EXPECT_EQ(output.left()[0], -2.0f);
    }
    EXPECT_EQ(log.count(kNotInitialized), 3u);
    EXPECT_FALSE(fs::exists(stream.path("_in")));
    EXPECT_EQ(stream.readRing("_out"), std::vector<float>(64, 0.5f));
    EXPECT_EQ(stream.controlWord(0), 3.0f);
}

// The first file that cannot be mapped ends the mapping: later ones are not tried.
TEST_F(EffectTest, AMissingControlFileStopsBeforeTheRings) {
    stream.createRing("_out", std::vector<float>(64, 0.5f));
    stream.createRing("_in", std::vector<float>(64, 0.5f));
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = harness->createUnit();
    ASSERT_TRUE(log.waitForStartOf("[SORVANE] Failed to open shared memory file: "));
    EXPECT_EQ(log.countStartingWith("[SORVANE] Opening "), 1u);
    EXPECT_EQ(log.countStartingWith("[SORVANE] Mapped"), 0u);
}

// A missing "_out" file ends the mapping before the "_in" file is opened, so
// the application's input ring is never written.
TEST_F(EffectTest, AMissingOutFileStopsBeforeTheInFile) {
    stream.createControl(1.0f);
    stream.createRing("_in", std::vector<float>(64, -9.0f));
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = harness->createUnit();
    ASSERT_TRUE(log.waitForStartOf("[SORVANE] Failed to open shared memory file: "));

    const std::string L = stream.location.string();
    const std::vector<std::string> expected = {
        "[SORVANE] Opening " + L + "/abc_ctl",
        "[SORVANE] bufferSize = 3",
        "[SORVANE] Mapped control memory buffer",
        "[SORVANE] Opening " + L + "/abc_out",
        "[SORVANE] Failed to open shared memory file: No such file or directory",
    };
    const auto messages = log.effectMessages();
    ASSERT_GE(messages.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(messages.end() - long(expected.size()), messages.end()), expected);
    EXPECT_EQ(mappingsBelow(stream.location), 1u);

    RenderThread render(unit);
    render.setInput(std::vector<float>(16, 1.0f), std::vector<float>(16, 1.0f));
    OutputBuffers output;
    output.fill(-2.0f);
    ASSERT_EQ(render.render(16, output).status, 0);
    EXPECT_EQ(log.count(kNotInitialized), 1u);
    EXPECT_EQ(output.left()[0], -2.0f);
    EXPECT_EQ(stream.readRing("_in"), std::vector<float>(64, -9.0f));
    EXPECT_EQ(stream.controlWord(0), 0.0f);
}

// Both rings are indexed alike, so only the length both files hold is used.
struct UnequalRings {
    const char* name;
    size_t fromApplication, toApplication;  // "_out" and "_in" samples
};
void PrintTo(const UnequalRings& c, std::ostream* out) { *out << c.name; }

class UnequalRingTest : public EffectTest, public ::testing::WithParamInterface<UnequalRings> {};

TEST_P(UnequalRingTest, StayInsideBothFiles) {
    const UnequalRings& c = GetParam();
    const size_t common = std::min(c.fromApplication, c.toApplication);
    std::vector<float> fromApplication(c.fromApplication);
    for (size_t k = 0; k < fromApplication.size(); ++k) fromApplication[k] = float(k);
    stream.createControl(1.0f);
    stream.createRing("_out", fromApplication);
    stream.createRing("_in", std::vector<float>(c.toApplication, -9.0f));
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = createMappedUnit();
    EXPECT_EQ(log.count("[SORVANE] Ring files differ in length (_out " + std::to_string(c.fromApplication) +
                        ", _in " + std::to_string(c.toApplication) + " samples); using " + std::to_string(common)),
              1u);

    RenderThread render(unit);
    render.setInput(std::vector<float>(3000, 0.0f), std::vector<float>(3000, 0.0f));
    OutputBuffers output;
    ASSERT_EQ(render.render(3000, output).status, 0);
    for (size_t i = 0; i < 3000; ++i) ASSERT_EQ(output.left()[i], float(i % common)) << i;
    EXPECT_EQ(stream.controlWord(0), float(3000 % common));

    const auto toApplication = stream.readRing("_in");
    ASSERT_EQ(toApplication.size(), c.toApplication);
    for (size_t k = 0; k < toApplication.size(); ++k) ASSERT_EQ(toApplication[k], k < common ? 0.0f : -9.0f) << k;
    EXPECT_EQ(stream.readRing("_out"), fromApplication);
}

INSTANTIATE_TEST_SUITE_P(Lengths, UnequalRingTest,
                         ::testing::Values(UnequalRings{"ShorterOut", 1024, 4096}, UnequalRings{"ShorterIn", 4096, 1024}),
                         [](const auto& info) { return std::string(info.param.name); });

// Word 2 is read and word 0 written every cycle: a shorter control file is
// refused instead of being read or written past its end.
class ShortControlTest : public EffectTest, public ::testing::WithParamInterface<size_t> {};

TEST_P(ShortControlTest, IsNotUsed) {
    const size_t bytes = GetParam();
    std::vector<char> content(bytes);
    for (size_t i = 0; i < bytes; ++i) content[i] = char(0x40 + i);
    std::ofstream(stream.path("_ctl"), std::ios::binary).write(content.data(), std::streamsize(bytes));
    stream.createRing("_out", std::vector<float>(64, 0.5f));
    stream.createRing("_in", std::vector<float>(64, -9.0f));
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = harness->createUnit();
    const std::string refusal =
        "[SORVANE] Control memory too short: " + std::to_string(bytes) + " bytes, 12 needed";
    ASSERT_TRUE(log.waitFor(refusal));
    EXPECT_EQ(log.countStartingWith("[SORVANE] Mapped"), 0u);
    EXPECT_EQ(log.countStartingWith("[SORVANE] Opening "), 1u);
    EXPECT_EQ(mappingsBelow(stream.location), 0u);

    RenderThread render(unit);
    render.setInput(std::vector<float>(16, 1.0f), std::vector<float>(16, 1.0f));
    OutputBuffers output;
    output.fill(4.0f);
    ASSERT_EQ(render.render(16, output).status, 0);
    EXPECT_EQ(log.count(kNotInitialized), 1u);
    EXPECT_EQ(output.left()[0], 4.0f);
    EXPECT_EQ(stream.readBytes("_ctl"), content);
    EXPECT_EQ(stream.readRing("_in"), std::vector<float>(64, -9.0f));
}

INSTANTIATE_TEST_SUITE_P(Sizes, ShortControlTest, ::testing::Values(size_t(4), size_t(8), size_t(11)));

// An empty file cannot be mapped at all.
TEST_F(EffectTest, AnEmptyRingFileIsNotMapped) {
    stream.createControl(1.0f);
    stream.createRing("_out", {});
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = harness->createUnit();
    ASSERT_TRUE(log.waitFor("[SORVANE] Failed to mmap shared memory: Invalid argument"));
    EXPECT_EQ(log.countStartingWith("[SORVANE] Mapped shared memory"), 0u);
}

// Every mapping goes with its own length -- the control mapping too, and a
// ring longer than the length in use.
TEST_F(EffectTest, ReleasingTheUnitUnmapsEveryFileWhole) {
    stream.createControl(1.0f);
    stream.createRing("_out", std::vector<float>(3 * 1024, 0.0f));  // three pages
    stream.createRing("_in", std::vector<float>(1024, 0.0f));       // one page
    {
        FakeApplication app([&](const HttpRequest&) { return streamReply(); });
        std::weak_ptr<AUAudioUnit> unit;
        {
            auto strong = createMappedUnit();
            unit = strong;
            RenderThread render(strong);
            render.setInput(std::vector<float>(512, 0.0f), std::vector<float>(512, 0.0f));
            OutputBuffers output;
            ASSERT_EQ(render.render(512, output).status, 0);
            EXPECT_EQ(mappingsBelow(stream.location), 3u);
        }
        harness->releaseController();
        ASSERT_TRUE(eventually([&] { return unit.expired(); }));
    }
    const std::vector<std::string> tail = {"[SORVANE] Unmapped shared memory in",
                                           "[SORVANE] Unmapped shared memory out",
                                           "[SORVANE] Unmapped control memory"};
    const auto messages = log.effectMessages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(messages.end() - 3, messages.end()), tail);
    EXPECT_EQ(mappingsBelow(stream.location), 0u);
}

// A host may send an output list without data pointers; the unit then hands
// back its own buffers, processed in place.
TEST_F(EffectTest, AnOutputListWithoutBuffersGetsTheUnitsOwn) {
    stream.createAll(100, 0.5f, 0.1f);
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = createMappedUnit();
    RenderThread render(unit);
    render.setInput(std::vector<float>(4, 0.2f), std::vector<float>(4, 0.4f));

    OutputBuffers output;
    output.detach();
    ASSERT_EQ(render.render(4, output).status, 0);
    ASSERT_NE(output.left(), nullptr);
    ASSERT_NE(output.right(), nullptr);
    EXPECT_EQ(output.list()->mBuffers[0].mDataByteSize, 16u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(output.left()[i], std::fma(0.5f, 0.2f, 0.1f));
        EXPECT_EQ(output.right()[i], std::fma(0.5f, 0.4f, 0.1f));
        EXPECT_EQ(stream.readRing("_in")[i], 0.2f + 0.4f);
    }
}

// Before the mapping the unit passes its input through the buffers it supplies.
TEST_F(EffectTest, AnOutputListWithoutBuffersPassesTheInputWhileUnmapped) {
    auto unit = harness->createUnit();
    ASSERT_TRUE(log.waitForStartOf(kRequestFailed));
    RenderThread render(unit);
    render.setInput(std::vector<float>(4, 0.2f), std::vector<float>(4, 0.4f));
    OutputBuffers output;
    output.detach();
    ASSERT_EQ(render.render(4, output).status, 0);
    ASSERT_NE(output.left(), nullptr);
    EXPECT_EQ(output.left()[3], 0.2f);
    EXPECT_EQ(output.right()[3], 0.4f);
}

// The mapping lands while the render thread runs cycles back to back: every
// cycle either leaves the output alone or exchanges completely, and the first
// exchanging cycle starts at ring index 0.
TEST_F(EffectTest, AMappingArrivingDuringRenderingIsSeenWholeOrNotAtAll) {
    const size_t R = 1000;
    const AUAudioFrameCount n = 64;
    stream.createAll(R, 0.5f, 0.125f);
    std::binary_semaphore replyMayGo{0};
    FakeApplication app([&](const HttpRequest&) {
        replyMayGo.acquire();
        return streamReply();
    });
    auto unit = harness->createUnit();
    RenderThread render(unit);
    render.setInput(std::vector<float>(n, 0.25f), std::vector<float>(n, 0.5f));
    OutputBuffers output;

    size_t untouched = 0, exchanged = 0;
    bool released = false;
    while (exchanged < 300) {
        if (!released && untouched == 20) {
            replyMayGo.release();
            released = true;
        }
        output.fill(7.0f);
        ASSERT_EQ(render.render(n, output).status, 0);
        size_t same = 0;
        for (size_t i = 0; i < n; ++i)
            if (output.left()[i] == 7.0f && output.right()[i] == 7.0f) ++same;
        if (same == n) {
            ASSERT_EQ(exchanged, 0u) << "a mapped unit stopped exchanging";
            ASSERT_LT(++untouched, 1000000u) << "the mapping never arrived";
            continue;
        }
        for (size_t i = 0; i < n; ++i) {
            ASSERT_EQ(output.left()[i], 0.25f) << "cycle " << exchanged << " frame " << i;
            ASSERT_EQ(output.right()[i], 0.375f) << "cycle " << exchanged << " frame " << i;
        }
        ++exchanged;
    }
    EXPECT_EQ(stream.controlWord(0), float((exchanged * n) % R));
    EXPECT_EQ(log.count(kNotInitialized), untouched);
}

} // namespace
} // namespace effecttest
