// Instantiation of installed components, and the instance as hosts hold it.
#include <Platform/AVAudioUnit.h>

#include "AudioUnitHandle.h"
#include "ComponentRegistry.h"

#include <exception>
#include <system_error>
#include <thread>

namespace {

std::string codeText(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char((code >> shift) & 0xFF);
        if (c == '\0') break;
        text += c;
    }
    return text;
}

std::string identifierText(const AudioComponentDescription& description) {
    return codeText(description.componentType) + "/" + codeText(description.componentSubType) + "/" +
           codeText(description.componentManufacturer);
}

AVAudioUnitPtr failWith(NSErrorPtr* outError, OSStatus status, std::string description) {
    *outError = makeError(NSOSStatusErrorDomain, status, std::move(description));
    return nullptr;
}

void adoptComponentNames(AUAudioUnit& unit, const AVAudioUnitComponent& component) {
    auto unitName = unit.audioUnitName() ? unit.audioUnitName() : component.name();
    auto manufacturer = unit.manufacturerName() ? unit.manufacturerName() : component.manufacturerName();
    auto componentName = unit.componentName();
    if (!componentName && unitName) componentName = manufacturer ? *manufacturer + ": " + *unitName : *unitName;
    unit.setNames(componentName, unitName, manufacturer);
}

AVAudioUnitPtr instantiate(const AudioComponentDescription& description, uint32_t options, NSErrorPtr* outError) {
    if (options & kAudioComponentInstantiation_LoadOutOfProcess)
        return failWith(outError, kAudioComponentErr_NotPermitted, "Out-of-process instantiation is not available");
    const auto components = ComponentRegistry::shared().matching(description);
    if (components.empty())
        return failWith(outError, kAudioComponentErr_ComponentNotFound,
                        "No installed audio unit matches " + identifierText(description));
    const AVAudioUnitComponentPtr& component = components.front();
    if (!component->factory())
        return failWith(outError, kAudioUnitErr_FailedInitialization, "The audio unit cannot be created");
    AUAudioUnitPtr unit;
    try {
        unit = component->factory()(component->audioComponentDescription(), options, outError);
    } catch (const std::exception& exception) {
        return failWith(outError, kAudioUnitErr_FailedInitialization, exception.what());
    } catch (...) {
        return failWith(outError, kAudioUnitErr_FailedInitialization, "The audio unit failed to initialise");
    }
    if (!unit) return nullptr;
    adoptComponentNames(*unit, *component);
    return std::make_shared<AVAudioUnit>(std::move(unit), component->hasLowLevelHandle());
}

} // namespace

void AVAudioUnit::instantiateWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                                      CompletionHandler completionHandler) {
    auto work = [description, options, completionHandler] {
        NSErrorPtr error;
        AVAudioUnitPtr unit = instantiate(description, options, &error);
        if (completionHandler) completionHandler(std::move(unit), std::move(error));
    };
    try {
        std::thread(work).detach();
    } catch (const std::system_error& failure) {
        if (completionHandler)
            completionHandler(nullptr, makeError(NSOSStatusErrorDomain, kAudioUnitErr_FailedInitialization,
                                                 std::string("Cannot start instantiation: ") + failure.what()));
    }
}

AVAudioUnit::AVAudioUnit(AUAudioUnitPtr unit, bool hasLowLevelHandle) : unit_(std::move(unit)) {
    if (hasLowLevelHandle && unit_) handle_ = new OpaqueAudioComponentInstance{OpaqueAudioComponentInstance::kLiveTag,
                                                                                unit_.get()};
}

AVAudioUnit::~AVAudioUnit() {
    if (!handle_) return;
    handle_->tag = 0;
    delete handle_;
}
