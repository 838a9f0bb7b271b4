#include "AUHostEngine.h"

#include "AUPluginEnumerator.h"

#include <cstdio>

NSErrorPtr AUHostEngineError(AUHostEngineErrorCode code, std::string description) {
    return makeError(AUHostEngineErrorDomain, code, std::move(description));
}

AUHostEngine::AUHostEngine() = default;
AUHostEngine::~AUHostEngine() = default;

// ---------------------------------------------------------------------------
// Plugin table

void AUHostEngine::filePlugin(const std::string& pluginId, LoadedPluginPtr plugin) {
    LoadedPluginPtr replaced;
    {
        std::lock_guard guard(lock_);
        auto& slot = plugins_[pluginId];
        replaced = std::move(slot);
        slot = std::move(plugin);
    }
    // `replaced` is released here, outside the lock: its last reference may
    // tear the instance down, which must not happen while the table is held.
}

LoadedPluginPtr AUHostEngine::loadedPluginForId(const std::string& pluginId) const {
    std::lock_guard guard(lock_);
    auto it = plugins_.find(pluginId);
    return it == plugins_.end() ? nullptr : it->second;
}

std::vector<std::string> AUHostEngine::loadedPluginIds() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> ids;
    ids.reserve(plugins_.size());
    for (const auto& entry : plugins_) ids.push_back(entry.first);
    return ids;
}

void AUHostEngine::unloadPlugin(const std::string& pluginId) {
    stopStream(pluginId);

    LoadedPluginPtr removed;
    {
        std::lock_guard guard(lock_);
        auto it = plugins_.find(pluginId);
        if (it == plugins_.end()) return;
        removed = std::move(it->second);
        plugins_.erase(it);
    }

    if (removed->audioUnit) {
        // Waits for a render that another connection is running with this
        // instance before its render resources go.
        std::lock_guard inUse(removed->useLock);
        removed->audioUnit->deallocateRenderResources();
    }
    NSLog("[SorvaneAUHost] Unloaded plugin %s", pluginId.c_str());
}

void AUHostEngine::unloadAll() {
    for (const auto& pluginId : loadedPluginIds()) unloadPlugin(pluginId);
}

AUAudioUnitPtr AUHostEngine::audioUnitForPluginId(const std::string& pluginId) const {
    auto plugin = loadedPluginForId(pluginId);
    return plugin ? plugin->audioUnit : nullptr;
}

AVAudioUnitPtr AUHostEngine::avAudioUnitForPluginId(const std::string& pluginId) const {
    auto plugin = loadedPluginForId(pluginId);
    return plugin ? plugin->avAudioUnit : nullptr;
}

std::optional<std::string> AUHostEngine::displayNameForPluginId(const std::string& pluginId) const {
    auto unit = audioUnitForPluginId(pluginId);
    if (!unit) return std::nullopt;
    if (auto name = unit->audioUnitName()) return name;
    if (auto name = unit->componentName()) return name;
    return pluginId;
}

// ---------------------------------------------------------------------------
// Identifiers

AudioComponentDescription AUHostEngine::descriptionFromIdentifier(const std::string& identifier) {
    AudioComponentDescription description{};
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = identifier.find('/', start);
        parts.push_back(identifier.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() != 3) return description;
    description.componentType = fourCharCodeFromString(parts[0]);
    description.componentSubType = fourCharCodeFromString(parts[1]);
    description.componentManufacturer = fourCharCodeFromString(parts[2]);
    return description;
}

uint32_t AUHostEngine::fourCharCodeFromString(const std::string& text) {
    // Padding the bytes gives the same first four bytes as padding the
    // characters: any text shorter than four characters that reaches four
    // bytes already supplies all four from its own characters.
    std::string padded = text;
    if (padded.size() < 4) padded.append(4 - padded.size(), ' ');
    uint32_t code = 0;
    for (int i = 0; i < 4; ++i) code = (code << 8) | static_cast<uint8_t>(padded[i]);
    return code;
}

std::string AUHostEngine::formatComponentDescription(const AudioComponentDescription& description) {
    char flags[8];
    std::snprintf(flags, sizeof flags, "%04X", description.componentFlags & 0xFFFFu);
    return AUPluginDescription::stringFromFourCharCode(description.componentType) + "," +
           AUPluginDescription::stringFromFourCharCode(description.componentSubType) + "," +
           AUPluginDescription::stringFromFourCharCode(description.componentManufacturer) + "," + flags;
}

// ---------------------------------------------------------------------------
// Ring streaming

void AUHostEngine::stopStream(const std::optional<std::string>& pluginId) {
    // No ring stream can be active yet.
    (void)pluginId;
}
