// The low-level handle of a unit instance: a checked pointer to its unit.
#pragma once

#include <Platform/AVAudioUnit.h>

struct OpaqueAudioComponentInstance {
    static constexpr uint32_t kLiveTag = 0x41556e74; // 'AUnt'
    uint32_t tag = kLiveTag;
    AUAudioUnit* unit = nullptr;
};
