// The process-wide list of installed components behind the component manager.
#pragma once

#include <Platform/AVAudioUnit.h>

#include <mutex>
#include <vector>

class ComponentRegistry {
public:
    // On the first call the platform's own instruments are installed, then the
    // component modules of AU_COMPONENT_PATH are loaded (their registrations
    // come back here while this runs).
    static ComponentRegistry& shared();

    AVAudioUnitComponentPtr add(AVAudioUnitComponentPtr component);
    bool remove(const AVAudioUnitComponentPtr& component);
    std::vector<AVAudioUnitComponentPtr> matching(const AudioComponentDescription& description) const;

private:
    ComponentRegistry() = default;

    mutable std::mutex mutex_;
    std::vector<AVAudioUnitComponentPtr> components_;
};

// Installs aumu/dls /appl and aumu/msyn/appl.
void registerPlatformInstruments();
// Loads every *.so of the directories in AU_COMPONENT_PATH and calls its
// AUComponentModuleRegister.
void loadComponentModules();
