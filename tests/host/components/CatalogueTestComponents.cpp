// Component module for the catalogue tests: installs instruments with the
// odd properties a registry can report (duplicates, missing names, codes with
// zero or non-ASCII bytes, names that are not UTF-8) and one effect.
#include <Platform/AVAudioUnit.h>

namespace {

AUAudioUnitPtr refuseInstantiation(const AudioComponentDescription&, uint32_t, NSErrorPtr* outError) {
    if (outError) *outError = makeError(NSOSStatusErrorDomain, kAudioUnitErr_FailedInitialization, "catalogue only");
    return nullptr;
}

AudioComponentDescription describe(uint32_t type, uint32_t subtype, uint32_t manufacturer) {
    AudioComponentDescription description{};
    description.componentType = type;
    description.componentSubType = subtype;
    description.componentManufacturer = manufacturer;
    return description;
}

void install(uint32_t type, uint32_t subtype, uint32_t manufacturer, std::optional<std::string> name,
             std::optional<std::string> manufacturerName) {
    AudioComponentRegister(describe(type, subtype, manufacturer), std::move(name), std::move(manufacturerName),
                           refuseInstantiation);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void AUComponentModuleRegister() {
    const uint32_t tests = fourCC("Tst ");
    install(kAudioUnitType_MusicDevice, fourCC("Twin"), tests, "Twin", "Catalogue Tests");
    install(kAudioUnitType_MusicDevice, fourCC("Twin"), tests, "Twin", "Catalogue Tests");
    install(kAudioUnitType_Effect, fourCC("Efct"), tests, "Effect", "Catalogue Tests");
    install(kAudioUnitType_MusicDevice, fourCC("Nonm"), tests, std::nullopt, std::nullopt);
    install(kAudioUnitType_MusicDevice, 0, tests, "Zero subtype", "Catalogue Tests");
    install(kAudioUnitType_MusicDevice, 0x61006263 /* 'a', 0, 'b', 'c' */, tests, "Zero byte", "Catalogue Tests");
    install(kAudioUnitType_MusicDevice, fourCC("Ltn1"), 0x54E97374 /* 'T', 0xE9, 's', 't' */, "Latin", "Catalogue Tests");
    install(kAudioUnitType_MusicDevice, fourCC("Badn"), tests, "Bad\xff name", "Catalogue Tests");
}
