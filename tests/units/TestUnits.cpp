// The test units described in TestUnits.h.
#include "TestUnits.h"

#include <Platform/AVAudioUnit.h>

#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include <fcntl.h>
#include <unistd.h>

namespace {

constexpr OSStatus kDefaultRenderFailure = kAudioUnitErr_CannotDoInCurrentContext;

struct Behaviour {
    bool takesMIDI = true;
    long failFromBlock = -1; // -1: renders never fail
    bool allocationFails = false;
    bool allocationGivesError = true;
    bool hasOutputBus = true;
    bool refusesFormats = false;
};

std::string codeText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((code >> shift) & 0xFF);
        if (c == '\0') break;
        text += c;
    }
    return text;
}

class RecordingUnit : public AUAudioUnit {
public:
    explicit RecordingUnit(Behaviour behaviour) : behaviour_(behaviour) {}

    bool initWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                      NSErrorPtr* outError) override {
        if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;
        if (const char* path = std::getenv("SORVANE_TEST_UNIT_LOG")) recordPath_ = path;
        if (const char* status = std::getenv("SORVANE_TEST_RENDER_FAIL_STATUS")) failStatus_ = OSStatus(std::atol(status));
        if (behaviour_.hasOutputBus) {
            auto bus = AUAudioUnitBus::initWithFormat(AVAudioFormat::initStandardFormatWithSampleRate(44100.0, 2), outError);
            if (!bus) return false;
            outputs_ = std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusTypeOutput,
                                                             std::vector<AUAudioUnitBusPtr>{bus});
        }
        record("instantiate %s/%s/%s", codeText(description.componentType).c_str(),
               codeText(description.componentSubType).c_str(), codeText(description.componentManufacturer).c_str());
        return true;
    }

    AUAudioUnitBusArrayPtr outputBusses() override { return outputs_ ? outputs_ : AUAudioUnit::outputBusses(); }

    bool shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus*) override {
        if (behaviour_.refusesFormats || !format->isStandard() || format->channelCount() > 2) return false;
        record("format %g %u %d", format->sampleRate(), format->channelCount(), format->isInterleaved() ? 1 : 0);
        return true;
    }

    bool allocateRenderResourcesAndReturnError(NSErrorPtr* outError) override {
        if (behaviour_.allocationFails) {
            record("allocate 0");
            if (behaviour_.allocationGivesError && outError)
                *outError = makeError(NSOSStatusErrorDomain, kAudioUnitErr_FailedInitialization,
                                      "Test unit cannot allocate render resources");
            return false;
        }
        if (!AUAudioUnit::allocateRenderResourcesAndReturnError(outError)) return false;
        blocksRendered_ = 0;
        record("allocate 1");
        return true;
    }

    void deallocateRenderResources() override {
        record("deallocate");
        AUAudioUnit::deallocateRenderResources();
    }

    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp, AUAudioFrameCount frames, NSInteger,
                      AudioBufferList* output, const AURenderEvent* events,
                      const AURenderPullInputBlock*) -> AUAudioUnitStatus {
            return render(AUEventSampleTime(std::llround(timestamp->mSampleTime)), frames, output, events);
        };
    }

    OSStatus setProperty(uint32_t propertyID, uint32_t scope, uint32_t element, const void* data,
                         uint32_t dataSize) override {
        if (propertyID == kTestUnitProperty_RecordPath) {
            std::lock_guard lock(recordMutex_);
            recordPath_ = data ? std::string(static_cast<const char*>(data), dataSize) : std::string();
            return noErr;
        }
        record("property %u %u %u %u", propertyID, scope, element, dataSize);
        return noErr;
    }

    OSStatus musicDeviceMIDIEvent(uint32_t status, uint32_t data1, uint32_t data2, uint32_t offset) override {
        record("musicdevice %u %u %u %u", status, data1, data2, offset);
        return AUAudioUnit::musicDeviceMIDIEvent(status, data1, data2, offset);
    }

protected:
    bool acceptsMIDI() const override { return behaviour_.takesMIDI; }

private:
    AUAudioUnitStatus render(AUEventSampleTime blockStart, AUAudioFrameCount frames, AudioBufferList* output,
                             const AURenderEvent* events) {
        const long block = blocksRendered_++;
        if (behaviour_.failFromBlock >= 0 && block >= behaviour_.failFromBlock) {
            record("fail %lld %u %d", (long long)blockStart, frames, failStatus_);
            return failStatus_;
        }
        for (const AURenderEvent* event = events; event; event = event->head.next) {
            if (event->head.eventType != AURenderEventMIDI) continue;
            const AUMIDIEvent& midi = event->MIDI;
            record("midi %lld %lld %u %u %u", (long long)midi.eventSampleTime, (long long)blockStart, midi.data[0],
                   midi.data[1], midi.data[2]);
        }
        for (uint32_t b = 0; b < output->mNumberBuffers; ++b) {
            auto* samples = static_cast<float*>(output->mBuffers[b].mData);
            if (!samples) continue;
            for (uint32_t i = 0; i < frames; ++i)
                samples[i] = float((blockStart + AUEventSampleTime(i)) % 100) / 1000.0f;
        }
        record("block %lld %u", (long long)blockStart, frames);
        return noErr;
    }

    void record(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        char line[256];
        va_list args;
        va_start(args, format);
        int length = vsnprintf(line, sizeof line - 1, format, args);
        va_end(args);
        if (length < 0) return;
        length = std::min<int>(length, int(sizeof line) - 2);
        line[length++] = '\n';
        std::lock_guard lock(recordMutex_);
        if (recordPath_.empty()) return;
        const int fd = ::open(recordPath_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) return;
        [[maybe_unused]] const ssize_t written = ::write(fd, line, size_t(length));
        ::close(fd);
    }

    Behaviour behaviour_;
    AUAudioUnitBusArrayPtr outputs_;
    OSStatus failStatus_ = kDefaultRenderFailure;
    long blocksRendered_ = 0;
    std::mutex recordMutex_;
    std::string recordPath_;
};

AudioComponentDescription instrument(uint32_t subtype) {
    AudioComponentDescription description{};
    description.componentType = kAudioUnitType_MusicDevice;
    description.componentSubType = subtype;
    description.componentManufacturer = kTestUnitManufacturer;
    return description;
}

AUAudioUnitFactoryFunction recordingFactory(Behaviour behaviour) {
    return [behaviour](const AudioComponentDescription& description, uint32_t options,
                       NSErrorPtr* outError) -> AUAudioUnitPtr {
        auto unit = std::make_shared<RecordingUnit>(behaviour);
        if (!unit->initWithComponentDescription(description, options, outError)) return nullptr;
        return unit;
    };
}

void install(const char (&subtype)[5], const char* name, Behaviour behaviour, bool hasHandle = true) {
    AudioComponentRegister(instrument(fourCC(subtype)), name, "Sorvane Tests", recordingFactory(behaviour), hasHandle);
}

} // namespace

extern "C" __attribute__((visibility("default"))) void AUComponentModuleRegister() {
    install("rec ", "RecordingUnit", {});
    install("nomi", "NoMIDIUnit", {.takesMIDI = false});
    install("rfl0", "RenderFailsAt0", {.failFromBlock = 0});
    install("rfl3", "RenderFailsAt3", {.failFromBlock = 3});
    AudioComponentRegister(instrument(fourCC("ierr")), "InstantiateError", "Sorvane Tests",
                           [](const AudioComponentDescription&, uint32_t, NSErrorPtr* outError) -> AUAudioUnitPtr {
                               if (outError) *outError = makeError("com.sorvane.TestUnits", 77, "Test unit refused to instantiate");
                               return nullptr;
                           });
    AudioComponentRegister(instrument(fourCC("inil")), "InstantiateNil", "Sorvane Tests",
                           [](const AudioComponentDescription&, uint32_t, NSErrorPtr*) -> AUAudioUnitPtr { return nullptr; });
    install("aerr", "AllocateError", {.allocationFails = true});
    install("anil", "AllocateNil", {.allocationFails = true, .allocationGivesError = false});
    install("nohd", "NoHandleUnit", {}, false);
    install("nobs", "NoBusUnit", {.hasOutputBus = false});
    install("frmt", "FormatRefusingUnit", {.refusesFormats = true});
    install("dupl", "DuplicateUnit", {});
    install("dupl", "DuplicateUnit", {});
    AudioComponentRegister(instrument(0x7A000000), "ZeroByteUnit", "Sorvane Tests", recordingFactory({}));
    AudioComponentRegister(instrument(fourCC("anon")), std::nullopt, std::nullopt, recordingFactory({}));
}
