// Render cycles through the shared files, the render block's checks, and the
// formats the unit takes.
#include "EffectFixture.h"

#include "AllocationCounter.h"

#include <cstdlib>
#include <new>

namespace effecttest {
namespace {

std::vector<float> ramp(size_t n, float start, float step) {
    std::vector<float> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = start + step * float(i);
    return values;
}

class ExchangeTest : public EffectTest {
protected:
    // A unit mapped to a stream of `ringLength` samples whose "_out" ring
    // holds `fromApplication` (or 0.001 * k when empty) and whose gain is `gain`.
    void mapStream(size_t ringLength, float gain, std::vector<float> fromApplication = {}) {
        if (fromApplication.empty()) fromApplication = ramp(ringLength, 0.0f, 0.001f);
        stream.createControl(gain);
        stream.createRing("_out", fromApplication);
        stream.createRing("_in", std::vector<float>(ringLength, -9.0f));
        app = std::make_unique<FakeApplication>([this](const HttpRequest&) { return streamReply(); });
        unit = createMappedUnit();
        render = std::make_unique<RenderThread>(unit);
    }

    std::unique_ptr<FakeApplication> app;
    AUAudioUnitPtr unit;
    std::unique_ptr<RenderThread> render;
};

// R = 1000 with 512-frame cycles: the second cycle wraps and leaves 24.
TEST_F(ExchangeTest, CyclesAdvanceThroughTheRingAndPublishTheReadPosition) {
    const size_t R = 1000;
    const float gain = 0.25f;
    mapStream(R, gain);
    const auto fromApplication = stream.readRing("_out");
    OutputBuffers output;

    struct Cycle {
        std::vector<float> left, right;
        size_t firstIndex;
        float wordZero;
    };
    const Cycle cycles[] = {{ramp(512, 0.5f, 0.01f), ramp(512, -1.0f, 0.002f), 0, 512.0f},
                            {ramp(512, 2.0f, -0.003f), ramp(512, 0.1f, 0.004f), 512, 24.0f}};
    std::vector<float> expectedRing(R, -9.0f);
    for (const Cycle& c : cycles) {
        render->setInput(c.left, c.right);
        output.fill(42.0f);
        const CycleResult result = render->render(512, output);
        ASSERT_EQ(result.status, 0);
        EXPECT_EQ(result.pulls, 1);
        for (size_t i = 0; i < 512; ++i) {
            const size_t k = (c.firstIndex + i) % R;
            ASSERT_EQ(output.left()[i], mixed(gain, c.left[i], fromApplication[k])) << i;
            ASSERT_EQ(output.right()[i], mixed(gain, c.right[i], fromApplication[k])) << i;
            expectedRing[k] = c.left[i] + c.right[i];
        }
        EXPECT_EQ(output.left()[512], 42.0f);  // nothing past the cycle's frames
        EXPECT_EQ(stream.controlWord(0), c.wordZero);
        EXPECT_EQ(stream.readRing("_in"), expectedRing);
    }
    EXPECT_EQ(stream.readRing("_out"), fromApplication);
    EXPECT_EQ(log.count(kNotInitialized), 0u);
}

// G = 0.5, input (0.2, 0.4), "_out"[k] = 0.1: outputs (0.2, 0.3), "_in"[k] = 0.6.
TEST_F(ExchangeTest, DryGainScalesTheInputBeforeTheApplicationsAudioIsAdded) {
    mapStream(100, 0.5f, std::vector<float>(100, 0.1f));
    render->setInput(std::vector<float>(4, 0.2f), std::vector<float>(4, 0.4f));
    OutputBuffers output;
    ASSERT_EQ(render->render(4, output).status, 0);
    for (int i = 0; i < 4; ++i) {
        EXPECT_FLOAT_EQ(output.left()[i], 0.2f);
        EXPECT_FLOAT_EQ(output.right()[i], 0.3f);
        EXPECT_EQ(output.right()[i], std::fma(0.5f, 0.4f, 0.1f));  // one rounding, not two
        EXPECT_FLOAT_EQ(stream.readRing("_in")[i], 0.6f);
    }
    EXPECT_EQ(stream.controlWord(0), 4.0f);
}

// The gain is read again at the start of every cycle.
TEST_F(ExchangeTest, GainChangesTakeEffectOnTheNextCycle) {
    mapStream(100, 1.0f, std::vector<float>(100, 0.0f));
    render->setInput(std::vector<float>(4, 0.5f), std::vector<float>(4, 0.5f));
    OutputBuffers output;
    for (float gain : {1.0f, 0.0f, 2.0f}) {
        stream.setControlWord(2, gain);
        ASSERT_EQ(render->render(4, output).status, 0);
        EXPECT_EQ(output.left()[3], gain * 0.5f);
    }
}

TEST_F(ExchangeTest, AZeroFrameCycleOnlyRewritesTheReadPosition) {
    mapStream(1000, 1.0f);
    OutputBuffers output;
    render->setInput(std::vector<float>(512, 1.0f), std::vector<float>(512, 1.0f));

    for (float expected : {0.0f, 512.0f}) {
        if (expected != 0.0f) {
            ASSERT_EQ(render->render(512, output).status, 0);
        }
        stream.setControlWord(0, 777.0f);
        const auto ringBefore = stream.readRing("_in");
        output.fill(5.0f);
        const CycleResult result = render->render(0, output);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(stream.controlWord(0), expected);
        EXPECT_EQ(stream.readRing("_in"), ringBefore);
        EXPECT_EQ(output.left()[0], 5.0f);
    }
}

// 4096 frames fit the input buffers although the unit advertises 2048.
TEST_F(ExchangeTest, FrameCountsUpToTheInputBuffersAreAccepted) {
    mapStream(1000, 1.0f);
    EXPECT_EQ(unit->maximumFramesToRender(), 2048u);
    render->setInput(std::vector<float>(4097, 0.5f), std::vector<float>(4097, 0.5f));
    OutputBuffers output;

    CycleResult accepted = render->render(4096, output);
    EXPECT_EQ(accepted.status, 0);
    EXPECT_EQ(stream.controlWord(0), 96.0f);

    const auto ringBefore = stream.readRing("_in");
    output.fill(8.0f);
    CycleResult refused = render->render(4097, output);
    EXPECT_EQ(refused.status, kAudioUnitErr_TooManyFramesToProcess);
    EXPECT_EQ(refused.pulls, 0);
    EXPECT_EQ(log.count("[SORVANE] Frame count exceeds pre-allocated buffer size! (4097 > 4096)"), 1u);
    EXPECT_EQ(stream.controlWord(0), 96.0f);
    EXPECT_EQ(stream.readRing("_in"), ringBefore);
    EXPECT_EQ(output.left()[0], 8.0f);
}

// No input block comes first, then the frame count, then the pull.
TEST_F(ExchangeTest, RenderBlockChecksComeInOrder) {
    mapStream(1000, 1.0f);
    render->setInput(std::vector<float>(8, 0.5f), std::vector<float>(8, 0.5f));
    OutputBuffers output;
    output.fill(6.0f);
    const auto ringBefore = stream.readRing("_in");

    EXPECT_EQ(render->render(8, output, /*connectInput=*/false).status, kAudioUnitErr_NoConnection);
    EXPECT_EQ(render->render(5000, output, /*connectInput=*/false).status, kAudioUnitErr_NoConnection);
    EXPECT_EQ(log.countStartingWith("[SORVANE] Frame count exceeds"), 0u);

    render->setPullStatus(-50);
    const CycleResult failedPull = render->render(8, output);
    EXPECT_EQ(failedPull.status, -50);
    EXPECT_EQ(failedPull.pulls, 1);
    EXPECT_EQ(render->render(5000, output).pulls, 0);

    EXPECT_EQ(output.left()[0], 6.0f);
    EXPECT_EQ(stream.readRing("_in"), ringBefore);
    EXPECT_EQ(stream.controlWord(0), 0.0f);
}

TEST_F(ExchangeTest, EachAllocationStartsAgainAtRingIndexZero) {
    mapStream(1000, 1.0f);
    render->setInput(std::vector<float>(300, 1.0f), std::vector<float>(300, 1.0f));
    OutputBuffers output;
    ASSERT_EQ(render->render(300, output).status, 0);
    EXPECT_EQ(stream.controlWord(0), 300.0f);

    render.reset();
    unit->deallocateRenderResources();
    render = std::make_unique<RenderThread>(unit);  // allocates again
    render->setInput(std::vector<float>(100, 1.0f), std::vector<float>(100, 1.0f));
    ASSERT_EQ(render->render(100, output).status, 0);
    EXPECT_EQ(stream.controlWord(0), 100.0f);
}

TEST_F(ExchangeTest, ARenderCycleAllocatesNothing) {
    // Called through volatile pointers so that the compiler cannot drop them.
    void* (*volatile allocateBytes)(size_t) = &std::malloc;
    void* (*volatile allocateObject)(size_t) = &::operator new;
    beginCountingAllocations();
    std::free(allocateBytes(16));
    ::operator delete(allocateObject(16));
    ASSERT_EQ(endCountingAllocations(), 2) << "the allocation counter does not see every allocation";

    mapStream(700, 0.5f);
    render->setInput(std::vector<float>(2048, 0.5f), std::vector<float>(2048, 0.25f));
    OutputBuffers output;
    for (AUAudioFrameCount frames : {512u, 512u, 2048u, 0u, 4096u}) {
        const CycleResult result = render->render(frames, output);
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.allocations, 0) << frames << " frames";
    }
    output.detach();
    EXPECT_EQ(render->render(512, output).allocations, 0) << "serving missing output buffers";
}

struct FormatCase {
    const char* name;
    AVAudioCommonFormat common;
    double sampleRate;
    AVAudioChannelCount channels;
    bool interleaved;
    bool accepted;
    const char* logged[3];
};
void PrintTo(const FormatCase& c, std::ostream* out) { *out << c.name; }

class FormatTest : public EffectTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(FormatTest, OnlyStereoNonInterleavedFloatAt44100IsTaken) {
    const FormatCase& c = GetParam();
    auto unit = harness->createUnit();
    ASSERT_TRUE(unit);
    EXPECT_EQ(unit->channelCapabilities(), (std::vector<int>{2, 2}));
    for (auto direction : {AUAudioUnitBusTypeInput, AUAudioUnitBusTypeOutput}) {
        auto format = AVAudioFormat::initWithCommonFormat(c.common, c.sampleRate, c.channels, c.interleaved);
        EXPECT_EQ(WorkstationHarness::proposeFormat(unit, direction, format), c.accepted);
    }
    EXPECT_EQ(log.count(c.logged[0]), 2u);
    EXPECT_EQ(log.count(c.logged[1]), 2u);
    EXPECT_EQ(log.count(c.logged[2]), 2u);

    auto busFormat = unit->outputBusses()->objectAtIndexedSubscript(0)->format();
    EXPECT_EQ(busFormat->sampleRate(), c.accepted ? c.sampleRate : 44100.0);
}

INSTANTIATE_TEST_SUITE_P(
    Proposals, FormatTest,
    ::testing::Values(
        FormatCase{"Stereo44100", AVAudioPCMFormatFloat32, 44100.0, 2, false, true,
                   {"[SORVANE] Format change: channel count = 2", "[SORVANE] Format change: sample rate = 44100.000000",
                    "[SORVANE] Format change: interleaved = 0"}},
        FormatCase{"Stereo48000", AVAudioPCMFormatFloat32, 48000.0, 2, false, false,
                   {"[SORVANE] Format change: channel count = 2", "[SORVANE] Format change: sample rate = 48000.000000",
                    "[SORVANE] Format change: interleaved = 0"}},
        FormatCase{"InterleavedStereo44100", AVAudioPCMFormatFloat32, 44100.0, 2, true, false,
                   {"[SORVANE] Format change: channel count = 2", "[SORVANE] Format change: sample rate = 44100.000000",
                    "[SORVANE] Format change: interleaved = 1"}},
        FormatCase{"Mono44100", AVAudioPCMFormatFloat32, 44100.0, 1, false, false,
                   {"[SORVANE] Format change: channel count = 1", "[SORVANE] Format change: sample rate = 44100.000000",
                    "[SORVANE] Format change: interleaved = 0"}},
        FormatCase{"Int16Stereo44100", AVAudioPCMFormatInt16, 44100.0, 2, false, false,
                   {"[SORVANE] Format change: channel count = 2", "[SORVANE] Format change: sample rate = 44100.000000",
                    "[SORVANE] Format change: interleaved = 0"}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace effecttest
