// Rendering and scheduling allocate nothing: counted by replacing the global
// allocation functions of this test program.
#include "PlatformTestSupport.h"

#include <atomic>
#include <cstdlib>
#include <new>

// The replacements below pair malloc with free themselves.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

namespace {
std::atomic<bool> counting{false};
std::atomic<long> allocations{0};
} // namespace

void* operator new(std::size_t size) {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

TEST(Allocation, SchedulingAndRenderingThePlatformSynthAllocateNothing) {
    for (const AudioComponentDescription& description : {describe("aumu", "dls ", "appl"),
                                                         describe("aumu", "msyn", "appl")}) {
        const Instantiation made = instantiate(description);
        ASSERT_TRUE(made.unit);
        const auto unit = made.unit->auAudioUnit();
        NSErrorPtr error;
        ASSERT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
        const auto midi = unit->scheduleMIDIEventBlock();
        AudioUnit handle = made.unit->audioUnit();
        BlockRenderer renderer(unit, 512);
        ASSERT_EQ(renderer.renderBlock(512), noErr); // output vectors reach their size
        renderer.clearOutput();

        allocations = 0;
        counting = true;
        OSStatus status = noErr;
        for (int block = 0; block < 64 && status == noErr; ++block) {
            const uint8_t program[2] = {0xC0, uint8_t(block * 8 % 128)};
            midi(AUEventSampleTimeImmediate, 0, 2, program);
            const uint8_t note[3] = {0x90, uint8_t(36 + block), 100};
            midi(renderer.sampleTime() + block * 7, 0, 3, note);
            MusicDeviceMIDIEvent(handle, 0x80, uint32_t(36 + block / 2), 0, 5);
            status = renderer.renderBlock(512);
            renderer.clearOutput();
        }
        counting = false;
        EXPECT_EQ(status, noErr);
        EXPECT_EQ(allocations.load(), 0);
    }
}
