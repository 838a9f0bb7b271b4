// Buses and their formats: the owner decides, and allocated render
// resources freeze the formats.
#include "PlatformTestSupport.h"

namespace {

// A unit with one input and two output buses that remembers which bus it was
// asked about and accepts only 2-channel formats.
class TwoChannelUnit : public AUAudioUnit {
public:
    bool initWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                      NSErrorPtr* outError) override {
        if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;
        auto format = AVAudioFormat::initStandardFormatWithSampleRate(44100, 2);
        inputs_ = std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusTypeInput,
                                                        std::vector{AUAudioUnitBus::initWithFormat(format, outError)});
        outputs_ = std::make_shared<AUAudioUnitBusArray>(
            this, AUAudioUnitBusTypeOutput,
            std::vector{AUAudioUnitBus::initWithFormat(format, outError), AUAudioUnitBus::initWithFormat(format, outError)});
        return true;
    }
    AUAudioUnitBusArrayPtr inputBusses() override { return inputs_; }
    AUAudioUnitBusArrayPtr outputBusses() override { return outputs_; }
    bool shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus* bus) override {
        askedAbout = bus;
        return format->channelCount() == 2;
    }
    AUAudioUnitBus* askedAbout = nullptr;

private:
    AUAudioUnitBusArrayPtr inputs_, outputs_;
};

AVAudioFormatPtr standard(double rate, AVAudioChannelCount channels) {
    return AVAudioFormat::initStandardFormatWithSampleRate(rate, channels);
}

void expectStatusError(const NSErrorPtr& error, OSStatus code) {
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, NSOSStatusErrorDomain);
    EXPECT_EQ(error->code, code);
    EXPECT_FALSE(error->localizedDescription.empty());
}

} // namespace

TEST(Buses, ArraysNumberTheirBusesAndNameTheirOwner) {
    NSErrorPtr error;
    auto unit = AUAudioUnit::create<TwoChannelUnit>(describe("aufx", "two ", "Test"), 0, &error);
    ASSERT_TRUE(unit);
    const auto outputs = unit->outputBusses();
    ASSERT_EQ(outputs->count(), 2u);
    EXPECT_EQ(outputs->ownerAudioUnit(), unit.get());
    EXPECT_EQ(outputs->busType(), AUAudioUnitBusTypeOutput);
    EXPECT_EQ((*outputs)[1]->index(), 1u);
    EXPECT_EQ((*outputs)[1]->busType(), AUAudioUnitBusTypeOutput);
    EXPECT_EQ((*outputs)[1]->ownerAudioUnit(), unit.get());
    EXPECT_EQ(outputs->objectAtIndexedSubscript(2), nullptr);
    EXPECT_EQ(unit->inputBusses()->objectAtIndexedSubscript(0)->busType(), AUAudioUnitBusTypeInput);

    // The base unit has no buses at all.
    auto plain = AUAudioUnit::create<AUAudioUnit>(describe("aufx", "none", "Test"), 0, &error);
    EXPECT_EQ(plain->inputBusses()->count(), 0u);
    EXPECT_EQ(plain->outputBusses()->count(), 0u);
    EXPECT_EQ(plain->outputBusses()->objectAtIndexedSubscript(0), nullptr);
}

TEST(Buses, TheOwnerDecidesAboutEachBus) {
    NSErrorPtr error;
    auto unit = AUAudioUnit::create<TwoChannelUnit>(describe("aufx", "two ", "Test"), 0, &error);
    const auto bus = unit->outputBusses()->objectAtIndexedSubscript(1);

    EXPECT_TRUE(bus->setFormat(standard(48000, 2), &error));
    EXPECT_EQ(unit->askedAbout, bus.get());
    EXPECT_EQ(bus->format()->sampleRate(), 48000);

    error.reset();
    EXPECT_FALSE(bus->setFormat(standard(44100, 1), &error));
    expectStatusError(error, kAudioUnitErr_FormatNotSupported);
    EXPECT_EQ(bus->format()->sampleRate(), 48000);
    EXPECT_EQ(bus->format()->channelCount(), 2u);

    // Formats without channels or rate never reach the owner.
    unit->askedAbout = nullptr;
    error.reset();
    EXPECT_FALSE(bus->setFormat(standard(0, 2), &error));
    expectStatusError(error, kAudioUnitErr_FormatNotSupported);
    EXPECT_FALSE(bus->setFormat(nullptr, nullptr));
    EXPECT_EQ(unit->askedAbout, nullptr);

    error.reset();
    EXPECT_EQ(AUAudioUnitBus::initWithFormat(standard(44100, 0), &error), nullptr);
    expectStatusError(error, kAudioUnitErr_FormatNotSupported);
}

TEST(Buses, FormatsAreFrozenWhileRenderResourcesAreAllocated) {
    const Instantiation made = instantiate(describe("aumu", "dls ", "appl"));
    ASSERT_TRUE(made.unit);
    const auto unit = made.unit->auAudioUnit();
    const auto bus = unit->outputBusses()->objectAtIndexedSubscript(0);
    NSErrorPtr error;
    ASSERT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
    EXPECT_FALSE(bus->setFormat(standard(48000, 2), &error));
    expectStatusError(error, kAudioUnitErr_Initialized);
    EXPECT_EQ(bus->format()->sampleRate(), 44100);

    unit->deallocateRenderResources();
    EXPECT_TRUE(bus->setFormat(standard(48000, 2), &error));
    EXPECT_EQ(bus->format()->sampleRate(), 48000);
}

TEST(Buses, PlatformInstrumentsTakeDeinterleavedMonoOrStereo) {
    const Instantiation made = instantiate(describe("aumu", "msyn", "appl"));
    ASSERT_TRUE(made.unit);
    const auto bus = made.unit->auAudioUnit()->outputBusses()->objectAtIndexedSubscript(0);
    EXPECT_EQ(bus->format()->sampleRate(), 44100);
    EXPECT_EQ(bus->format()->channelCount(), 2u);
    EXPECT_TRUE(bus->format()->isStandard());
    NSErrorPtr error;
    EXPECT_TRUE(bus->setFormat(standard(22050, 1), &error));
    EXPECT_FALSE(bus->setFormat(standard(44100, 6), &error));
    EXPECT_FALSE(bus->setFormat(AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatFloat32, 44100, 2, true), &error));
    EXPECT_FALSE(bus->setFormat(AVAudioFormat::initWithCommonFormat(AVAudioPCMFormatInt16, 44100, 2, false), &error));
    expectStatusError(error, kAudioUnitErr_FormatNotSupported);
}

TEST(Buses, TestUnitThatRefusesFormats) {
    const Instantiation made = instantiate(describe("aumu", "frmt", "Test"));
    ASSERT_TRUE(made.unit);
    NSErrorPtr error;
    EXPECT_FALSE(made.unit->auAudioUnit()->outputBusses()->objectAtIndexedSubscript(0)->setFormat(standard(44100, 2),
                                                                                                  &error));
    expectStatusError(error, kAudioUnitErr_FormatNotSupported);
}
