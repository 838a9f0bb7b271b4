// The effect unit: hands the track's input to the application and mixes the
// application's audio into its output, through three memory-mapped files whose
// location the application names when the unit registers with it.
#pragma once

#include <Platform/AUAudioUnit.h>
#include <Platform/AudioTypes.h>
#include <Platform/Foundation.h>
#include <Platform/URLSession.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Process-wide registration state, shared by every unit of the extension and
// exported from the module under these names.
extern __attribute__((visibility("default"))) NSURLSessionPtr _session;
extern __attribute__((visibility("default"))) std::optional<std::string> _applicationLocation;

class sorvaneAUfxAudioUnit : public AUAudioUnit {
public:
    static constexpr double kSampleRate = 44100.0;
    static constexpr AVAudioChannelCount kChannelCount = 2;
    static constexpr uint32_t kInputBufferFrames = 4096;
    static constexpr AUAudioFrameCount kMaximumFramesToRender = 2048;
    // Words of the control file: 0 read position (ours), 1 unused, 2 dry gain (the application's).
    static constexpr size_t kControlWordCount = 3;

    sorvaneAUfxAudioUnit();
    ~sorvaneAUfxAudioUnit() override;

    bool initWithComponentDescription(const AudioComponentDescription& description, uint32_t options,
                                      NSErrorPtr* outError) override;

    AUAudioUnitBusArrayPtr inputBusses() override { return inputBusArray_; }
    AUAudioUnitBusArrayPtr outputBusses() override { return outputBusArray_; }
    std::vector<int> channelCapabilities() const override { return {2, 2}; }
    bool shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus* bus) override;
    bool allocateRenderResourcesAndReturnError(NSErrorPtr* outError) override;
    void deallocateRenderResources() override;
    AUInternalRenderBlock internalRenderBlock() override;

    // Registration with the application (runs on the creating thread; the
    // reply is handled on the URL session's thread).
    void initializeHttpSession();
    void registerStream();

    // Shared files of a stream: location/stream + "_ctl", "_out", "_in".
    void initializeSharedMemory(const std::string& location, const std::string& stream);
    // Maps an existing file whole; returns null on failure. Sets bufferSize to
    // the file's length in floats and reports the mapped length in bytes.
    float* mapSharedMemoryAtPath(const std::string& path, size_t* outMappedBytes = nullptr);
    void deinitalizeSharedMemory();

    // One render cycle of the exchange, on the render thread.
    void processAudioWithBuffer(AudioBufferList* outputData, AUAudioFrameCount frameCount);

    void allocateInputBuffersWithChannelCount(uint32_t channels, uint32_t frames);
    void freeInputBuffers();

    // Properties.
    uint32_t inputBufferSize() const { return inputBufferSize_; }
    const AUAudioUnitBusPtr& inputBus() const { return inputBus_; }
    const AUAudioUnitBusPtr& outputBus() const { return outputBus_; }
    const AUAudioUnitBusArrayPtr& inputBusArray() const { return inputBusArray_; }
    const AUAudioUnitBusArrayPtr& outputBusArray() const { return outputBusArray_; }
    AudioBufferList* inputBufferList() const { return inputBufferList_; }
    uint64_t bufferSize() const { return bufferSize_.load(std::memory_order_acquire); }
    uint64_t readPosition() const { return readPosition_.load(std::memory_order_relaxed); }
    float* controlMemory() const { return controlMemory_.load(std::memory_order_acquire); }
    float* sharedMemoryIn() const { return sharedMemoryIn_.load(std::memory_order_acquire); }
    float* sharedMemoryOut() const { return sharedMemoryOut_.load(std::memory_order_acquire); }

private:
    AUAudioUnitStatus render(AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp,
                             AUAudioFrameCount frameCount, AudioBufferList* outputData,
                             const AURenderPullInputBlock* pullInputBlock);
    void prepareInputBuffers(AUAudioFrameCount frameCount);
    void supplyMissingOutputBuffers(AudioBufferList* outputData, AUAudioFrameCount frameCount);
    void handleRegistrationReply(const std::optional<std::string>& data, const NSHTTPURLResponsePtr& response,
                                 const NSErrorPtr& error);
    static void unmap(std::atomic<float*>& mapping, size_t bytes);

    AVAudioFormatPtr format_;
    uint32_t inputBufferSize_ = 0;
    AUAudioUnitBusPtr inputBus_, outputBus_;
    AUAudioUnitBusArrayPtr inputBusArray_, outputBusArray_;
    AudioBufferList* inputBufferList_ = nullptr;
    // The arrays we allocated for the input list; a host's pull may point the
    // list's buffers elsewhere, so these are what gets restored and freed.
    std::vector<float*> inputArrays_;

    // Written by the mapping (URL session thread) before the pointers are
    // published with release; the render thread reads the pointers with
    // acquire, so it sees either no mapping or a complete one.
    std::atomic<uint64_t> bufferSize_{0};
    std::atomic<uint64_t> readPosition_{0};
    std::atomic<float*> controlMemory_{nullptr};
    std::atomic<float*> sharedMemoryIn_{nullptr};
    std::atomic<float*> sharedMemoryOut_{nullptr};
    size_t controlMemoryBytes_ = 0, sharedMemoryInBytes_ = 0, sharedMemoryOutBytes_ = 0;
};
