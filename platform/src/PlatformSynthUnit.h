// The platform's own instruments (aumu/dls /appl and aumu/msyn/appl): one
// unit class around the synthesiser engine. The MIDI synthesiser also takes
// the preload switch; both take a sound bank file.
#pragma once

#include <Platform/AVAudioUnit.h>

#include "SynthEngine.h"

#include <atomic>
#include <memory>

class PlatformSynthUnit : public AUAudioUnit {
public:
    PlatformSynthUnit();
    ~PlatformSynthUnit() override;

    bool initWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                      NSErrorPtr* outError) override;
    AUAudioUnitBusArrayPtr outputBusses() override;
    bool shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus* bus) override;
    bool allocateRenderResourcesAndReturnError(NSErrorPtr* outError) override;
    AUInternalRenderBlock internalRenderBlock() override;

    OSStatus setProperty(uint32_t propertyID, uint32_t scope, uint32_t element, const void* data,
                         uint32_t dataSize) override;
    OSStatus getPropertyInfo(uint32_t propertyID, uint32_t scope, uint32_t element, uint32_t* outDataSize,
                             bool* outWritable) override;
    OSStatus getProperty(uint32_t propertyID, uint32_t scope, uint32_t element, void* outData,
                         uint32_t* ioDataSize) override;

protected:
    bool acceptsMIDI() const override { return true; }

private:
    AUAudioUnitStatus render(AUAudioFrameCount frames, AudioBufferList* output, const AURenderEvent* events,
                             AUEventSampleTime blockStart);
    bool takesPreload() const;
    OSStatus setSoundBank(const void* data, uint32_t dataSize);

    AUAudioUnitBusArrayPtr outputs_;
    std::unique_ptr<SynthEngine> engine_;
    std::atomic<uint32_t> preload_{0};
    std::mutex soundBankMutex_;
    std::shared_ptr<const NSURL> soundBank_;
};
