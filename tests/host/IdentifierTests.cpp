// Plugin identifiers, four-character codes and the comma form.
#include "AUHostEngine.h"
#include "AUPluginEnumerator.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kSpaces = 0x20202020;

struct Codes {
    uint32_t type, subtype, manufacturer;
    bool operator==(const Codes&) const = default;
};

void PrintTo(const Codes& c, std::ostream* os) {
    *os << std::hex << "{0x" << c.type << ", 0x" << c.subtype << ", 0x" << c.manufacturer << "}";
}

Codes codesOf(const AudioComponentDescription& d) {
    EXPECT_EQ(d.componentFlags, 0u);
    EXPECT_EQ(d.componentFlagsMask, 0u);
    return {d.componentType, d.componentSubType, d.componentManufacturer};
}

const Codes kDLS{kAudioUnitType_MusicDevice, kAudioUnitSubType_DLSSynth, kAudioUnitManufacturer_Apple};
const Codes kNone{0, 0, 0};

}  // namespace

TEST(Identifiers, ReadAsThreeFourCharacterCodes) {
    const std::vector<std::pair<std::string, Codes>> cases{
        {"aumu/dls /appl", kDLS},
        {"aumu/dls/appl", kDLS},  // a short part is padded with spaces
        {"aumu/msynth/appl", {kAudioUnitType_MusicDevice, kAudioUnitSubType_MIDISynth, kAudioUnitManufacturer_Apple}},
        {"aumu//appl", {kAudioUnitType_MusicDevice, kSpaces, kAudioUnitManufacturer_Apple}},
        {"//", {kSpaces, kSpaces, kSpaces}},
        {"a/b/c", {0x61202020, 0x62202020, 0x63202020}},
        {"\xc3\xa9/x/y", {0xC3A92020, 0x78202020, 0x79202020}},  // UTF-8 bytes are packed as they are
        {"\xe6\x97\xa5\xe6\x9c\xac/x/y", {0xE697A5E6, 0x78202020, 0x79202020}},
        {std::string("a\0c/x/y", 7), {0x61006320, 0x78202020, 0x79202020}},
        // Anything but exactly three parts reads as nothing.
        {"aumu/dls /appl/x", kNone},
        {"aumu/dls /appl/", kNone},
        {"aumu/dls ", kNone},
        {"aumu", kNone},
        {"", kNone},
        {"///", kNone},
    };
    for (const auto& [identifier, expected] : cases) {
        SCOPED_TRACE(identifier);
        EXPECT_EQ(codesOf(AUHostEngine::descriptionFromIdentifier(identifier)), expected);
    }
}

TEST(Identifiers, TextToCodePadsAndCuts) {
    const std::vector<std::pair<std::string, uint32_t>> cases{
        {"", kSpaces},
        {"a", 0x61202020},
        {"dls", 0x646C7320},
        {"aumu", kAudioUnitType_MusicDevice},
        {"msynth", kAudioUnitSubType_MIDISynth},
        {"\xff\xfe", 0xFFFE2020},  // bytes are unsigned
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(AUHostEngine::fourCharCodeFromString(text), expected);
    }
}

TEST(Identifiers, CodeToTextStopsAtZeroByte) {
    const std::vector<std::pair<uint32_t, std::string>> cases{
        {kAudioUnitType_MusicDevice, "aumu"},
        {kAudioUnitSubType_DLSSynth, "dls "},
        {0, ""},
        {0x61006263, "a"},
        {0x00616263, ""},
        {0x54E97374, "T\xc3\xa9st"},  // non-ASCII bytes as Latin-1, written as UTF-8
    };
    for (const auto& [code, expected] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(AUPluginDescription::stringFromFourCharCode(code), expected);
    }
}

TEST(Identifiers, RecordIdentifierAndItsReadBack) {
    struct Case {
        Codes codes;
        std::string identifier;
        Codes readBack;
    };
    const std::vector<Case> cases{
        {kDLS, "aumu/dls /appl", kDLS},
        // A zero subtype is written as an empty part, which reads back as spaces.
        {{kAudioUnitType_MusicDevice, 0, kAudioUnitManufacturer_Apple},
         "aumu//appl",
         {kAudioUnitType_MusicDevice, kSpaces, kAudioUnitManufacturer_Apple}},
        {{0, 0, 0}, "//", {kSpaces, kSpaces, kSpaces}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.identifier);
        AUPluginDescription record(c.codes.type, c.codes.subtype, c.codes.manufacturer, "N", "M");
        EXPECT_EQ(record.pluginIdentifier(), c.identifier);
        EXPECT_EQ(codesOf(AUHostEngine::descriptionFromIdentifier(record.pluginIdentifier())), c.readBack);
        EXPECT_EQ(record.dictionaryRepresentation(),
                  (nlohmann::json{{"name", "N"}, {"manufacturer", "M"}, {"identifier", c.identifier}}));
    }
}

TEST(Identifiers, CommaFormWritesLowSixteenFlagBits) {
    struct Case {
        AudioComponentDescription description;
        std::string expected;
    };
    auto describe = [](uint32_t type, uint32_t subtype, uint32_t manufacturer, uint32_t flags, uint32_t mask) {
        AudioComponentDescription d{};
        d.componentType = type;
        d.componentSubType = subtype;
        d.componentManufacturer = manufacturer;
        d.componentFlags = flags;
        d.componentFlagsMask = mask;
        return d;
    };
    const uint32_t aumu = kAudioUnitType_MusicDevice, msyn = kAudioUnitSubType_MIDISynth,
                   appl = kAudioUnitManufacturer_Apple;
    const std::vector<Case> cases{
        {describe(aumu, msyn, appl, 0, 0), "aumu,msyn,appl,0000"},
        {describe(aumu, msyn, appl, 0x10001, 0), "aumu,msyn,appl,0001"},
        {describe(aumu, msyn, appl, 0xBEEF, 0), "aumu,msyn,appl,BEEF"},
        {describe(aumu, msyn, appl, 0xFFFFFFFF, 0xFFFFFFFF), "aumu,msyn,appl,FFFF"},
        {describe(aumu, kAudioUnitSubType_DLSSynth, appl, 0x2A, 7), "aumu,dls ,appl,002A"},
        {describe(0, 0, 0, 0, 0), ",,,0000"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        EXPECT_EQ(AUHostEngine::formatComponentDescription(c.description), c.expected);
    }
}

TEST(Identifiers, RecordOfNoComponentIsUnknown) {
    auto record = AUPluginEnumerator::descriptionFromComponent(nullptr);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->pluginIdentifier(), "//");
    EXPECT_EQ(record->name(), "Unknown");
    EXPECT_EQ(record->manufacturer(), "Unknown");
}

TEST(Identifiers, FindPluginWithIdentifierMatchesExactly) {
    auto dls = AUPluginEnumerator::findPluginWithIdentifier("aumu/dls /appl");
    ASSERT_TRUE(dls);
    EXPECT_EQ(dls->subtype(), kAudioUnitSubType_DLSSynth);
    EXPECT_FALSE(AUPluginEnumerator::findPluginWithIdentifier("aumu/dls/appl"));
}
