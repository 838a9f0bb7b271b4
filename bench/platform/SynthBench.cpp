// Ten seconds of the platform's DLS instrument, rendered in 512-frame blocks
// through its render block, for one note and for 32 notes of each kind of
// patch. Baseline, measured in the same run: the same number of plain sine
// oscillators (std::sin per sample) written into the same buffers, the
// cheapest sound a synthesiser could make. Prints the time, the real-time
// factor and the ratio to the baseline.
#include <Platform/AVAudioUnit.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <algorithm>
#include <vector>

namespace {

constexpr double kRate = 44100.0;
constexpr uint32_t kFrames = 441000;
constexpr uint32_t kBlock = 512;

using Clock = std::chrono::steady_clock;

AUAudioUnitPtr makeSynth() {
    std::mutex mutex;
    std::condition_variable done;
    AVAudioUnitPtr made;
    bool finished = false;
    AudioComponentDescription description{kAudioUnitType_MusicDevice, kAudioUnitSubType_DLSSynth,
                                          kAudioUnitManufacturer_Apple, 0, 0};
    AVAudioUnit::instantiateWithComponentDescription(description, kAudioComponentInstantiation_LoadInProcess,
                                                     [&](AVAudioUnitPtr unit, NSErrorPtr) {
                                                         std::lock_guard lock(mutex);
                                                         made = unit;
                                                         finished = true;
                                                         done.notify_one();
                                                     });
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return finished; });
    if (!made) return nullptr;
    AUAudioUnitPtr unit = made->auAudioUnit();
    NSErrorPtr error;
    if (!unit->allocateRenderResourcesAndReturnError(&error)) return nullptr;
    return unit;
}

struct Buffers {
    std::vector<float> left = std::vector<float>(kBlock), right = std::vector<float>(kBlock);
    std::vector<unsigned char> storage = std::vector<unsigned char>(audioBufferListSize(2));
    AudioBufferList* list() {
        auto* l = reinterpret_cast<AudioBufferList*>(storage.data());
        l->mNumberBuffers = 2;
        l->mBuffers[0] = {1, kBlock * 4, left.data()};
        l->mBuffers[1] = {1, kBlock * 4, right.data()};
        return l;
    }
};

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double renderSynth(uint8_t program, int notes, float& check) {
    AUAudioUnitPtr unit = makeSynth();
    if (!unit) return -1;
    const auto midi = unit->scheduleMIDIEventBlock();
    const uint8_t change[2] = {0xC0, program};
    midi(AUEventSampleTimeImmediate, 0, 2, change);
    for (int n = 0; n < notes; ++n) {
        const uint8_t on[3] = {0x90, uint8_t(40 + n), 100};
        midi(AUEventSampleTimeImmediate, 0, 3, on);
    }
    const AURenderBlock render = unit->renderBlock();
    Buffers buffers;
    AudioBufferList* list = buffers.list();
    AudioTimeStamp timestamp{};
    timestamp.mFlags = kAudioTimeStampSampleTimeValid;
    const auto start = Clock::now();
    for (uint32_t done = 0; done < kFrames; done += kBlock) {
        timestamp.mSampleTime = done;
        AudioUnitRenderActionFlags flags = 0;
        render(&flags, &timestamp, kBlock, 0, list, nullptr);
        check += buffers.left[7];
    }
    return secondsSince(start);
}

double renderSines(int oscillators, float& check) {
    Buffers buffers;
    std::vector<double> phase(size_t(oscillators), 0.0);
    std::vector<double> step(size_t(oscillators), 0.0);
    for (int n = 0; n < oscillators; ++n) step[size_t(n)] = 2 * M_PI * 440.0 * std::pow(2.0, (n - 29) / 12.0) / kRate;
    const auto start = Clock::now();
    for (uint32_t done = 0; done < kFrames; done += kBlock) {
        std::fill(buffers.left.begin(), buffers.left.end(), 0.0f);
        std::fill(buffers.right.begin(), buffers.right.end(), 0.0f);
        for (int n = 0; n < oscillators; ++n) {
            double p = phase[size_t(n)];
            for (uint32_t i = 0; i < kBlock; ++i) {
                const float s = float(std::sin(p)) * 0.1f;
                buffers.left[i] += s;
                buffers.right[i] += s;
                p += step[size_t(n)];
            }
            phase[size_t(n)] = std::fmod(p, 2 * M_PI);
        }
        check += buffers.left[7];
    }
    return secondsSince(start);
}

} // namespace

int main() {
    float check = 0;
    const double audioSeconds = kFrames / kRate;
    std::printf("10 s at 44100 Hz in %u-frame blocks\n", kBlock);
    std::printf("%-14s %6s %10s %12s %12s %10s\n", "patch", "notes", "synth ms", "real-time x", "baseline ms",
                "ratio");
    const struct {
        const char* name;
        uint8_t program;
    } patches[] = {{"piano", 0}, {"bell", 8}, {"organ", 16}, {"guitar", 24}, {"bass", 32},
                   {"strings", 40}, {"brass", 56}, {"lead", 80}};
    for (const int notes : {1, 32}) {
        const double baseline = renderSines(notes, check);
        for (const auto& patch : patches) {
            const double synth = renderSynth(patch.program, notes, check);
            std::printf("%-14s %6d %10.1f %12.0f %12.1f %10.2f\n", patch.name, notes, synth * 1000, audioSeconds / synth,
                        baseline * 1000, synth / baseline);
        }
    }
    std::printf("(checksum %g)\n", double(check));
    return 0;
}
