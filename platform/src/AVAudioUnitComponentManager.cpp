// The component manager and component installation.
#include <Platform/AVAudioUnit.h>

#include "ComponentRegistry.h"

AVAudioUnitComponentManager& AVAudioUnitComponentManager::sharedAudioUnitComponentManager() {
    static AVAudioUnitComponentManager manager;
    ComponentRegistry::shared();
    return manager;
}

std::vector<AVAudioUnitComponentPtr>
AVAudioUnitComponentManager::componentsMatchingDescription(const AudioComponentDescription& description) const {
    return ComponentRegistry::shared().matching(description);
}

AVAudioUnitComponentPtr AudioComponentRegister(const AudioComponentDescription& description,
                                               std::optional<std::string> name,
                                               std::optional<std::string> manufacturerName,
                                               AUAudioUnitFactoryFunction factory, bool hasLowLevelHandle) {
    return ComponentRegistry::shared().add(std::make_shared<const AVAudioUnitComponent>(
        description, std::move(name), std::move(manufacturerName), std::move(factory), hasLowLevelHandle));
}

bool AudioComponentUnregister(const AVAudioUnitComponentPtr& component) {
    return ComponentRegistry::shared().remove(component);
}
