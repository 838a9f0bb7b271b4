// One bus of a unit and its format.
#include <Platform/AUAudioUnit.h>

namespace {

bool isUsableFormat(const AVAudioFormatPtr& format) {
    return format && format->channelCount() > 0 && format->sampleRate() > 0;
}

bool fail(NSErrorPtr* outError, OSStatus status, const char* description) {
    if (outError) *outError = makeError(NSOSStatusErrorDomain, status, description);
    return false;
}

} // namespace

std::shared_ptr<AUAudioUnitBus> AUAudioUnitBus::initWithFormat(AVAudioFormatPtr format, NSErrorPtr* outError) {
    if (!isUsableFormat(format)) {
        fail(outError, kAudioUnitErr_FormatNotSupported, "The bus format has no channels or no sample rate");
        return nullptr;
    }
    return std::make_shared<AUAudioUnitBus>(std::move(format));
}

AVAudioFormatPtr AUAudioUnitBus::format() const {
    std::lock_guard lock(mutex_);
    return format_;
}

// The owner is asked before anything changes; a unit whose render resources
// are allocated keeps the formats they were allocated for.
bool AUAudioUnitBus::setFormat(AVAudioFormatPtr format, NSErrorPtr* outError) {
    if (!isUsableFormat(format))
        return fail(outError, kAudioUnitErr_FormatNotSupported, "The format has no channels or no sample rate");
    if (owner_) {
        if (owner_->renderResourcesAllocated())
            return fail(outError, kAudioUnitErr_Initialized,
                        "The format cannot change while render resources are allocated");
        if (!owner_->shouldChangeToFormat(format, this))
            return fail(outError, kAudioUnitErr_FormatNotSupported, "The audio unit does not support this format");
    }
    std::lock_guard lock(mutex_);
    format_ = std::move(format);
    return true;
}
