#include "PlatformSynthUnit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <sys/stat.h>

namespace {

constexpr double kDefaultSampleRate = 44100.0;
constexpr AVAudioChannelCount kDefaultChannels = 2;

bool isRegularFile(const std::string& path) {
    struct stat info {};
    return !path.empty() && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

} // namespace

PlatformSynthUnit::PlatformSynthUnit() : engine_(std::make_unique<SynthEngine>()) {}

PlatformSynthUnit::~PlatformSynthUnit() = default;

bool PlatformSynthUnit::initWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                                     NSErrorPtr* outError) {
    if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;
    auto bus = AUAudioUnitBus::initWithFormat(
        AVAudioFormat::initStandardFormatWithSampleRate(kDefaultSampleRate, kDefaultChannels), outError);
    if (!bus) return false;
    outputs_ = std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusTypeOutput, std::vector<AUAudioUnitBusPtr>{bus});
    return true;
}

AUAudioUnitBusArrayPtr PlatformSynthUnit::outputBusses() { return outputs_ ? outputs_ : AUAudioUnit::outputBusses(); }

// Deinterleaved float, mono or stereo, at any rate.
bool PlatformSynthUnit::shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus*) {
    return format && format->isStandard() && format->channelCount() >= 1 && format->channelCount() <= 2 &&
           format->sampleRate() >= 8000.0 && format->sampleRate() <= 384000.0;
}

// Every allocation starts from silence with the controllers and programs
// reset, so the same input always gives the same output.
bool PlatformSynthUnit::allocateRenderResourcesAndReturnError(NSErrorPtr* outError) {
    if (!AUAudioUnit::allocateRenderResourcesAndReturnError(outError)) return false;
    const AUAudioUnitBusPtr bus = outputs_ ? outputs_->objectAtIndexedSubscript(0) : nullptr;
    const double sampleRate = bus ? bus->format()->sampleRate() : kDefaultSampleRate;
    engine_->prepare(sampleRate);
    return true;
}

AUInternalRenderBlock PlatformSynthUnit::internalRenderBlock() {
    return [this](AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
                  NSInteger, AudioBufferList* output, const AURenderEvent* events,
                  const AURenderPullInputBlock*) -> AUAudioUnitStatus {
        return render(frameCount, output, events, AUEventSampleTime(std::llround(timestamp->mSampleTime)));
    };
}

// Each event acts at its own frame: the block is rendered in pieces between
// event times.
AUAudioUnitStatus PlatformSynthUnit::render(AUAudioFrameCount frames, AudioBufferList* output,
                                            const AURenderEvent* events, AUEventSampleTime blockStart) {
    if (!output || output->mNumberBuffers < 1) return kAudio_ParamError;
    const uint32_t channels = std::min<uint32_t>(output->mNumberBuffers, 2);
    for (uint32_t c = 0; c < channels; ++c) {
        const AudioBuffer& buffer = output->mBuffers[c];
        if (!buffer.mData || buffer.mNumberChannels != 1 || buffer.mDataByteSize < frames * sizeof(float))
            return kAudio_ParamError;
    }
    float* left = static_cast<float*>(output->mBuffers[0].mData);
    float* right = channels > 1 ? static_cast<float*>(output->mBuffers[1].mData) : nullptr;

    AUAudioFrameCount done = 0;
    for (const AURenderEvent* event = events; event; event = event->head.next) {
        const AUEventSampleTime offset = event->head.eventSampleTime - blockStart;
        const auto at = AUAudioFrameCount(std::clamp<AUEventSampleTime>(offset, done, frames));
        if (at > done) {
            engine_->render(left + done, right ? right + done : nullptr, at - done);
            done = at;
        }
        if (event->head.eventType == AURenderEventMIDI) engine_->handleMIDI(event->MIDI.data, event->MIDI.length);
    }
    if (done < frames) engine_->render(left + done, right ? right + done : nullptr, frames - done);
    return noErr;
}

bool PlatformSynthUnit::takesPreload() const {
    return componentDescription().componentSubType == kAudioUnitSubType_MIDISynth;
}

OSStatus PlatformSynthUnit::setSoundBank(const void* data, uint32_t dataSize) {
    if (!data || dataSize != sizeof(CFURLRef)) return kAudio_ParamError;
    CFURLRef url;
    std::memcpy(&url, data, sizeof url);
    if (!url) return kAudio_ParamError;
    if (!isRegularFile(url->path)) return kAudio_FileNotFoundError;
    std::lock_guard lock(soundBankMutex_);
    soundBank_ = std::make_shared<const NSURL>(*url);
    return noErr;
}

OSStatus PlatformSynthUnit::setProperty(uint32_t propertyID, uint32_t scope, uint32_t element, const void* data,
                                        uint32_t dataSize) {
    if (propertyID == kMusicDeviceProperty_SoundBankURL) {
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        return setSoundBank(data, dataSize);
    }
    if (propertyID == kAUMIDISynthProperty_EnablePreload && takesPreload()) {
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (!data || dataSize != sizeof(uint32_t)) return kAudio_ParamError;
        uint32_t value;
        std::memcpy(&value, data, sizeof value);
        preload_.store(value);
        return noErr;
    }
    return AUAudioUnit::setProperty(propertyID, scope, element, data, dataSize);
}

OSStatus PlatformSynthUnit::getPropertyInfo(uint32_t propertyID, uint32_t scope, uint32_t element,
                                            uint32_t* outDataSize, bool* outWritable) {
    const bool preload = propertyID == kAUMIDISynthProperty_EnablePreload && takesPreload();
    if (propertyID == kMusicDeviceProperty_SoundBankURL || preload) {
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (outDataSize) *outDataSize = preload ? sizeof(uint32_t) : sizeof(CFURLRef);
        if (outWritable) *outWritable = true;
        return noErr;
    }
    return AUAudioUnit::getPropertyInfo(propertyID, scope, element, outDataSize, outWritable);
}

// The sound bank comes back as a reference the unit keeps alive.
OSStatus PlatformSynthUnit::getProperty(uint32_t propertyID, uint32_t scope, uint32_t element, void* outData,
                                        uint32_t* ioDataSize) {
    if (propertyID == kAUMIDISynthProperty_EnablePreload && takesPreload()) {
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (!outData || !ioDataSize || *ioDataSize < sizeof(uint32_t)) return kAudio_ParamError;
        const uint32_t value = preload_.load();
        std::memcpy(outData, &value, sizeof value);
        *ioDataSize = sizeof value;
        return noErr;
    }
    if (propertyID == kMusicDeviceProperty_SoundBankURL) {
        if (scope != kAudioUnitScope_Global) return kAudioUnitErr_InvalidScope;
        if (!outData || !ioDataSize || *ioDataSize < sizeof(CFURLRef)) return kAudio_ParamError;
        std::lock_guard lock(soundBankMutex_);
        if (!soundBank_) return kAudioUnitErr_InvalidProperty;
        const CFURLRef url = soundBank_.get();
        std::memcpy(outData, &url, sizeof url);
        *ioDataSize = sizeof url;
        return noErr;
    }
    return AUAudioUnit::getProperty(propertyID, scope, element, outData, ioDataSize);
}
