// The buses of one direction of a unit.
#include <Platform/AUAudioUnit.h>

AUAudioUnitBusArray::AUAudioUnitBusArray(AUAudioUnit* owner, AUAudioUnitBusType busType,
                                         std::vector<AUAudioUnitBusPtr> busses)
    : owner_(owner), busType_(busType), busses_(std::move(busses)) {
    for (NSUInteger index = 0; index < busses_.size(); ++index) {
        if (!busses_[index]) continue;
        busses_[index]->owner_ = owner;
        busses_[index]->busType_ = busType;
        busses_[index]->index_ = index;
    }
}

AUAudioUnitBusPtr AUAudioUnitBusArray::objectAtIndexedSubscript(NSUInteger index) const {
    return index < busses_.size() ? busses_[index] : nullptr;
}
