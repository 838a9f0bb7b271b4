// The audio unit base class with its buses, render blocks and MIDI scheduling.
#pragma once

#include <Platform/AudioTypes.h>
#include <Platform/Foundation.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class AUAudioUnit;

enum AUAudioUnitBusType : NSInteger {
    AUAudioUnitBusTypeInput = 1,
    AUAudioUnitBusTypeOutput = 2,
};

// One bus of a unit, carrying its format. Changing the format asks the owning
// unit (shouldChangeToFormat) and is refused while render resources are allocated.
class AUAudioUnitBus {
public:
    // Returns nothing (with an error) when the format is unusable.
    static std::shared_ptr<AUAudioUnitBus> initWithFormat(AVAudioFormatPtr format, NSErrorPtr* outError);

    AVAudioFormatPtr format() const;
    bool setFormat(AVAudioFormatPtr format, NSErrorPtr* outError);
    AUAudioUnitBusType busType() const { return busType_; }
    NSUInteger index() const { return index_; }
    AUAudioUnit* ownerAudioUnit() const { return owner_; }

    explicit AUAudioUnitBus(AVAudioFormatPtr format) : format_(std::move(format)) {}

private:
    friend class AUAudioUnitBusArray;
    mutable std::mutex mutex_;
    AVAudioFormatPtr format_;
    AUAudioUnit* owner_ = nullptr;  // the unit owns its bus arrays, which own the buses
    AUAudioUnitBusType busType_ = AUAudioUnitBusTypeOutput;
    NSUInteger index_ = 0;
};
using AUAudioUnitBusPtr = std::shared_ptr<AUAudioUnitBus>;

class AUAudioUnitBusArray {
public:
    AUAudioUnitBusArray(AUAudioUnit* owner, AUAudioUnitBusType busType, std::vector<AUAudioUnitBusPtr> busses);

    NSUInteger count() const { return busses_.size(); }
    // Returns nothing past the end.
    AUAudioUnitBusPtr objectAtIndexedSubscript(NSUInteger index) const;
    AUAudioUnitBusPtr operator[](NSUInteger index) const { return objectAtIndexedSubscript(index); }
    AUAudioUnit* ownerAudioUnit() const { return owner_; }
    AUAudioUnitBusType busType() const { return busType_; }

private:
    AUAudioUnit* owner_;
    AUAudioUnitBusType busType_;
    std::vector<AUAudioUnitBusPtr> busses_;
};
using AUAudioUnitBusArrayPtr = std::shared_ptr<AUAudioUnitBusArray>;

// Render events handed to a unit's internal render block: a list sorted by
// time (equal times in scheduling order), holding the events whose time falls
// inside the block being rendered, with absolute sample times inside
// [block start, block start + frames): an event whose time had already passed
// carries the block's start.
enum AURenderEventType : uint8_t {
    AURenderEventParameter = 1,
    AURenderEventParameterRamp = 2,
    AURenderEventMIDI = 8,
    AURenderEventMIDISysEx = 9,
};
union AURenderEvent;
struct AURenderEventHeader {
    const AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    uint8_t reserved;
};
struct AUMIDIEvent {
    const AURenderEvent* next;
    AUEventSampleTime eventSampleTime;
    AURenderEventType eventType;
    uint8_t reserved;
    uint16_t length;
    uint8_t cable;
    uint8_t data[3];
};
union AURenderEvent {
    AURenderEventHeader head;
    AUMIDIEvent MIDI;
};

using AURenderPullInputBlock =
    std::function<AUAudioUnitStatus(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                                    AUAudioFrameCount frameCount, NSInteger inputBusNumber, AudioBufferList* inputData)>;

// pullInputBlock may be null (no input connection).
using AURenderBlock = std::function<AUAudioUnitStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
    NSInteger outputBusNumber, AudioBufferList* outputData, const AURenderPullInputBlock* pullInputBlock)>;

using AUInternalRenderBlock = std::function<AUAudioUnitStatus(
    AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
    NSInteger outputBusNumber, AudioBufferList* outputData, const AURenderEvent* realtimeEventListHead,
    const AURenderPullInputBlock* pullInputBlock)>;

// An empty function means the unit takes no MIDI.
using AUScheduleMIDIEventBlock =
    std::function<void(AUEventSampleTime eventSampleTime, uint8_t cable, NSInteger length, const uint8_t* midiBytes)>;

// Base class of every unit. Units are created in two steps: construction, then
// initWithComponentDescription (which subclasses override, calling the base
// first); use AUAudioUnit::create<T>() to do both.
class AUAudioUnit : public std::enable_shared_from_this<AUAudioUnit> {
public:
    AUAudioUnit();
    virtual ~AUAudioUnit();
    AUAudioUnit(const AUAudioUnit&) = delete;
    AUAudioUnit& operator=(const AUAudioUnit&) = delete;

    template <class T>
    static std::shared_ptr<T> create(const AudioComponentDescription& description, uint32_t options,
                                     NSErrorPtr* outError) {
        auto unit = std::make_shared<T>();
        if (!unit->initWithComponentDescription(description, options, outError)) return nullptr;
        return unit;
    }

    virtual bool initWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                              NSErrorPtr* outError);

    const AudioComponentDescription& componentDescription() const { return componentDescription_; }
    // Display strings; either may be absent.
    virtual std::optional<std::string> componentName() const { return componentName_; }
    virtual std::optional<std::string> audioUnitName() const { return audioUnitName_; }
    virtual std::optional<std::string> manufacturerName() const { return manufacturerName_; }
    void setNames(std::optional<std::string> componentName, std::optional<std::string> audioUnitName,
                  std::optional<std::string> manufacturerName);

    // The base unit has no buses (empty arrays).
    virtual AUAudioUnitBusArrayPtr inputBusses();
    virtual AUAudioUnitBusArrayPtr outputBusses();
    virtual std::vector<int> channelCapabilities() const { return {}; }
    virtual bool shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus* bus);

    AUAudioFrameCount maximumFramesToRender() const { return maximumFramesToRender_; }
    void setMaximumFramesToRender(AUAudioFrameCount frames) { maximumFramesToRender_ = frames; }

    virtual bool allocateRenderResourcesAndReturnError(NSErrorPtr* outError);
    virtual void deallocateRenderResources();
    bool renderResourcesAllocated() const { return renderResourcesAllocated_.load(std::memory_order_acquire); }

    // The block subclasses provide; called by renderBlock with the due events.
    virtual AUInternalRenderBlock internalRenderBlock();

    // The block hosts call. It refuses to render without render resources
    // (kAudioUnitErr_Uninitialized) and while another render of the same unit
    // is running (kAudioUnitErr_CannotDoInCurrentContext), collects the
    // scheduled MIDI events due before sampleTime + frameCount and calls the
    // internal render block. maximumFramesToRender is not enforced here.
    // Allocates nothing per call. The block keeps the unit alive, so a unit
    // must not keep its own render block.
    AURenderBlock renderBlock();

    // Present only for units that take MIDI (acceptsMIDI()). Callable from any
    // thread; times are absolute sample times, or AUEventSampleTimeImmediate
    // (+ an offset) for the start of the next render. Messages of 1 to 3
    // bytes; when 2048 events wait, further ones are dropped.
    AUScheduleMIDIEventBlock scheduleMIDIEventBlock();

    // Low-level interface (reached through the unit's AudioUnit handle).
    virtual OSStatus setProperty(uint32_t propertyID, uint32_t scope, uint32_t element, const void* data,
                                 uint32_t dataSize);
    virtual OSStatus getPropertyInfo(uint32_t propertyID, uint32_t scope, uint32_t element, uint32_t* outDataSize,
                                     bool* outWritable);
    virtual OSStatus getProperty(uint32_t propertyID, uint32_t scope, uint32_t element, void* outData,
                                 uint32_t* ioDataSize);
    // A channel message to act at the start of the next render call, offset by
    // offsetSampleFrame frames. Base: queued like a scheduled immediate event.
    virtual OSStatus musicDeviceMIDIEvent(uint32_t status, uint32_t data1, uint32_t data2, uint32_t offsetSampleFrame);

protected:
    void setRenderResourcesAllocated(bool allocated) {
        renderResourcesAllocated_.store(allocated, std::memory_order_release);
    }
    // Units that take MIDI override this to return true.
    virtual bool acceptsMIDI() const { return false; }

private:
    struct EventQueue;
    AudioComponentDescription componentDescription_{};
    std::optional<std::string> componentName_, audioUnitName_, manufacturerName_;
    AUAudioUnitBusArrayPtr emptyInputs_, emptyOutputs_;
    AUAudioFrameCount maximumFramesToRender_ = 1156;
    std::atomic<bool> renderResourcesAllocated_{false};
    std::unique_ptr<EventQueue> events_;
};
using AUAudioUnitPtr = std::shared_ptr<AUAudioUnit>;
