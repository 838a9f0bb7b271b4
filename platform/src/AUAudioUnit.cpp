// The audio unit base class: render resources, the host-facing render block
// around a subclass's internal render block, and MIDI scheduling.
#include <Platform/AUAudioUnit.h>
#include <Platform/AVAudioUnit.h>

#include "RenderEventQueue.h"

#include <algorithm>
#include <cmath>
#include <cstring>

struct AUAudioUnit::EventQueue : RenderEventQueue {};

namespace {

// Bytes of a message by its status byte (running status is not used here).
size_t midiMessageLength(uint8_t status) {
    switch (status & 0xF0) {
    case 0xC0:
    case 0xD0: return 2;
    case 0xF0:
        if (status == 0xF1 || status == 0xF3) return 2;
        if (status == 0xF2) return 3;
        return 1;
    default: return 3;
    }
}

} // namespace

AUAudioUnit::AUAudioUnit()
    : emptyInputs_(std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusTypeInput, std::vector<AUAudioUnitBusPtr>{})),
      emptyOutputs_(
          std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusTypeOutput, std::vector<AUAudioUnitBusPtr>{})),
      events_(std::make_unique<EventQueue>()) {}

AUAudioUnit::~AUAudioUnit() = default;

bool AUAudioUnit::initWithComponentDescription(const AudioComponentDescription& description, uint32_t,
                                               NSErrorPtr*) {
    componentDescription_ = description;
    return true;
}

void AUAudioUnit::setNames(std::optional<std::string> componentName, std::optional<std::string> audioUnitName,
                           std::optional<std::string> manufacturerName) {
    componentName_ = std::move(componentName);
    audioUnitName_ = std::move(audioUnitName);
    manufacturerName_ = std::move(manufacturerName);
}

AUAudioUnitBusArrayPtr AUAudioUnit::inputBusses() { return emptyInputs_; }

AUAudioUnitBusArrayPtr AUAudioUnit::outputBusses() { return emptyOutputs_; }

// Buses only hand over formats that have channels and a sample rate.
bool AUAudioUnit::shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus*) { return bool(format); }

bool AUAudioUnit::allocateRenderResourcesAndReturnError(NSErrorPtr*) {
    setRenderResourcesAllocated(true);
    return true;
}

void AUAudioUnit::deallocateRenderResources() { setRenderResourcesAllocated(false); }

// A unit that renders nothing of its own gives silence.
AUInternalRenderBlock AUAudioUnit::internalRenderBlock() {
    return [](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger,
              AudioBufferList* output, const AURenderEvent*, const AURenderPullInputBlock*) -> AUAudioUnitStatus {
        for (uint32_t i = 0; i < output->mNumberBuffers; ++i) {
            AudioBuffer& buffer = output->mBuffers[i];
            if (!buffer.mData) continue;
            const size_t bytes = std::min<size_t>(buffer.mDataByteSize,
                                                  size_t(frames) * sizeof(float) * std::max(1u, buffer.mNumberChannels));
            std::memset(buffer.mData, 0, bytes);
        }
        return noErr;
    };
}

// The block keeps the unit alive while a host holds it. Two renders of one
// unit never overlap: the second is refused rather than sharing the unit's
// render state.
AURenderBlock AUAudioUnit::renderBlock() {
    AUInternalRenderBlock internal = internalRenderBlock();
    std::shared_ptr<AUAudioUnit> keepAlive = weak_from_this().lock();
    AUAudioUnit* self = this;
    return [self, keepAlive, internal](AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                       AUAudioFrameCount frameCount, NSInteger outputBusNumber,
                                       AudioBufferList* outputData,
                                       const AURenderPullInputBlock* pullInputBlock) -> AUAudioUnitStatus {
        if (!self->renderResourcesAllocated()) return kAudioUnitErr_Uninitialized;
        if (!timestamp || !outputData) return kAudio_ParamError;
        EventQueue& queue = *self->events_;
        if (!queue.tryBeginRender()) return kAudioUnitErr_CannotDoInCurrentContext;
        const auto blockStart = AUEventSampleTime(std::llround(timestamp->mSampleTime));
        const AURenderEvent* events = queue.collectDue(blockStart, frameCount);
        const AUAudioUnitStatus status =
            internal ? internal(actionFlags, timestamp, frameCount, outputBusNumber, outputData, events, pullInputBlock)
                     : noErr;
        queue.endRender();
        return status;
    };
}

AUScheduleMIDIEventBlock AUAudioUnit::scheduleMIDIEventBlock() {
    if (!acceptsMIDI()) return {};
    std::shared_ptr<AUAudioUnit> keepAlive = weak_from_this().lock();
    AUAudioUnit* self = this;
    return [self, keepAlive](AUEventSampleTime eventSampleTime, uint8_t cable, NSInteger length,
                             const uint8_t* midiBytes) {
        if (length > 0) self->events_->schedule(eventSampleTime, cable, midiBytes, size_t(length));
    };
}

OSStatus AUAudioUnit::setProperty(uint32_t propertyID, uint32_t scope, uint32_t, const void* data, uint32_t dataSize) {
    if (propertyID != kAudioUnitProperty_MaximumFramesPerSlice) return kAudioUnitErr_InvalidProperty;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    if (!data || dataSize != sizeof(uint32_t)) return kAudio_ParamError;
    if (renderResourcesAllocated()) return kAudioUnitErr_Initialized;
    uint32_t frames;
    std::memcpy(&frames, data, sizeof frames);
    setMaximumFramesToRender(frames);
    return noErr;
}

OSStatus AUAudioUnit::getPropertyInfo(uint32_t propertyID, uint32_t scope, uint32_t, uint32_t* outDataSize,
                                      bool* outWritable) {
    if (propertyID != kAudioUnitProperty_MaximumFramesPerSlice) return kAudioUnitErr_InvalidProperty;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    if (outDataSize) *outDataSize = sizeof(uint32_t);
    if (outWritable) *outWritable = true;
    return noErr;
}

OSStatus AUAudioUnit::getProperty(uint32_t propertyID, uint32_t scope, uint32_t, void* outData, uint32_t* ioDataSize) {
    if (propertyID != kAudioUnitProperty_MaximumFramesPerSlice) return kAudioUnitErr_InvalidProperty;
    if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
    if (!outData || !ioDataSize || *ioDataSize < sizeof(uint32_t)) return kAudio_ParamError;
    const uint32_t frames = maximumFramesToRender();
    std::memcpy(outData, &frames, sizeof frames);
    *ioDataSize = sizeof frames;
    return noErr;
}

OSStatus AUAudioUnit::musicDeviceMIDIEvent(uint32_t status, uint32_t data1, uint32_t data2,
                                           uint32_t offsetSampleFrame) {
    if (!acceptsMIDI()) return kAudio_UnimplementedError;
    const uint8_t bytes[3] = {uint8_t(status), uint8_t(data1 & 0x7F), uint8_t(data2 & 0x7F)};
    const auto offset = AUEventSampleTime(std::min<uint32_t>(offsetSampleFrame, 0x7FFFFFFF));
    if (!events_->schedule(AUEventSampleTimeImmediate + offset, 0, bytes, midiMessageLength(bytes[0])))
        return kAudioUnitErr_CannotDoInCurrentContext;
    return noErr;
}
