// A small workstation: loads the effect module, makes its principal view
// controller through the module's entry, asks the controller's factory for
// units, proposes bus formats, allocates render resources, and drives render
// cycles from a render thread of its own, pulling the unit's input from
// buffers that the test controls.
#pragma once

#include <Platform/AUAudioUnit.h>
#include <Platform/AUViewController.h>

#include <cstdint>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

namespace effecttest {

// The component the harness asks for.
AudioComponentDescription effectDescription();

class WorkstationHarness {
public:
    // Loads the module (it stays loaded for the rest of the process: units and
    // their pending completions run its code) and makes the principal controller.
    explicit WorkstationHarness(const std::string& modulePath);
    ~WorkstationHarness();

    AUViewController& controller() const { return *controller_; }
    AUAudioUnitFactory& factory() const { return *factory_; }
    AUAudioUnitPtr createUnit(NSErrorPtr* outError = nullptr) const;
    // Releases the principal controller (and with it the last unit it made).
    void releaseController();

    // Proposes a format to bus 0 of one direction.
    static bool proposeFormat(const AUAudioUnitPtr& unit, AUAudioUnitBusType direction, AVAudioFormatPtr format,
                              NSErrorPtr* outError = nullptr);

private:
    std::unique_ptr<AUViewController> controller_;
    AUAudioUnitFactory* factory_ = nullptr;
};

// The buffers a host hands to a render call: two non-interleaved float
// buffers, or a list whose data pointers are null (the unit supplies them).
class OutputBuffers {
public:
    explicit OutputBuffers(uint32_t capacity = 4097);
    void fill(float value);
    void detach();  // null data pointers, as a host that wants the unit's buffers sends
    AudioBufferList* list() { return reinterpret_cast<AudioBufferList*>(storage_.data()); }
    const float* left() { return static_cast<const float*>(list()->mBuffers[0].mData); }
    const float* right() { return static_cast<const float*>(list()->mBuffers[1].mData); }

private:
    std::vector<float> left_, right_;
    std::vector<unsigned char> storage_;
};

struct CycleResult {
    AUAudioUnitStatus status = 0;
    long allocations = 0;  // heap allocations of the render thread during the call
    int pulls = 0;         // calls of the input pull block
};

// Allocates the unit's render resources when started and drives its render
// block on a dedicated thread, one cycle at a time.
class RenderThread {
public:
    explicit RenderThread(AUAudioUnitPtr unit);
    ~RenderThread();

    // Input the pull block copies from (sample i of the cycle = element i).
    void setInput(std::vector<float> left, std::vector<float> right);
    void setPullStatus(AUAudioUnitStatus status) { pullStatus_ = status; }

    // One render call on the render thread; the caller waits for it.
    CycleResult render(AUAudioFrameCount frames, OutputBuffers& output, bool connectInput = true);

private:
    void loop();

    AURenderBlock renderBlock_;
    AURenderPullInputBlock pullBlock_;
    std::vector<float> inputLeft_, inputRight_;
    AUAudioUnitStatus pullStatus_ = 0;
    int pulls_ = 0;
    double sampleTime_ = 0;

    // The cycle handed to the render thread.
    AUAudioFrameCount frames_ = 0;
    OutputBuffers* output_ = nullptr;
    bool connectInput_ = true;
    CycleResult result_;
    bool stopping_ = false;
    std::binary_semaphore start_{0}, done_{0};
    std::thread thread_;
};

} // namespace effecttest
