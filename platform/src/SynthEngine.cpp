#include "SynthEngine.h"
#include <cstring>
SynthEngine::SynthEngine() = default;
SynthEngine::~SynthEngine() = default;
void SynthEngine::prepare(double) {}
void SynthEngine::handleMIDI(const uint8_t*, size_t) {}
void SynthEngine::render(float* left, float* right, uint32_t frames) {
    std::memset(left, 0, frames * sizeof(float));
    if (right) std::memset(right, 0, frames * sizeof(float));
}
