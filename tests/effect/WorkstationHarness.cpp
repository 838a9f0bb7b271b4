#include "WorkstationHarness.h"

#include "AllocationCounter.h"

#include <dlfcn.h>

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace effecttest {

AudioComponentDescription effectDescription() {
    return {kAudioUnitType_Effect, fourCC("sAfx"), fourCC("Quen"), 0, 0};
}

WorkstationHarness::WorkstationHarness(const std::string& modulePath) {
    void* module = dlopen(modulePath.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) throw std::runtime_error(std::string("cannot load the effect module: ") + dlerror());
    auto entry = reinterpret_cast<AUExtensionEntryFunction>(dlsym(module, AUExtensionEntrySymbol));
    if (!entry) throw std::runtime_error("the effect module has no extension entry");
    controller_.reset(entry());
    factory_ = dynamic_cast<AUAudioUnitFactory*>(controller_.get());
    if (!factory_) throw std::runtime_error("the principal controller is no audio unit factory");
    controller_->loadViewIfNeeded();
}

WorkstationHarness::~WorkstationHarness() = default;

AUAudioUnitPtr WorkstationHarness::createUnit(NSErrorPtr* outError) const {
    return factory_->createAudioUnitWithComponentDescription(effectDescription(), outError);
}

void WorkstationHarness::releaseController() {
    factory_ = nullptr;
    controller_.reset();
}

bool WorkstationHarness::proposeFormat(const AUAudioUnitPtr& unit, AUAudioUnitBusType direction,
                                       AVAudioFormatPtr format, NSErrorPtr* outError) {
    auto busses = direction == AUAudioUnitBusTypeInput ? unit->inputBusses() : unit->outputBusses();
    auto bus = busses ? busses->objectAtIndexedSubscript(0) : nullptr;
    if (!bus) throw std::runtime_error("the unit has no bus 0");
    return bus->setFormat(std::move(format), outError);
}

OutputBuffers::OutputBuffers(uint32_t capacity)
    : left_(capacity), right_(capacity), storage_(audioBufferListSize(2)) {
    AudioBufferList* buffers = list();
    buffers->mNumberBuffers = 2;
    buffers->mBuffers[0] = {1, uint32_t(capacity * sizeof(float)), left_.data()};
    buffers->mBuffers[1] = {1, uint32_t(capacity * sizeof(float)), right_.data()};
}

void OutputBuffers::fill(float value) {
    std::fill(left_.begin(), left_.end(), value);
    std::fill(right_.begin(), right_.end(), value);
}

void OutputBuffers::detach() {
    list()->mBuffers[0].mData = nullptr;
    list()->mBuffers[1].mData = nullptr;
}

RenderThread::RenderThread(AUAudioUnitPtr unit) {
    NSErrorPtr error;
    if (!unit->allocateRenderResourcesAndReturnError(&error))
        throw std::runtime_error("render resources not allocated: " + (error ? error->localizedDescription : ""));
    renderBlock_ = unit->renderBlock();
    // Copies the test's input into whatever buffers the unit offers; never allocates.
    pullBlock_ = [this](AudioUnitRenderActionFlags*, const AudioTimeStamp*, AUAudioFrameCount frames, NSInteger bus,
                        AudioBufferList* input) -> AUAudioUnitStatus {
        ++pulls_;
        if (pullStatus_ != 0) return pullStatus_;
        if (bus != 0 || input->mNumberBuffers != 2) return kAudioUnitErr_InvalidElement;
        const float* sources[2] = {inputLeft_.data(), inputRight_.data()};
        const size_t available[2] = {inputLeft_.size(), inputRight_.size()};
        for (int b = 0; b < 2; ++b) {
            const size_t n = std::min<size_t>(frames, available[b]);
            std::memcpy(input->mBuffers[b].mData, sources[b], n * sizeof(float));
            input->mBuffers[b].mDataByteSize = uint32_t(frames * sizeof(float));
        }
        return 0;
    };
    thread_ = std::thread([this] { loop(); });
}

RenderThread::~RenderThread() {
    stopping_ = true;
    start_.release();
    thread_.join();
}

void RenderThread::setInput(std::vector<float> left, std::vector<float> right) {
    inputLeft_ = std::move(left);
    inputRight_ = std::move(right);
}

CycleResult RenderThread::render(AUAudioFrameCount frames, OutputBuffers& output, bool connectInput) {
    frames_ = frames;
    output_ = &output;
    connectInput_ = connectInput;
    start_.release();
    done_.acquire();
    return result_;
}

void RenderThread::loop() {
    for (;;) {
        start_.acquire();
        if (stopping_) return;
        AudioUnitRenderActionFlags flags = 0;
        AudioTimeStamp timestamp;
        timestamp.mSampleTime = sampleTime_;
        timestamp.mFlags = kAudioTimeStampSampleTimeValid;
        const int pullsBefore = pulls_;
        AudioBufferList* output = output_->list();
        const AURenderPullInputBlock* pull = connectInput_ ? &pullBlock_ : nullptr;

        beginCountingAllocations();
        const AUAudioUnitStatus status = renderBlock_(&flags, &timestamp, frames_, 0, output, pull);
        const long allocations = endCountingAllocations();

        sampleTime_ += frames_;
        result_ = {status, allocations, pulls_ - pullsBefore};
        done_.release();
    }
}

} // namespace effecttest
