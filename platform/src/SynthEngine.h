// The synthesiser behind the platform's instruments: 16 MIDI channels, a
// fixed pool of voices, deterministic output. Nothing here allocates after
// construction, so every call may run on a real-time thread.
#pragma once

#include "SynthVoice.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>

class SynthEngine {
public:
    static constexpr size_t kVoiceCount = 64;
    static constexpr size_t kChannelCount = 16;

    SynthEngine();
    ~SynthEngine();

    // Silences every voice and resets every channel (programs, banks,
    // controllers) for output at this sample rate.
    void prepare(double sampleRate);
    // One channel message (note on/off, controller, program change, pitch bend).
    void handleMIDI(const uint8_t* bytes, size_t length);
    // Writes (not adds) `frames` frames; `right` may be null for mono output.
    void render(float* left, float* right, uint32_t frames);

    size_t activeVoiceCount() const;

private:
    struct Channel {
        uint8_t program = 0, bankMSB = 121, bankLSB = 0;
        uint8_t volume = 100, expression = 127, pan = 64;
        bool sustainPedal = false;
        int pitchBend = 0; // -8192 .. 8191
    };

    void noteOn(uint8_t channel, uint8_t note, uint8_t velocity);
    void noteOff(uint8_t channel, uint8_t note);
    void controlChange(uint8_t channel, uint8_t controller, uint8_t value);
    void pitchBend(uint8_t channel, int value);
    void releasePedalHeld(uint8_t channel);
    SynthVoice& voiceToStart();
    double noteFrequency(uint8_t channel, uint8_t note) const;

    std::unique_ptr<std::array<SynthVoice, kVoiceCount>> voices_;
    std::array<Channel, kChannelCount> channels_{};
    double sampleRate_ = 44100.0;
    uint64_t noteCounter_ = 0;
};
