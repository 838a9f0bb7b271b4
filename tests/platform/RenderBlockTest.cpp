// The host-facing render block: render resources, and where scheduled MIDI
// events land in the blocks.
#include "PlatformTestSupport.h"

#include <atomic>
#include <latch>

namespace {

struct SeenEvent {
    AUEventSampleTime time;
    AUEventSampleTime blockStart;
    uint8_t status, data1;
    uint16_t length;
    bool operator==(const SeenEvent&) const = default;
};

std::ostream& operator<<(std::ostream& out, const SeenEvent& e) {
    return out << "{time " << e.time << ", block " << e.blockStart << ", " << int(e.status) << " " << int(e.data1)
               << ", length " << e.length << "}";
}

class EventRecorder : public AUAudioUnit {
public:
    AUInternalRenderBlock internalRenderBlock() override {
        return [this](AudioUnitRenderActionFlags*, const AudioTimeStamp* timestamp, AUAudioFrameCount frames, NSInteger,
                      AudioBufferList*, const AURenderEvent* events, const AURenderPullInputBlock*) {
            framesRendered.push_back(frames);
            for (const AURenderEvent* e = events; e; e = e->head.next)
                seen.push_back({e->MIDI.eventSampleTime, AUEventSampleTime(timestamp->mSampleTime), e->MIDI.data[0],
                                e->MIDI.data[1], e->MIDI.length});
            if (blockInside) {
                entered = true;
                blockInside->arrive_and_wait();
                blockInside = nullptr;
            }
            return noErr;
        };
    }
    std::vector<SeenEvent> seen;
    std::vector<AUAudioFrameCount> framesRendered;
    std::latch* blockInside = nullptr;
    std::atomic<bool> entered{false};
    bool takesMIDI = true;

protected:
    bool acceptsMIDI() const override { return takesMIDI; }
};

std::shared_ptr<EventRecorder> allocatedRecorder() {
    NSErrorPtr error;
    auto unit = AUAudioUnit::create<EventRecorder>(describe("aumu", "evts", "Test"), 0, &error);
    EXPECT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
    return unit;
}

void schedule(const AUScheduleMIDIEventBlock& midi, AUEventSampleTime time, uint8_t data1) {
    const uint8_t bytes[3] = {0x90, data1, 100};
    midi(time, 0, 3, bytes);
}

} // namespace

TEST(RenderBlock, RefusesWithoutRenderResourcesAndKeepsEventsForLater) {
    NSErrorPtr error;
    auto unit = AUAudioUnit::create<EventRecorder>(describe("aumu", "evts", "Test"), 0, &error);
    schedule(unit->scheduleMIDIEventBlock(), AUEventSampleTimeImmediate, 60);
    BlockRenderer renderer(unit);
    EXPECT_EQ(renderer.renderBlock(512), kAudioUnitErr_Uninitialized);
    EXPECT_TRUE(unit->framesRendered.empty());
    ASSERT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
    EXPECT_EQ(renderer.renderBlock(512), noErr);
    EXPECT_EQ(unit->seen, (std::vector<SeenEvent>{{512, 512, 0x90, 60, 3}}));
}

// Blocks of 512 frames from 1024: each event lands in the block that holds
// its time, at that time; times already past land at the next block's start.
TEST(RenderBlock, EventsActInTheBlockThatHoldsTheirTime) {
    auto unit = allocatedRecorder();
    const auto midi = unit->scheduleMIDIEventBlock();
    BlockRenderer renderer(unit);
    renderer.setSampleTime(1024);
    struct Case {
        AUEventSampleTime scheduled;
        AUEventSampleTime actsAt;
        AUEventSampleTime inBlock;
    };
    const std::vector<Case> cases = {
        {1024, 1024, 1024},
        {1025, 1025, 1024},
        {1324, 1324, 1024},
        {1535, 1535, 1024},
        {1536, 1536, 1536},
        {2047, 2047, 1536},
        {1000, 1024, 1024}, // already past
        {-5, 1024, 1024},
        {AUEventSampleTimeImmediate, 1024, 1024},
        {AUEventSampleTimeImmediate + 100, 1124, 1024},
        {AUEventSampleTimeImmediate + 600, 1624, 1536},
    };
    uint8_t tag = 0;
    for (const auto& c : cases) schedule(midi, c.scheduled, tag++);
    ASSERT_EQ(renderer.render(1024), noErr);
    ASSERT_EQ(unit->seen.size(), cases.size());
    for (const auto& seen : unit->seen) {
        const Case& c = cases[seen.data1];
        EXPECT_EQ(seen.time, c.actsAt) << "event " << int(seen.data1);
        EXPECT_EQ(seen.blockStart, c.inBlock) << "event " << int(seen.data1);
    }
}

TEST(RenderBlock, EventsArriveSortedWithEqualTimesInSchedulingOrder) {
    auto unit = allocatedRecorder();
    const auto midi = unit->scheduleMIDIEventBlock();
    schedule(midi, 400, 1);
    schedule(midi, 100, 2);
    schedule(midi, 100, 3);
    schedule(midi, 0, 4);
    schedule(midi, 100, 5);
    BlockRenderer renderer(unit);
    ASSERT_EQ(renderer.renderBlock(512), noErr);
    std::vector<uint8_t> order;
    for (const auto& e : unit->seen) order.push_back(e.data1);
    EXPECT_EQ(order, (std::vector<uint8_t>{4, 2, 3, 5, 1}));
}

TEST(RenderBlock, MusicDeviceEventsActAtTheNextRenderPlusTheirOffset) {
    auto unit = allocatedRecorder();
    BlockRenderer renderer(unit);
    ASSERT_EQ(renderer.renderBlock(256), noErr);
    EXPECT_EQ(unit->musicDeviceMIDIEvent(0x90, 64, 90, 10), noErr);
    EXPECT_EQ(unit->musicDeviceMIDIEvent(0xC0, 5, 0, 0), noErr);
    ASSERT_EQ(renderer.renderBlock(256), noErr);
    EXPECT_EQ(unit->seen, (std::vector<SeenEvent>{{256, 256, 0xC0, 5, 2}, {266, 256, 0x90, 64, 3}}));
}

TEST(RenderBlock, UnitsWithoutMIDIHaveNoScheduleBlock) {
    NSErrorPtr error;
    auto unit = std::make_shared<EventRecorder>();
    unit->takesMIDI = false;
    ASSERT_TRUE(unit->initWithComponentDescription(describe("aumu", "evts", "Test"), 0, &error));
    EXPECT_FALSE(unit->scheduleMIDIEventBlock());
    EXPECT_EQ(unit->musicDeviceMIDIEvent(0x90, 60, 100, 0), kAudio_UnimplementedError);

    const Instantiation noMIDI = instantiate(describe("aumu", "nomi", "Test"));
    ASSERT_TRUE(noMIDI.unit);
    EXPECT_FALSE(noMIDI.unit->auAudioUnit()->scheduleMIDIEventBlock());
}

// The maximum is advice for the unit's own buffers; the render block passes
// larger requests on and leaves the decision to the unit.
TEST(RenderBlock, MaximumFramesToRenderIsNotEnforced) {
    auto unit = allocatedRecorder();
    unit->setMaximumFramesToRender(256);
    BlockRenderer renderer(unit);
    EXPECT_EQ(renderer.renderBlock(4096), noErr);
    EXPECT_EQ(unit->framesRendered, (std::vector<AUAudioFrameCount>{4096}));
}

TEST(RenderBlock, ASecondRenderWhileOneIsRunningIsRefused) {
    auto unit = allocatedRecorder();
    std::latch inside(2);
    unit->blockInside = &inside;
    BlockRenderer first(unit), second(unit);
    std::thread renderThread([&] { EXPECT_EQ(first.renderBlock(64), noErr); });
    while (!unit->entered) std::this_thread::yield();
    EXPECT_EQ(second.renderBlock(64), kAudioUnitErr_CannotDoInCurrentContext);
    inside.arrive_and_wait();
    renderThread.join();
    EXPECT_EQ(second.renderBlock(64), noErr);
}

TEST(RenderBlock, TheBlockKeepsItsUnitAlive) {
    AURenderBlock render;
    std::weak_ptr<EventRecorder> watch;
    {
        auto unit = allocatedRecorder();
        watch = unit;
        render = unit->renderBlock();
    }
    ASSERT_FALSE(watch.expired());
    float samples[2][16] = {};
    auto* list = static_cast<AudioBufferList*>(::operator new(audioBufferListSize(2)));
    list->mNumberBuffers = 2;
    list->mBuffers[0] = {1, sizeof samples[0], samples[0]};
    list->mBuffers[1] = {1, sizeof samples[1], samples[1]};
    AudioTimeStamp timestamp{};
    timestamp.mFlags = kAudioTimeStampSampleTimeValid;
    EXPECT_EQ(render(nullptr, &timestamp, 16, 0, list, nullptr), noErr);
    ::operator delete(list);
    render = nullptr;
    EXPECT_TRUE(watch.expired());
}
