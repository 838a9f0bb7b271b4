// Render-resource allocation with a bus that is not stereo. The unit itself
// never takes such a format, so a unit that does (a subclass) stands in for a
// bus whose format changed behind the unit's back.
#include "TestSupport.h"

#include <sorvaneAUfxAudioUnit.h>

#include <gtest/gtest.h>

#include <cstdlib>

namespace effecttest {
namespace {

class PermissiveUnit : public sorvaneAUfxAudioUnit {
public:
    bool shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus*) override { return bool(format); }
};

class AllocationTest : public ::testing::TestWithParam<AUAudioUnitBusType> {
protected:
    void SetUp() override { ::setenv("XDG_DATA_HOME", (temp.path() / "data").c_str(), 1); }
    TemporaryDirectory temp;
};

TEST_P(AllocationTest, FailsWithFailedInitializationWhenABusIsNotStereo) {
    const AudioComponentDescription description{kAudioUnitType_Effect, fourCC("sAfx"), fourCC("Quen"), 0, 0};
    auto unit = AUAudioUnit::create<PermissiveUnit>(description, 0, nullptr);
    ASSERT_TRUE(unit);

    NSErrorPtr error;
    ASSERT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
    unit->deallocateRenderResources();

    auto busses = GetParam() == AUAudioUnitBusTypeInput ? unit->inputBusses() : unit->outputBusses();
    ASSERT_TRUE(busses->objectAtIndexedSubscript(0)->setFormat(
        AVAudioFormat::initStandardFormatWithSampleRate(44100.0, 1), nullptr));

    error.reset();
    EXPECT_FALSE(unit->allocateRenderResourcesAndReturnError(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, NSOSStatusErrorDomain);
    EXPECT_EQ(error->code, kAudioUnitErr_FailedInitialization);
    EXPECT_FALSE(unit->renderResourcesAllocated());
}

INSTANTIATE_TEST_SUITE_P(Busses, AllocationTest, ::testing::Values(AUAudioUnitBusTypeInput, AUAudioUnitBusTypeOutput),
                         [](const auto& info) { return std::string(info.param == AUAudioUnitBusTypeInput ? "Input" : "Output"); });

} // namespace
} // namespace effecttest
