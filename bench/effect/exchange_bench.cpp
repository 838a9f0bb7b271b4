// Nanoseconds per frame of one exchange cycle (processAudioWithBuffer, 512
// frames over a one-second ring) against a plain loop in the same run that
// reads and writes the same memory: per frame three floats read (left and
// right input, the application's ring) and three written (the application's
// input ring, left and right output), stretch by stretch around the ring.
#include <sorvaneAUfxAudioUnit.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kRing = 44100;   // one second
constexpr uint32_t kFrames = 512; // one render cycle
constexpr int kCycles = 40000;    // per measurement
constexpr int kRounds = 7;

void writeFile(const fs::path& path, size_t floats, float value) {
    std::vector<float> data(floats, value);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(data.data()),
                                                std::streamsize(data.size() * sizeof(float)));
}

// The same traffic as an exchange cycle, without the arithmetic.
__attribute__((noinline)) void plainCycle(const float* __restrict inL, const float* __restrict inR,
                                          float* __restrict outL, float* __restrict outR,
                                          const float* __restrict fromApplication, float* __restrict toApplication,
                                          size_t* position) {
    size_t done = 0, k = *position;
    while (done < kFrames) {
        const size_t stretch = std::min<size_t>(kFrames - done, kRing - k);
        for (size_t i = 0; i < stretch; ++i) {
            toApplication[k + i] = inL[done + i];
            outL[done + i] = inR[done + i];
            outR[done + i] = fromApplication[k + i];
        }
        done += stretch;
        k = (k + stretch) % kRing;
    }
    *position = k;
}

template <class F> double nanosecondsPerFrame(F&& cycle) {
    const auto start = std::chrono::steady_clock::now();
    for (int c = 0; c < kCycles; ++c) cycle();
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return std::chrono::duration<double, std::nano>(elapsed).count() / (double(kCycles) * kFrames);
}

} // namespace

int main() {
    char pattern[] = "/tmp/sorvane-fx-bench-XXXXXX";
    if (!mkdtemp(pattern)) return 1;
    const fs::path dir = pattern;
    // A library directory below a plain file: the unit finds no shared cache
    // directory and sends no registration, so nothing but this benchmark maps files.
    std::ofstream(dir / "not-a-directory") << "x";
    setenv("XDG_DATA_HOME", (dir / "not-a-directory" / "data").c_str(), 1);

    std::vector<float> control = {0.0f, 0.0f, 0.5f};
    std::ofstream(dir / "bench_ctl", std::ios::binary).write(reinterpret_cast<const char*>(control.data()), 12);
    writeFile(dir / "bench_out", kRing, 0.125f);
    writeFile(dir / "bench_in", kRing, 0.0f);

    const AudioComponentDescription description{kAudioUnitType_Effect, fourCC("sAfx"), fourCC("Quen"), 0, 0};
    auto unit = AUAudioUnit::create<sorvaneAUfxAudioUnit>(description, 0, nullptr);
    if (!unit) return 1;
    unit->initializeSharedMemory(dir.string(), "bench");
    if (!unit->sharedMemoryOut()) return 1;

    AudioBufferList* input = unit->inputBufferList();
    for (uint32_t b = 0; b < 2; ++b) std::fill_n(static_cast<float*>(input->mBuffers[b].mData), kFrames, 0.25f);
    std::vector<float> left(kFrames), right(kFrames);
    std::vector<unsigned char> listBytes(audioBufferListSize(2));
    auto* output = reinterpret_cast<AudioBufferList*>(listBytes.data());
    output->mNumberBuffers = 2;
    output->mBuffers[0] = {1, kFrames * 4, left.data()};
    output->mBuffers[1] = {1, kFrames * 4, right.data()};

    const auto* inL = static_cast<const float*>(input->mBuffers[0].mData);
    const auto* inR = static_cast<const float*>(input->mBuffers[1].mData);
    size_t plainPosition = 0;

    double bestExchange = 1e9, bestPlain = 1e9;
    for (int round = 0; round < kRounds; ++round) {
        bestExchange = std::min(bestExchange, nanosecondsPerFrame([&] { unit->processAudioWithBuffer(output, kFrames); }));
        bestPlain = std::min(bestPlain, nanosecondsPerFrame([&] {
                                 plainCycle(inL, inR, left.data(), right.data(), unit->sharedMemoryIn(),
                                            unit->sharedMemoryOut(), &plainPosition);
                             }));
    }
    volatile float sink = left[kFrames - 1] + right[0] + unit->sharedMemoryOut()[plainPosition];
    (void)sink;

    std::printf("exchange cycle (processAudioWithBuffer, %u frames, ring %zu): %.3f ns/frame\n", kFrames, kRing,
                bestExchange);
    std::printf("plain loop, same reads and writes:                        %.3f ns/frame\n", bestPlain);
    std::printf("ratio exchange / plain: %.2f (goal: at most 1.5)\n", bestExchange / bestPlain);

    unit.reset();
    fs::remove_all(dir);
    return 0;
}
