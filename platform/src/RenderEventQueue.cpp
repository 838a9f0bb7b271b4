#include "RenderEventQueue.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr AUEventSampleTime kImmediateWindow = AUEventSampleTime(1) << 31;

bool isImmediate(AUEventSampleTime time) {
    return time >= AUEventSampleTimeImmediate && time < AUEventSampleTimeImmediate + kImmediateWindow;
}

} // namespace

RenderEventQueue::RenderEventQueue()
    : arrivals_(new Scheduled[kCapacity]), pending_(new Scheduled[kCapacity]), due_(new AURenderEvent[kCapacity]) {}

bool RenderEventQueue::schedule(AUEventSampleTime time, uint8_t cable, const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0 || length > 3) return false;
    Scheduled event{};
    event.immediate = isImmediate(time);
    event.time = event.immediate ? time - AUEventSampleTimeImmediate : time;
    event.cable = cable;
    event.length = uint8_t(length);
    std::memcpy(event.bytes, bytes, length);

    std::lock_guard lock(schedulers_);
    const size_t write = arrivalWrite_.load(std::memory_order_relaxed);
    if (write - arrivalRead_.load(std::memory_order_acquire) >= kCapacity) return false;
    arrivals_[write % kCapacity] = event;
    arrivalWrite_.store(write + 1, std::memory_order_release);
    return true;
}

// Arrivals that do not fit wait in the arrival ring for a later block.
void RenderEventQueue::takeArrivals(AUEventSampleTime blockStart) {
    size_t read = arrivalRead_.load(std::memory_order_relaxed);
    const size_t write = arrivalWrite_.load(std::memory_order_acquire);
    while (read != write && pendingCount_ < kCapacity) {
        Scheduled event = arrivals_[read % kCapacity];
        if (event.immediate) {
            event.time += blockStart;
            event.immediate = false;
        }
        insertPending(event);
        ++read;
    }
    arrivalRead_.store(read, std::memory_order_release);
}

// Pending events stay sorted by time; a new event goes after every event of
// the same time, so equal times keep their scheduling order.
void RenderEventQueue::insertPending(const Scheduled& event) {
    size_t position = pendingCount_;
    while (position > 0 && pending_[position - 1].time > event.time) {
        pending_[position] = pending_[position - 1];
        --position;
    }
    pending_[position] = event;
    ++pendingCount_;
}

const AURenderEvent* RenderEventQueue::collectDue(AUEventSampleTime blockStart, AUAudioFrameCount frames) {
    takeArrivals(blockStart);
    const AUEventSampleTime blockEnd = blockStart + AUEventSampleTime(frames);
    size_t count = 0;
    while (count < pendingCount_ && pending_[count].time < blockEnd) {
        const Scheduled& event = pending_[count];
        AUMIDIEvent& midi = due_[count].MIDI;
        midi.next = nullptr;
        midi.eventSampleTime = std::max(event.time, blockStart);
        midi.eventType = AURenderEventMIDI;
        midi.reserved = 0;
        midi.length = event.length;
        midi.cable = event.cable;
        std::memcpy(midi.data, event.bytes, sizeof midi.data);
        if (count > 0) due_[count - 1].MIDI.next = &due_[count];
        ++count;
    }
    if (count == 0) return nullptr;
    std::move(pending_.get() + count, pending_.get() + pendingCount_, pending_.get());
    pendingCount_ -= count;
    return &due_[0];
}
