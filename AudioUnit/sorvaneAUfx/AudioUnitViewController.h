// Principal object of the extension: the view controller the platform asks
// for the effect unit.
#pragma once

#include <Platform/AUViewController.h>

class AudioUnitViewController : public AUViewController, public AUAudioUnitFactory {
public:
    AudioUnitViewController();
    ~AudioUnitViewController() override;

    void initWithNibName(const std::optional<std::string>& nibName,
                         const std::optional<std::string>& bundlePath) override;
    void initWithCoder(const NSCoder& coder) override;
    // The effect has no controls: the view stays empty.
    void viewDidLoad() override;

    // Keeps only the unit made last.
    AUAudioUnitPtr createAudioUnitWithComponentDescription(const AudioComponentDescription& description,
                                                           NSErrorPtr* outError) override;

    const AUAudioUnitPtr& audioUnit() const { return audioUnit_; }

private:
    AUAudioUnitPtr audioUnit_;
};

// Extension entry (see Platform/AUViewController.h).
extern "C" __attribute__((visibility("default"))) AUViewController* AUExtensionPrincipalViewController();
