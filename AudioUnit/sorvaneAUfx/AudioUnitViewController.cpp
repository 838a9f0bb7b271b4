#include "AudioUnitViewController.h"

#include "sorvaneAUfxAudioUnit.h"

AudioUnitViewController::AudioUnitViewController() = default;
AudioUnitViewController::~AudioUnitViewController() = default;

void AudioUnitViewController::initWithNibName(const std::optional<std::string>& nibName,
                                              const std::optional<std::string>& bundlePath) {
    audioUnit_.reset();
    AUViewController::initWithNibName(nibName, bundlePath);
}

void AudioUnitViewController::initWithCoder(const NSCoder& coder) {
    audioUnit_.reset();
    AUViewController::initWithCoder(coder);
}

void AudioUnitViewController::viewDidLoad() {
    AUViewController::viewDidLoad();
}

AUAudioUnitPtr AudioUnitViewController::createAudioUnitWithComponentDescription(
    const AudioComponentDescription& description, NSErrorPtr* outError) {
    auto unit = AUAudioUnit::create<sorvaneAUfxAudioUnit>(description, 0, outError);
    if (!unit) return nullptr;
    audioUnit_ = unit;
    return unit;
}

AUViewController* AUExtensionPrincipalViewController() {
    auto* controller = new AudioUnitViewController();
    controller->initWithNibName(std::nullopt, std::nullopt);
    return controller;
}
