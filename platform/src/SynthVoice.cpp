#include "SynthVoice.h"

#include <algorithm>
#include <cmath>

namespace {

constexpr float kSilent = 1e-4f; // -80 dB: the voice ends below this
constexpr double kTwoPi = 6.283185307179586;
constexpr double kPhaseUnitsPerRadian = 4294967296.0 / kTwoPi;
constexpr uint32_t kSineBits = 12;
constexpr uint32_t kSineSize = 1u << kSineBits;
constexpr uint32_t kFilterInterval = 32; // frames between cutoff updates
constexpr std::array<uint32_t, 6> kDrawbarHarmonics = {1, 2, 3, 4, 6, 8};

const std::array<float, kSineSize + 1> kSine = [] {
    std::array<float, kSineSize + 1> table{};
    for (uint32_t i = 0; i <= kSineSize; ++i) table[i] = float(std::sin(kTwoPi * i / kSineSize));
    return table;
}();

// Sine of a 32-bit phase (a full turn is 2^32), linearly interpolated.
inline float sine(uint32_t phase) {
    const uint32_t index = phase >> (32 - kSineBits);
    const float fraction = float(phase & ((1u << (32 - kSineBits)) - 1)) * (1.0f / float(1u << (32 - kSineBits)));
    return kSine[index] + fraction * (kSine[index + 1] - kSine[index]);
}

inline uint32_t phaseStep(double frequency, double sampleRate) {
    const double cycles = std::clamp(frequency / sampleRate, 0.0, 0.5);
    return uint32_t(cycles * 4294967296.0);
}

// Correction of a naive saw or square at its discontinuities.
inline float polyBlep(float t, float dt) {
    if (t < dt) {
        t /= dt;
        return t + t - t * t - 1.0f;
    }
    if (t > 1.0f - dt) {
        t = (t - 1.0f) / dt;
        return t * t + t + t + 1.0f;
    }
    return 0.0f;
}

inline float analogWave(AnalogWave wave, float phase, float step) {
    if (wave == AnalogWave::Saw) return 2.0f * phase - 1.0f - polyBlep(phase, step);
    float half = phase + 0.5f;
    if (half >= 1.0f) half -= 1.0f;
    return (phase < 0.5f ? 1.0f : -1.0f) + polyBlep(phase, step) - polyBlep(half, step);
}

inline void advance(float& phase, float step) {
    phase += step;
    if (phase >= 1.0f) phase -= 1.0f;
}

// Factor per frame that shrinks a level to `ratio` of itself in `seconds`.
float factorFor(double seconds, double sampleRate, double ratio) {
    const double frames = std::max(1.0, seconds * sampleRate);
    return float(std::exp(std::log(ratio) / frames));
}

// Louder and brighter with velocity, on a curve that keeps soft notes audible.
float velocityCurve(uint8_t velocity) { return float(std::pow(velocity / 127.0, 1.5)); }

} // namespace

void SynthVoice::start(const Start& s) {
    patch_ = s.patch;
    channel_ = s.channel;
    note_ = s.note;
    velocity_ = s.velocity;
    order_ = s.order;
    sampleRate_ = s.sampleRate;
    heldByPedal_ = false;
    releasePending_ = false;
    gateFrames_ = 0;
    minimumGateFrames_ = uint32_t(std::max(1.0, std::round(kMinimumGateSeconds * sampleRate_)));

    const SynthPatch& p = *patch_;
    stage_ = Stage::Attack;
    level_ = 0;
    attackStep_ = float(1.0 / std::max(1.0, p.attack * sampleRate_));
    decayFactor_ = factorFor(p.decay, sampleRate_, 1e-3);
    releaseFactor_ = factorFor(p.release, sampleRate_, kSilent);
    amplitude_ = p.gain * velocityCurve(velocity_);

    carrierPhase_ = modPhase_ = 0;
    phase1_ = 0;
    phase2_ = 0.5f; // the detuned oscillator starts off phase so the two do not cancel or double at once
    index_ = float(p.modIndex * (1.0 - p.indexSustain) * (0.5 + 0.5 * velocity_ / 127.0));
    indexFloor_ = float(p.modIndex * p.indexSustain * (0.5 + 0.5 * velocity_ / 127.0));
    indexDecayFactor_ = factorFor(p.indexDecay, sampleRate_, 1e-2);
    ic1_ = ic2_ = 0;
    setFrequency(s.frequency);
    if (p.model == VoiceModel::Analog) {
        cutoffBase_ = float(frequency_ * p.cutoffRatio * (0.6 + 0.4 * velocity_ / 127.0));
        filterK_ = std::max(0.1f, 2.0f - 2.0f * p.resonance);
        updateFilter();
    }
    if (p.model == VoiceModel::Pluck) startPluck();
}

void SynthVoice::release() {
    heldByPedal_ = false;
    if (stage_ == Stage::Off) return;
    if (gateFrames_ < minimumGateFrames_)
        releasePending_ = true;
    else
        stage_ = Stage::Release;
}

void SynthVoice::setFrequency(double frequency) {
    frequency_ = frequency;
    const SynthPatch& p = *patch_;
    carrierStep_ = phaseStep(frequency, sampleRate_);
    modStep_ = phaseStep(frequency * p.modRatio, sampleRate_);
    step1_ = float(std::min(0.5, frequency / sampleRate_));
    step2_ = float(std::min(0.5, frequency * std::exp2(p.detuneCents / 1200.0) / sampleRate_));
    if (p.model == VoiceModel::Pluck) {
        double period = sampleRate_ / std::max(frequency, 1.0);
        while (period > kDelaySize - 4) period *= 0.5; // too low for the loop: an octave up
        const double delay = std::max(2.0, period - (1.0 - loopDamping_) / loopDamping_);
        delayWhole_ = uint32_t(delay);
        delayFraction_ = float(delay - delayWhole_);
    }
}

// The string starts as a burst of noise, darker for soft notes. The noise is
// a fixed sequence per note and velocity, so a note always sounds the same.
void SynthVoice::startPluck() {
    const SynthPatch& p = *patch_;
    loopDamping_ = std::clamp(p.damping + 0.3f * velocity_ / 127.0f, 0.05f, 1.0f);
    loopGain_ = p.loopGain;
    loopLast_ = 0;
    writeIndex_ = 0;
    setFrequency(frequency_);
    delay_.fill(0.0f);
    uint32_t seed = 0x9E3779B9u ^ (uint32_t(note_) << 8) ^ velocity_;
    const float smoothing = 0.2f + 0.7f * velocity_ / 127.0f;
    const uint32_t length = std::min(delayWhole_ + 2, kDelaySize);
    float smoothed = 0, sum = 0;
    for (uint32_t i = 0; i < length; ++i) {
        seed = seed * 1664525u + 1013904223u;
        const float noise = float(int32_t(seed)) * (1.0f / 2147483648.0f);
        smoothed += smoothing * (noise - smoothed);
        delay_[kDelaySize - length + i] = smoothed;
        sum += smoothed;
    }
    const float mean = sum / float(length);
    for (uint32_t i = 0; i < length; ++i) delay_[kDelaySize - length + i] -= mean;
}

void SynthVoice::updateFilter() {
    const SynthPatch& p = *patch_;
    const double cutoff =
        std::clamp(double(cutoffBase_) * (1.0 + p.cutoffEnvelope * level_), 20.0, 0.45 * sampleRate_);
    const float g = float(std::tan(3.141592653589793 * cutoff / sampleRate_));
    filterA1_ = 1.0f / (1.0f + g * (g + filterK_));
    filterA2_ = g * filterA1_;
    filterA3_ = g * filterA2_;
}

inline float SynthVoice::nextEnvelope() {
    if (gateFrames_ < minimumGateFrames_ && ++gateFrames_ == minimumGateFrames_ && releasePending_) {
        releasePending_ = false;
        if (stage_ != Stage::Off) stage_ = Stage::Release;
    }
    switch (stage_) {
    case Stage::Attack:
        level_ += attackStep_;
        if (level_ >= 1.0f) {
            level_ = 1.0f;
            stage_ = Stage::Decay;
        }
        break;
    case Stage::Decay: {
        const float sustain = patch_->sustain;
        level_ = sustain + (level_ - sustain) * decayFactor_;
        if (level_ - sustain < kSilent) {
            level_ = sustain;
            stage_ = sustain < kSilent ? Stage::Off : Stage::Sustain;
        }
        break;
    }
    case Stage::Sustain: break;
    case Stage::Release:
        level_ *= releaseFactor_;
        if (level_ < kSilent) {
            level_ = 0;
            stage_ = Stage::Off;
        }
        break;
    case Stage::Off: return 0.0f;
    }
    return level_;
}

void SynthVoice::render(float* left, float* right, uint32_t frames, float gainLeft, float gainRight) {
    if (stage_ == Stage::Off) return;
    switch (patch_->model) {
    case VoiceModel::FM: renderFM(left, right, frames, gainLeft, gainRight); break;
    case VoiceModel::Additive: renderAdditive(left, right, frames, gainLeft, gainRight); break;
    case VoiceModel::Analog: renderAnalog(left, right, frames, gainLeft, gainRight); break;
    case VoiceModel::Pluck: renderPluck(left, right, frames, gainLeft, gainRight); break;
    }
}

void SynthVoice::renderFM(float* left, float* right, uint32_t frames, float gainLeft, float gainRight) {
    for (uint32_t i = 0; i < frames && stage_ != Stage::Off; ++i) {
        const float envelope = nextEnvelope();
        const float index = indexFloor_ + index_;
        index_ *= indexDecayFactor_;
        const auto offset = uint32_t(int64_t(sine(modPhase_) * index * kPhaseUnitsPerRadian));
        const float sample = sine(carrierPhase_ + offset);
        carrierPhase_ += carrierStep_;
        modPhase_ += modStep_;
        mix(left, right, i, sample * envelope * amplitude_, gainLeft, gainRight);
    }
}

// Drawbars above the Nyquist frequency are left out rather than folded back.
void SynthVoice::renderAdditive(float* left, float* right, uint32_t frames, float gainLeft, float gainRight) {
    std::array<float, 6> levels{};
    for (size_t h = 0; h < levels.size(); ++h)
        if (frequency_ * kDrawbarHarmonics[h] < 0.45 * sampleRate_) levels[h] = patch_->drawbars[h];
    for (uint32_t i = 0; i < frames && stage_ != Stage::Off; ++i) {
        const float envelope = nextEnvelope();
        const uint32_t phase = carrierPhase_;
        float sample = 0;
        for (size_t h = 0; h < levels.size(); ++h) sample += levels[h] * sine(phase * kDrawbarHarmonics[h]);
        carrierPhase_ += carrierStep_;
        mix(left, right, i, sample * envelope * amplitude_, gainLeft, gainRight);
    }
}

void SynthVoice::renderAnalog(float* left, float* right, uint32_t frames, float gainLeft, float gainRight) {
    const SynthPatch& p = *patch_;
    const bool twoOscillators = p.detuneCents != 0.0f;
    const float oscillatorGain = twoOscillators ? 0.5f : 1.0f;
    for (uint32_t i = 0; i < frames && stage_ != Stage::Off; ++i) {
        if (p.cutoffEnvelope != 0.0f && i % kFilterInterval == 0) updateFilter();
        const float envelope = nextEnvelope();
        float oscillator = analogWave(p.wave, phase1_, step1_);
        advance(phase1_, step1_);
        if (twoOscillators) {
            oscillator += analogWave(p.wave, phase2_, step2_);
            advance(phase2_, step2_);
        }
        const float v3 = oscillator * oscillatorGain - ic2_;
        const float v1 = filterA1_ * ic1_ + filterA2_ * v3;
        const float v2 = ic2_ + filterA2_ * ic1_ + filterA3_ * v3;
        ic1_ = 2.0f * v1 - ic1_;
        ic2_ = 2.0f * v2 - ic2_;
        mix(left, right, i, v2 * envelope * amplitude_, gainLeft, gainRight);
    }
}

void SynthVoice::renderPluck(float* left, float* right, uint32_t frames, float gainLeft, float gainRight) {
    constexpr uint32_t mask = kDelaySize - 1;
    for (uint32_t i = 0; i < frames && stage_ != Stage::Off; ++i) {
        const float envelope = nextEnvelope();
        const uint32_t read = writeIndex_ - delayWhole_;
        const float a = delay_[read & mask];
        const float b = delay_[(read - 1) & mask];
        const float delayed = a + delayFraction_ * (b - a);
        loopLast_ += loopDamping_ * (delayed - loopLast_);
        delay_[writeIndex_ & mask] = loopLast_ * loopGain_;
        ++writeIndex_;
        mix(left, right, i, loopLast_ * envelope * amplitude_, gainLeft, gainRight);
    }
}
