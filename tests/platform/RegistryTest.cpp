// The component registry: what is installed, in which order, and how a
// description selects components.
#include "PlatformTestSupport.h"

#include <TestUnits.h>

#include <cstdlib>
#include <fstream>
#include <string>

namespace {

std::string codeText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8)
        if (const char c = char((code >> shift) & 0xFF)) text += c;
        else break;
    return text;
}

std::vector<std::string> identifiers(const std::vector<AVAudioUnitComponentPtr>& components) {
    std::vector<std::string> result;
    for (const auto& component : components) {
        const auto& d = component->audioComponentDescription();
        result.push_back(codeText(d.componentType) + "/" + codeText(d.componentSubType) + "/" +
                         codeText(d.componentManufacturer));
    }
    return result;
}

std::vector<AVAudioUnitComponentPtr> matching(uint32_t type, uint32_t subtype, uint32_t manufacturer) {
    AudioComponentDescription description{};
    description.componentType = type;
    description.componentSubType = subtype;
    description.componentManufacturer = manufacturer;
    return AVAudioUnitComponentManager::sharedAudioUnitComponentManager().componentsMatchingDescription(description);
}

} // namespace

TEST(ComponentRegistry, PlatformInstrumentsFirstThenModulesInRegistrationOrder) {
    const auto all = matching(kAudioUnitType_MusicDevice, 0, 0);
    const std::vector<std::string> expected = {
        "aumu/dls /appl", "aumu/msyn/appl", "aumu/rec /Test", "aumu/nomi/Test", "aumu/rfl0/Test",
        "aumu/rfl3/Test", "aumu/ierr/Test", "aumu/inil/Test", "aumu/aerr/Test", "aumu/anil/Test",
        "aumu/nohd/Test", "aumu/nobs/Test", "aumu/frmt/Test", "aumu/dupl/Test", "aumu/dupl/Test",
        "aumu/z/Test",    "aumu/anon/Test"};
    ASSERT_GE(all.size(), expected.size());
    EXPECT_EQ(identifiers({all.begin(), all.begin() + long(expected.size())}), expected);

    EXPECT_EQ(all[0]->name(), "DLSMusicDevice");
    EXPECT_EQ(all[0]->manufacturerName(), "Apple");
    EXPECT_EQ(all[1]->name(), "AUMIDISynth");
    EXPECT_EQ(all[1]->manufacturerName(), "Apple");
    EXPECT_TRUE(all[0]->hasLowLevelHandle() && all[1]->hasLowLevelHandle());
    EXPECT_EQ(all[16]->name(), std::nullopt);
    EXPECT_EQ(all[16]->manufacturerName(), std::nullopt);
}

TEST(ComponentRegistry, ZeroFieldsMatchAnything) {
    struct Case {
        uint32_t type, subtype, manufacturer;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {0, kAudioUnitSubType_MIDISynth, 0, {"aumu/msyn/appl"}},
        {0, 0, kAudioUnitManufacturer_Apple, {"aumu/dls /appl", "aumu/msyn/appl"}},
        {kAudioUnitType_MusicDevice, kAudioUnitSubType_DLSSynth, kAudioUnitManufacturer_Apple, {"aumu/dls /appl"}},
        {kAudioUnitType_MusicDevice, fourCC("dupl"), kTestUnitManufacturer, {"aumu/dupl/Test", "aumu/dupl/Test"}},
        {kAudioUnitType_MusicDevice, 0x7A000000, 0, {"aumu/z/Test"}},
        {kAudioUnitType_MusicDevice, fourCC("none"), 0, {}},
        {kAudioUnitType_Effect, 0, kAudioUnitManufacturer_Apple, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(identifiers(matching(c.type, c.subtype, c.manufacturer)), c.expected)
            << codeText(c.type) << "/" << codeText(c.subtype) << "/" << codeText(c.manufacturer);

    const auto duplicates = matching(kAudioUnitType_MusicDevice, fourCC("dupl"), kTestUnitManufacturer);
    ASSERT_EQ(duplicates.size(), 2u);
    EXPECT_NE(duplicates[0], duplicates[1]);
    EXPECT_EQ(matching(0, 0, 0).size(), matching(kAudioUnitType_MusicDevice, 0, 0).size());
}

TEST(ComponentRegistry, LaterRegistrationsComeLastAndCanBeRemoved) {
    const AudioComponentDescription odd = describe("aumu", "odd!", "Reg ");
    const auto first = AudioComponentRegister(odd, "Odd", "Registry Test", nullptr);
    const auto second = AudioComponentRegister(odd, "Odd again", std::nullopt, nullptr, false);
    const auto all = matching(0, 0, 0);
    ASSERT_GE(all.size(), 2u);
    EXPECT_EQ(all[all.size() - 2], first);
    EXPECT_EQ(all.back(), second);
    EXPECT_FALSE(second->hasLowLevelHandle());

    EXPECT_TRUE(AudioComponentUnregister(first));
    EXPECT_FALSE(AudioComponentUnregister(first));
    const auto left = matching(0, 0, fourCC("Reg "));
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0], second);
    EXPECT_TRUE(AudioComponentUnregister(second));
    EXPECT_TRUE(matching(0, 0, fourCC("Reg ")).empty());
}

// In a fresh process: a file that is not a loadable module is reported and
// skipped; the modules beside it and the platform's instruments still load,
// and an empty or missing directory is no error.
TEST(ComponentRegistryDeathTest, UnloadableModulesAreSkipped) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char* units = std::getenv("AU_COMPONENT_PATH");
    ASSERT_NE(units, nullptr);
    char directory[] = "/tmp/platform-modules-XXXXXX";
    ASSERT_NE(mkdtemp(directory), nullptr);
    const std::string broken = std::string(directory) + "/broken.so";
    std::ofstream(broken) << "not a shared object";
    const std::string path = std::string(directory) + "::/nonexistent-directory:" + units;
    EXPECT_EXIT(
        {
            setenv("AU_COMPONENT_PATH", path.c_str(), 1);
            const auto all = matching(kAudioUnitType_MusicDevice, 0, 0);
            const bool ok = all.size() >= 17 && all[0]->name() == "DLSMusicDevice" &&
                            matching(0, fourCC("rec "), kTestUnitManufacturer).size() == 1;
            std::exit(ok ? 0 : 1);
        },
        testing::ExitedWithCode(0), "cannot load component module .*broken\\.so");
    std::remove(broken.c_str());
    rmdir(directory);
}
