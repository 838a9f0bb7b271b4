// View controller base of Audio Unit extensions and the factory protocol.
#include <Platform/AUViewController.h>

AUViewController::AUViewController() = default;
AUViewController::~AUViewController() = default;

void AUViewController::initWithNibName(const std::optional<std::string>&, const std::optional<std::string>&) {}

void AUViewController::initWithCoder(const NSCoder&) {}

void AUViewController::viewDidLoad() {}

void AUViewController::loadViewIfNeeded() {
    if (viewLoaded_) return;
    viewLoaded_ = true;
    viewDidLoad();
}

// Defined here so the protocol has one type identity across loaded modules.
AUAudioUnitFactory::~AUAudioUnitFactory() = default;
