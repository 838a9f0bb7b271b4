// One sounding note of the synthesiser. Holds everything it needs (including
// the delay line of plucked strings), so starting a note allocates nothing.
#pragma once

#include "SynthPatch.h"

#include <array>
#include <cstdint>

class SynthVoice {
public:
    struct Start {
        const SynthPatch* patch;
        uint8_t channel, note, velocity;
        double frequency;
        double sampleRate;
        uint64_t order; // start order, for stealing the oldest
    };

    void start(const Start& start);
    // Note off: the envelope enters its release from wherever it is. A note
    // released before it has sounded for its minimum gate first plays that
    // long, so even a note switched off as it starts is heard as a short blip.
    void release();
    // All sound off: silent at once.
    void silence() {
        stage_ = Stage::Off;
        releasePending_ = false;
    }
    void setFrequency(double frequency);

    bool isActive() const { return stage_ != Stage::Off; }
    bool isReleasing() const { return stage_ == Stage::Release || releasePending_; }
    bool isHeldByPedal() const { return heldByPedal_; }
    void setHeldByPedal(bool held) { heldByPedal_ = held; }
    uint8_t channel() const { return channel_; }
    uint8_t note() const { return note_; }
    uint64_t order() const { return order_; }
    float level() const { return level_; }

    // Adds the voice to the output, scaled per side.
    void render(float* left, float* right, uint32_t frames, float gainLeft, float gainRight);

private:
    enum class Stage : uint8_t { Off, Attack, Decay, Sustain, Release };
    static constexpr uint32_t kDelaySize = 4096; // longest plucked-string period, in frames
    static constexpr double kMinimumGateSeconds = 0.003;

    float nextEnvelope();
    void renderFM(float* left, float* right, uint32_t frames, float gainLeft, float gainRight);
    void renderAdditive(float* left, float* right, uint32_t frames, float gainLeft, float gainRight);
    void renderAnalog(float* left, float* right, uint32_t frames, float gainLeft, float gainRight);
    void renderPluck(float* left, float* right, uint32_t frames, float gainLeft, float gainRight);
    void startPluck();
    void updateFilter();
    static void mix(float* left, float* right, uint32_t i, float sample, float gainLeft, float gainRight) {
        left[i] += sample * gainLeft;
        if (right) right[i] += sample * gainRight;
    }

    const SynthPatch* patch_ = nullptr;
    Stage stage_ = Stage::Off;
    uint8_t channel_ = 0, note_ = 0, velocity_ = 0;
    bool heldByPedal_ = false;
    // Released before the minimum gate was over; the release starts when it is.
    bool releasePending_ = false;
    uint32_t gateFrames_ = 0, minimumGateFrames_ = 1;
    uint64_t order_ = 0;
    double sampleRate_ = 44100.0;
    double frequency_ = 440.0;

    // Envelope.
    float level_ = 0, attackStep_ = 1, decayFactor_ = 0, releaseFactor_ = 0, amplitude_ = 0;
    // Oscillator phases: 32-bit fixed point for sines, [0, 1) for the analog waves.
    uint32_t carrierPhase_ = 0, carrierStep_ = 0, modPhase_ = 0, modStep_ = 0;
    float index_ = 0, indexDecayFactor_ = 0, indexFloor_ = 0;
    float phase1_ = 0, phase2_ = 0, step1_ = 0, step2_ = 0;
    // Low-pass (state-variable) state and coefficients.
    float filterA1_ = 0, filterA2_ = 0, filterA3_ = 0, filterK_ = 2, ic1_ = 0, ic2_ = 0;
    float cutoffBase_ = 0;
    // Plucked string.
    std::array<float, kDelaySize> delay_{};
    uint32_t writeIndex_ = 0, delayWhole_ = 0;
    float delayFraction_ = 0, loopLast_ = 0, loopDamping_ = 0.5f, loopGain_ = 0.996f;
};
