// The synthesiser behind the platform's instruments.
#pragma once

#include <cstddef>
#include <cstdint>

class SynthEngine {
public:
    SynthEngine();
    ~SynthEngine();
    void prepare(double sampleRate);
    void handleMIDI(const uint8_t* bytes, size_t length);
    void render(float* left, float* right, uint32_t frames);
};
