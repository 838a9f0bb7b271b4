#include "ComponentRegistry.h"

namespace {

thread_local bool installing = false;

bool fieldMatches(uint32_t wanted, uint32_t actual) { return wanted == 0 || wanted == actual; }

bool descriptionMatches(const AudioComponentDescription& wanted, const AudioComponentDescription& actual) {
    return fieldMatches(wanted.componentType, actual.componentType) &&
           fieldMatches(wanted.componentSubType, actual.componentSubType) &&
           fieldMatches(wanted.componentManufacturer, actual.componentManufacturer);
}

} // namespace

ComponentRegistry& ComponentRegistry::shared() {
    static ComponentRegistry registry;
    static std::once_flag installed;
    if (!installing) {
        std::call_once(installed, [] {
            installing = true;
            registerPlatformInstruments();
            loadComponentModules();
            installing = false;
        });
    }
    return registry;
}

AVAudioUnitComponentPtr ComponentRegistry::add(AVAudioUnitComponentPtr component) {
    std::lock_guard lock(mutex_);
    components_.push_back(component);
    return component;
}

bool ComponentRegistry::remove(const AVAudioUnitComponentPtr& component) {
    std::lock_guard lock(mutex_);
    for (auto it = components_.begin(); it != components_.end(); ++it) {
        if (*it == component) {
            components_.erase(it);
            return true;
        }
    }
    return false;
}

std::vector<AVAudioUnitComponentPtr> ComponentRegistry::matching(const AudioComponentDescription& description) const {
    std::lock_guard lock(mutex_);
    std::vector<AVAudioUnitComponentPtr> found;
    for (const auto& component : components_)
        if (descriptionMatches(description, component->audioComponentDescription())) found.push_back(component);
    return found;
}
