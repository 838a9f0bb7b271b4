// Helpers shared by the platform tests: synchronous instantiation and a
// small host that renders a unit block by block on one timeline.
#pragma once

#include <Platform/AVAudioUnit.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <memory>
#include <vector>

struct Instantiation {
    AVAudioUnitPtr unit;
    NSErrorPtr error;
    int calls = 0;
    bool calledOnCallingThread = false;
};

inline AudioComponentDescription describe(const char (&type)[5], const char (&subtype)[5],
                                          const char (&manufacturer)[5]) {
    AudioComponentDescription description{};
    description.componentType = fourCC(type);
    description.componentSubType = fourCC(subtype);
    description.componentManufacturer = fourCC(manufacturer);
    return description;
}

// Waits for the completion and checks that it came exactly once: a second
// call within a short grace period is reported as a count of 2.
inline Instantiation instantiate(const AudioComponentDescription& description,
                                 uint32_t options = kAudioComponentInstantiation_LoadInProcess) {
    struct Shared {
        std::mutex mutex;
        std::condition_variable changed;
        Instantiation result;
    };
    auto shared = std::make_shared<Shared>();
    const auto caller = std::this_thread::get_id();
    AVAudioUnit::instantiateWithComponentDescription(description, options, [shared, caller](AVAudioUnitPtr unit,
                                                                                             NSErrorPtr error) {
        std::lock_guard lock(shared->mutex);
        shared->result.unit = std::move(unit);
        shared->result.error = std::move(error);
        shared->result.calledOnCallingThread = std::this_thread::get_id() == caller;
        ++shared->result.calls;
        shared->changed.notify_all();
    });
    std::unique_lock lock(shared->mutex);
    shared->changed.wait(lock, [&] { return shared->result.calls > 0; });
    return shared->result;
}

// Stereo, deinterleaved float buffers and a running sample time.
class BlockRenderer {
public:
    explicit BlockRenderer(const AUAudioUnitPtr& unit, uint32_t maxFrames = 4096)
        : render_(unit->renderBlock()), left_(maxFrames), right_(maxFrames),
          list_(static_cast<AudioBufferList*>(::operator new(audioBufferListSize(2)))) {
        list_->mNumberBuffers = 2;
    }
    ~BlockRenderer() { ::operator delete(list_); }
    BlockRenderer(const BlockRenderer&) = delete;
    BlockRenderer& operator=(const BlockRenderer&) = delete;

    // Renders one block at the current time and moves the time on.
    OSStatus renderBlock(uint32_t frames) {
        for (uint32_t c = 0; c < 2; ++c) {
            auto& samples = c == 0 ? left_ : right_;
            std::fill(samples.begin(), samples.begin() + frames, 0.0f);
            list_->mBuffers[c] = {1, uint32_t(frames * sizeof(float)), samples.data()};
        }
        AudioTimeStamp timestamp{};
        timestamp.mSampleTime = double(sampleTime_);
        timestamp.mFlags = kAudioTimeStampSampleTimeValid;
        AudioUnitRenderActionFlags flags = 0;
        const OSStatus status = render_(&flags, &timestamp, frames, 0, list_, nullptr);
        if (status == noErr) {
            leftOut_.insert(leftOut_.end(), left_.begin(), left_.begin() + frames);
            rightOut_.insert(rightOut_.end(), right_.begin(), right_.begin() + frames);
        }
        sampleTime_ += frames;
        return status;
    }

    // Renders `frames` frames in blocks of `blockSize`; stops at the first failure.
    OSStatus render(uint32_t frames, uint32_t blockSize = 512) {
        while (frames > 0) {
            const uint32_t block = std::min(frames, blockSize);
            if (const OSStatus status = renderBlock(block); status != noErr) return status;
            frames -= block;
        }
        return noErr;
    }

    int64_t sampleTime() const { return sampleTime_; }
    void setSampleTime(int64_t time) { sampleTime_ = time; }
    const std::vector<float>& left() const { return leftOut_; }
    const std::vector<float>& right() const { return rightOut_; }
    void clearOutput() {
        leftOut_.clear();
        rightOut_.clear();
    }

private:
    AURenderBlock render_;
    std::vector<float> left_, right_;
    std::vector<float> leftOut_, rightOut_;
    AudioBufferList* list_;
    int64_t sampleTime_ = 0;
};
