// Audio Unit extension packaging: the view controller base class, the factory
// protocol, and the entry an extension module exports.
//
// An Audio Unit extension is a loadable module. The platform (or a workstation
// harness playing it) loads the module, looks up the C symbol named by
// AUExtensionEntrySymbol, calls it once to make the extension's principal view
// controller, and asks that controller -- which conforms to AUAudioUnitFactory --
// for units.
#pragma once

#include <Platform/AUAudioUnit.h>
#include <Platform/AudioTypes.h>
#include <Platform/Foundation.h>

#include <optional>
#include <string>

// Archived form a controller can be restored from (nothing is archived here).
struct NSCoder {};

class AUViewController {
public:
    AUViewController();
    virtual ~AUViewController();
    AUViewController(const AUViewController&) = delete;
    AUViewController& operator=(const AUViewController&) = delete;

    // Designated initialisers; the controller is usable after either.
    virtual void initWithNibName(const std::optional<std::string>& nibName,
                                 const std::optional<std::string>& bundlePath);
    virtual void initWithCoder(const NSCoder& coder);

    // Called once when the controller's view is first needed.
    virtual void viewDidLoad();

    // Loads the view (calling viewDidLoad) the first time it is asked for.
    void loadViewIfNeeded();
    bool isViewLoaded() const { return viewLoaded_; }

private:
    bool viewLoaded_ = false;
};

// The protocol the principal controller of an Audio Unit extension conforms to.
class AUAudioUnitFactory {
public:
    virtual ~AUAudioUnitFactory();
    // Returns the new unit, or nothing with *outError set.
    virtual AUAudioUnitPtr createAudioUnitWithComponentDescription(const AudioComponentDescription& description,
                                                                   NSErrorPtr* outError) = 0;
};

// Extension entry: returns a new principal view controller owned by the caller
// (release it with delete; its destructor is virtual).
extern "C" {
typedef AUViewController* (*AUExtensionEntryFunction)();
}
inline constexpr const char* AUExtensionEntrySymbol = "AUExtensionPrincipalViewController";
