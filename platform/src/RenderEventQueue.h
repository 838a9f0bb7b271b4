// Scheduled MIDI events of one unit, on their way to its render block.
#pragma once

#include <Platform/AUAudioUnit.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <mutex>

// Any thread schedules; the render thread collects. Every buffer is allocated
// once, with the queue, so neither side allocates per event or per block.
class RenderEventQueue {
public:
    static constexpr size_t kCapacity = 2048;

    RenderEventQueue();

    // Any thread. Channel messages of 1 to 3 bytes; false when the message is
    // unusable or the queue is full (the event is dropped).
    bool schedule(AUEventSampleTime time, uint8_t cable, const uint8_t* bytes, size_t length);

    // Render thread. Returns the events due before blockStart + frames, sorted
    // by time (events of equal time in the order they were scheduled), as a
    // list that stays valid until the next call. Times before blockStart are
    // given as blockStart; immediate events are placed relative to blockStart.
    const AURenderEvent* collectDue(AUEventSampleTime blockStart, AUAudioFrameCount frames);

    // One render at a time per unit.
    bool tryBeginRender() { return !rendering_.test_and_set(std::memory_order_acquire); }
    void endRender() { rendering_.clear(std::memory_order_release); }

private:
    struct Scheduled {
        AUEventSampleTime time;
        bool immediate;
        uint8_t cable;
        uint8_t length;
        uint8_t bytes[3];
    };

    void takeArrivals(AUEventSampleTime blockStart);
    void insertPending(const Scheduled& event);

    std::mutex schedulers_;
    std::unique_ptr<Scheduled[]> arrivals_;
    std::atomic<size_t> arrivalWrite_{0}, arrivalRead_{0};
    std::unique_ptr<Scheduled[]> pending_;
    size_t pendingCount_ = 0;
    std::unique_ptr<AURenderEvent[]> due_;
    std::atomic_flag rendering_;
};
