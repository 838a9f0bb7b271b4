// Installation of the platform's own instruments.
#include "ComponentRegistry.h"
#include "PlatformSynthUnit.h"

namespace {

AUAudioUnitPtr makeSynth(const AudioComponentDescription& description, uint32_t options, NSErrorPtr* outError) {
    return AUAudioUnit::create<PlatformSynthUnit>(description, options, outError);
}

void registerInstrument(uint32_t subtype, const char* name) {
    AudioComponentDescription description{};
    description.componentType = kAudioUnitType_MusicDevice;
    description.componentSubType = subtype;
    description.componentManufacturer = kAudioUnitManufacturer_Apple;
    AudioComponentRegister(description, name, "Apple", makeSynth, true);
}

} // namespace

void registerPlatformInstruments() {
    registerInstrument(kAudioUnitSubType_DLSSynth, "DLSMusicDevice");
    registerInstrument(kAudioUnitSubType_MIDISynth, "AUMIDISynth");
}
