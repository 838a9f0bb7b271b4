#include "AUPluginEnumerator.h"

std::string AUPluginDescription::stringFromFourCharCode(uint32_t code) {
    std::string text;
    for (int shift = 24; shift >= 0; shift -= 8) {
        auto byte = static_cast<uint8_t>(code >> shift);
        if (byte == 0) break;
        if (byte < 0x80) {
            text.push_back(static_cast<char>(byte));
        } else {
            text.push_back(static_cast<char>(0xC0 | (byte >> 6)));
            text.push_back(static_cast<char>(0x80 | (byte & 0x3F)));
        }
    }
    return text;
}

std::string AUPluginDescription::pluginIdentifier() const {
    return stringFromFourCharCode(type_) + "/" + stringFromFourCharCode(subtype_) + "/" +
           stringFromFourCharCode(mfr_);
}

nlohmann::json AUPluginDescription::dictionaryRepresentation() const {
    return {{"name", name_}, {"manufacturer", manufacturer_}, {"identifier", pluginIdentifier()}};
}

std::vector<AUPluginDescriptionPtr> AUPluginEnumerator::listInstrumentPlugins() {
    AudioComponentDescription anyInstrument{};
    anyInstrument.componentType = kAudioUnitType_MusicDevice;
    auto components =
        AVAudioUnitComponentManager::sharedAudioUnitComponentManager().componentsMatchingDescription(anyInstrument);

    std::vector<AUPluginDescriptionPtr> plugins;
    plugins.reserve(components.size());
    for (const auto& component : components) plugins.push_back(descriptionFromComponent(component.get()));
    return plugins;
}

AUPluginDescriptionPtr AUPluginEnumerator::descriptionFromComponent(const AVAudioUnitComponent* component) {
    if (!component) return std::make_shared<const AUPluginDescription>(0, 0, 0, "Unknown", "Unknown");
    const auto& description = component->audioComponentDescription();
    return std::make_shared<const AUPluginDescription>(
        description.componentType, description.componentSubType, description.componentManufacturer,
        component->name().value_or("Unknown"), component->manufacturerName().value_or("Unknown"));
}

AUPluginDescriptionPtr AUPluginEnumerator::findPluginWithIdentifier(const std::string& identifier) {
    for (auto& plugin : listInstrumentPlugins()) {
        if (plugin->pluginIdentifier() == identifier) return plugin;
    }
    return nullptr;
}
