// The catalogue of installed instrument plugins and its record type.
#pragma once

#include <Platform/AVAudioUnit.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// Catalogue record of one installed instrument.
class AUPluginDescription {
public:
    AUPluginDescription(uint32_t type, uint32_t subtype, uint32_t mfr, std::string name, std::string manufacturer)
        : type_(type), subtype_(subtype), mfr_(mfr), name_(std::move(name)), manufacturer_(std::move(manufacturer)) {}

    uint32_t type() const { return type_; }
    uint32_t subtype() const { return subtype_; }
    uint32_t mfr() const { return mfr_; }
    const std::string& name() const { return name_; }
    const std::string& manufacturer() const { return manufacturer_; }

    // "type/subtype/manufacturer", each code written as text.
    std::string pluginIdentifier() const;
    // The list_plugins entry: name, manufacturer, identifier.
    nlohmann::json dictionaryRepresentation() const;

    // A code's four bytes, most significant first, as text up to the first
    // zero byte. Bytes outside ASCII are read as Latin-1, so the text is
    // always valid UTF-8 (such codes do not read back to the same value).
    static std::string stringFromFourCharCode(uint32_t code);

private:
    uint32_t type_, subtype_, mfr_;
    std::string name_, manufacturer_;
};
using AUPluginDescriptionPtr = std::shared_ptr<const AUPluginDescription>;

class AUPluginEnumerator {
public:
    AUPluginEnumerator() = delete;

    // Every installed instrument, in the registry's order, duplicates kept.
    // Asks the registry afresh on every call.
    static std::vector<AUPluginDescriptionPtr> listInstrumentPlugins();
    // A record for a component (all codes 0 and "Unknown" names when none is given).
    static AUPluginDescriptionPtr descriptionFromComponent(const AVAudioUnitComponent* component);
    // The first listed instrument whose identifier equals `identifier`.
    static AUPluginDescriptionPtr findPluginWithIdentifier(const std::string& identifier);
};
