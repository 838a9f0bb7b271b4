// The test units other tests drive hosts with: what they record and how
// they fail.
#include "PlatformTestSupport.h"

#include <TestUnits.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <unistd.h>

namespace {

class RecordFile {
public:
    RecordFile() {
        char path[] = "/tmp/platform-units-XXXXXX";
        const int fd = mkstemp(path);
        if (fd >= 0) close(fd);
        path_ = path;
    }
    ~RecordFile() { unlink(path_.c_str()); }
    const std::string& path() const { return path_; }
    std::vector<std::string> lines() const {
        std::vector<std::string> result;
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);) result.push_back(line);
        return result;
    }

private:
    std::string path_;
};

AVAudioUnitPtr recordingInstance(const char (&subtype)[5], const RecordFile& file) {
    setenv("SORVANE_TEST_UNIT_LOG", file.path().c_str(), 1);
    Instantiation made = instantiate(describe("aumu", subtype, "Test"));
    unsetenv("SORVANE_TEST_UNIT_LOG");
    return made.unit;
}

} // namespace

TEST(TestUnits, RecordingUnitRecordsFormatsBlocksAndEventsAndRendersItsRamp) {
    RecordFile file;
    const AVAudioUnitPtr instance = recordingInstance("rec ", file);
    ASSERT_TRUE(instance);
    const auto unit = instance->auAudioUnit();
    NSErrorPtr error;
    ASSERT_TRUE(unit->outputBusses()->objectAtIndexedSubscript(0)->setFormat(
        AVAudioFormat::initStandardFormatWithSampleRate(44100, 2), &error));
    ASSERT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
    const auto midi = unit->scheduleMIDIEventBlock();
    const uint8_t on[3] = {0x90, 60, 100}, off[3] = {0x80, 60, 0};
    midi(AUEventSampleTimeImmediate, 0, 3, on);
    midi(700, 0, 3, off);
    uint32_t size = 4;
    EXPECT_EQ(AudioUnitSetProperty(instance->audioUnit(), 4119, kAudioUnitScope_Global, 0, &size, size), noErr);
    EXPECT_EQ(MusicDeviceMIDIEvent(instance->audioUnit(), 0xB0, 120, 0, 3), noErr);
    BlockRenderer renderer(unit);
    renderer.setSampleTime(100);
    ASSERT_EQ(renderer.render(1024), noErr);
    unit->deallocateRenderResources();

    EXPECT_EQ(file.lines(), (std::vector<std::string>{
                                "instantiate aumu/rec /Test",
                                "format 44100 2 0",
                                "allocate 1",
                                "property 4119 0 0 4",
                                "musicdevice 176 120 0 3",
                                "midi 100 100 144 60 100",
                                "midi 103 100 176 120 0",
                                "block 100 512",
                                "midi 700 612 128 60 0",
                                "block 612 512",
                                "deallocate",
                            }));
    ASSERT_EQ(renderer.left().size(), 1024u);
    for (size_t i = 0; i < 1024; i += 97) {
        EXPECT_FLOAT_EQ(renderer.left()[i], float((100 + i) % 100) / 1000.0f);
        EXPECT_FLOAT_EQ(renderer.right()[i], renderer.left()[i]);
    }
}

TEST(TestUnits, RenderFailuresStartAtTheirBlock) {
    RecordFile file;
    const AVAudioUnitPtr instance = recordingInstance("rfl3", file);
    ASSERT_TRUE(instance);
    NSErrorPtr error;
    ASSERT_TRUE(instance->auAudioUnit()->allocateRenderResourcesAndReturnError(&error));
    BlockRenderer renderer(instance->auAudioUnit());
    for (int block = 0; block < 3; ++block) EXPECT_EQ(renderer.renderBlock(512), noErr);
    EXPECT_EQ(renderer.renderBlock(512), kAudioUnitErr_CannotDoInCurrentContext);
    EXPECT_EQ(renderer.renderBlock(512), kAudioUnitErr_CannotDoInCurrentContext);
    const auto lines = file.lines();
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(lines[5], "fail 1536 512 -10863");

    setenv("SORVANE_TEST_RENDER_FAIL_STATUS", "-42", 1);
    const Instantiation first = instantiate(describe("aumu", "rfl0", "Test"));
    unsetenv("SORVANE_TEST_RENDER_FAIL_STATUS");
    ASSERT_TRUE(first.unit);
    ASSERT_TRUE(first.unit->auAudioUnit()->allocateRenderResourcesAndReturnError(&error));
    BlockRenderer failing(first.unit->auAudioUnit());
    EXPECT_EQ(failing.renderBlock(512), -42);
}

TEST(TestUnits, AllocationFailuresWithAndWithoutError) {
    const Instantiation withError = instantiate(describe("aumu", "aerr", "Test"));
    ASSERT_TRUE(withError.unit);
    NSErrorPtr error;
    EXPECT_FALSE(withError.unit->auAudioUnit()->allocateRenderResourcesAndReturnError(&error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain, NSOSStatusErrorDomain);
    EXPECT_EQ(error->code, kAudioUnitErr_FailedInitialization);
    EXPECT_EQ(error->localizedDescription, "Test unit cannot allocate render resources");
    EXPECT_FALSE(withError.unit->auAudioUnit()->renderResourcesAllocated());

    const Instantiation withoutError = instantiate(describe("aumu", "anil", "Test"));
    ASSERT_TRUE(withoutError.unit);
    error.reset();
    EXPECT_FALSE(withoutError.unit->auAudioUnit()->allocateRenderResourcesAndReturnError(&error));
    EXPECT_EQ(error, nullptr);
}

TEST(TestUnits, RecordPathPropertyRedirectsTheRecord) {
    RecordFile file;
    const Instantiation made = instantiate(describe("aumu", "nomi", "Test"));
    ASSERT_TRUE(made.unit);
    EXPECT_EQ(AudioUnitSetProperty(made.unit->audioUnit(), kTestUnitProperty_RecordPath, kAudioUnitScope_Global, 0,
                                   file.path().data(), uint32_t(file.path().size())),
              noErr);
    EXPECT_EQ(MusicDeviceMIDIEvent(made.unit->audioUnit(), 0x90, 60, 1, 0), kAudio_UnimplementedError);
    EXPECT_EQ(made.unit->auAudioUnit()->outputBusses()->count(), 1u);
    const Instantiation noBus = instantiate(describe("aumu", "nobs", "Test"));
    ASSERT_TRUE(noBus.unit);
    EXPECT_EQ(noBus.unit->auAudioUnit()->outputBusses()->count(), 0u);
    EXPECT_EQ(file.lines(), (std::vector<std::string>{"musicdevice 144 60 1 0"}));
}
