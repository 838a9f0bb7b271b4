// The timbres of the platform's instruments and how bank and program choose them.
#pragma once

#include <cstddef>
#include <cstdint>

enum class VoiceModel : uint8_t {
    FM,       // one modulator on one carrier, with a decaying index
    Additive, // organ drawbars: sines at harmonics 1, 2, 3, 4, 6 and 8
    Analog,   // band-limited saw or square through a resonant low-pass
    Pluck,    // a plucked string (a tuned, damped delay loop)
};

enum class AnalogWave : uint8_t { Saw, Square };

struct SynthPatch {
    const char* name;
    VoiceModel model;
    float gain;
    // Amplitude envelope: attack and decay in seconds, sustain level, release
    // in seconds to silence.
    float attack, decay, sustain, release;
    // FM: modulator frequency ratio, peak index, index left after its decay,
    // index decay time (seconds).
    float modRatio, modIndex, indexSustain, indexDecay;
    // Additive: level of each drawbar.
    float drawbars[6];
    // Analog: wave, second oscillator detune (cents, 0 = one oscillator),
    // cutoff as a multiple of the note frequency, extra cutoff multiple at full
    // envelope, resonance (0..1).
    AnalogWave wave;
    float detuneCents, cutoffRatio, cutoffEnvelope, resonance;
    // Pluck: loop damping (0 = dull, 1 = bright) and loss per period.
    float damping, loopGain;
};

// The patch for a bank (controller 0 and 32 values) and program.
const SynthPatch& patchFor(uint8_t bankMSB, uint8_t bankLSB, uint8_t program);
size_t patchCount();
const SynthPatch& patchAt(size_t index);
