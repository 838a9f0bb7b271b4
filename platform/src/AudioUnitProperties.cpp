// The low-level unit interface: calls on a unit's handle go to its unit.
#include <Platform/AVAudioUnit.h>

#include "AudioUnitHandle.h"

namespace {

AUAudioUnit* unitOf(AudioUnit handle) {
    if (!handle || handle->tag != OpaqueAudioComponentInstance::kLiveTag) return nullptr;
    return handle->unit;
}

} // namespace

OSStatus AudioUnitSetProperty(AudioUnit handle, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                              const void* data, uint32_t dataSize) {
    AUAudioUnit* unit = unitOf(handle);
    return unit ? unit->setProperty(id, scope, element, data, dataSize) : kAudio_ParamError;
}

OSStatus AudioUnitGetPropertyInfo(AudioUnit handle, AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, uint32_t* outDataSize, bool* outWritable) {
    AUAudioUnit* unit = unitOf(handle);
    return unit ? unit->getPropertyInfo(id, scope, element, outDataSize, outWritable) : kAudio_ParamError;
}

OSStatus AudioUnitGetProperty(AudioUnit handle, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                              void* outData, uint32_t* ioDataSize) {
    AUAudioUnit* unit = unitOf(handle);
    return unit ? unit->getProperty(id, scope, element, outData, ioDataSize) : kAudio_ParamError;
}

OSStatus MusicDeviceMIDIEvent(AudioUnit handle, uint32_t status, uint32_t data1, uint32_t data2,
                              uint32_t offsetSampleFrame) {
    AUAudioUnit* unit = unitOf(handle);
    return unit ? unit->musicDeviceMIDIEvent(status, data1, data2, offsetSampleFrame) : kAudio_ParamError;
}
