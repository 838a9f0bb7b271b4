// Component registry, instantiation and the low-level unit handle.
#pragma once

#include <Platform/AUAudioUnit.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// Low-level handle of a unit instance (null when a unit has none).
struct OpaqueAudioComponentInstance;
using AudioUnit = OpaqueAudioComponentInstance*;
using AudioUnitPropertyID = uint32_t;
using AudioUnitScope = uint32_t;
using AudioUnitElement = uint32_t;

inline constexpr AudioUnitScope kAudioUnitScope_Global = 0;
inline constexpr AudioUnitScope kAudioUnitScope_Input = 1;
inline constexpr AudioUnitScope kAudioUnitScope_Output = 2;
inline constexpr AudioUnitPropertyID kAudioUnitProperty_MaximumFramesPerSlice = 14; // uint32, global
inline constexpr AudioUnitPropertyID kMusicDeviceProperty_SoundBankURL = 1100;
inline constexpr AudioUnitPropertyID kAUMIDISynthProperty_EnablePreload = 4119;

// A file URL; the sound bank property takes one reference to it (a CFURLRef).
struct NSURL {
    std::string path;
    static std::shared_ptr<const NSURL> fileURLWithPath(std::string path) {
        return std::make_shared<const NSURL>(NSURL{std::move(path)});
    }
};
using CFURLRef = const NSURL*;

OSStatus AudioUnitSetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                              const void* data, uint32_t dataSize);
OSStatus AudioUnitGetPropertyInfo(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope,
                                  AudioUnitElement element, uint32_t* outDataSize, bool* outWritable);
OSStatus AudioUnitGetProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                              void* outData, uint32_t* ioDataSize);
OSStatus MusicDeviceMIDIEvent(AudioUnit unit, uint32_t status, uint32_t data1, uint32_t data2,
                              uint32_t offsetSampleFrame);

// Makes a unit for a component; returns nothing (optionally with an error) on failure.
using AUAudioUnitFactoryFunction =
    std::function<AUAudioUnitPtr(const AudioComponentDescription& description, uint32_t options, NSErrorPtr* outError)>;

// One installed component.
class AVAudioUnitComponent {
public:
    AVAudioUnitComponent(AudioComponentDescription description, std::optional<std::string> name,
                         std::optional<std::string> manufacturerName, AUAudioUnitFactoryFunction factory,
                         bool hasLowLevelHandle)
        : description_(description), name_(std::move(name)), manufacturerName_(std::move(manufacturerName)),
          factory_(std::move(factory)), hasLowLevelHandle_(hasLowLevelHandle) {}

    const AudioComponentDescription& audioComponentDescription() const { return description_; }
    const std::optional<std::string>& name() const { return name_; }
    const std::optional<std::string>& manufacturerName() const { return manufacturerName_; }
    const AUAudioUnitFactoryFunction& factory() const { return factory_; }
    bool hasLowLevelHandle() const { return hasLowLevelHandle_; }

private:
    AudioComponentDescription description_;
    std::optional<std::string> name_, manufacturerName_;
    AUAudioUnitFactoryFunction factory_;
    bool hasLowLevelHandle_;
};
using AVAudioUnitComponentPtr = std::shared_ptr<const AVAudioUnitComponent>;

// The process-wide registry. It holds the platform's own instruments and every
// component registered since; on first use it also loads the component modules
// (shared objects exporting `extern "C" void AUComponentModuleRegister()`)
// found in the directories listed in AU_COMPONENT_PATH.
class AVAudioUnitComponentManager {
public:
    static AVAudioUnitComponentManager& sharedAudioUnitComponentManager();

    // Components whose non-zero fields of `description` (type, subtype,
    // manufacturer) match, in registration order. Zero fields match anything.
    std::vector<AVAudioUnitComponentPtr> componentsMatchingDescription(const AudioComponentDescription& description) const;

private:
    AVAudioUnitComponentManager() = default;
};

// Installs a component (the same description may be installed more than once;
// each installation is listed).
AVAudioUnitComponentPtr AudioComponentRegister(const AudioComponentDescription& description,
                                               std::optional<std::string> name,
                                               std::optional<std::string> manufacturerName,
                                               AUAudioUnitFactoryFunction factory, bool hasLowLevelHandle = true);
// Removes one installation made by AudioComponentRegister; false when it is
// not installed. Instances already made stay usable.
bool AudioComponentUnregister(const AVAudioUnitComponentPtr& component);

// A unit instance as hosts hold it: the unit object and its low-level handle.
class AVAudioUnit {
public:
    using CompletionHandler = std::function<void(std::shared_ptr<AVAudioUnit> unit, NSErrorPtr error)>;

    // Creates an instance of the first installed component matching the
    // description and calls the handler exactly once, on another thread, with
    // the instance or an error (a component whose factory gives neither yields
    // neither). Out-of-process instantiation is not available here and fails
    // with an error in NSOSStatusErrorDomain. Names the unit leaves absent are
    // taken from the component.
    static void instantiateWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                                    CompletionHandler completionHandler);

    AVAudioUnit(AUAudioUnitPtr unit, bool hasLowLevelHandle);
    ~AVAudioUnit();

    const AUAudioUnitPtr& auAudioUnit() const { return unit_; }
    AudioUnit audioUnit() const { return handle_; }
    std::optional<std::string> name() const { return unit_->audioUnitName(); }
    std::optional<std::string> manufacturerName() const { return unit_->manufacturerName(); }

private:
    AUAudioUnitPtr unit_;
    AudioUnit handle_ = nullptr;
};
using AVAudioUnitPtr = std::shared_ptr<AVAudioUnit>;
