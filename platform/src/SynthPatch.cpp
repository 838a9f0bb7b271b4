#include "SynthPatch.h"

#include <array>

namespace {

// Each row: name, model, gain, envelope (A, D, S, R), FM, drawbars, analog, pluck.
constexpr std::array<SynthPatch, 8> kPatches = {{
    {"Piano", VoiceModel::FM, 0.70f, 0.002f, 2.5f, 0.0f, 0.25f, 1.0f, 1.6f, 0.1f, 1.0f, {}, AnalogWave::Saw, 0, 0, 0, 0, 0, 0},
    {"Bell", VoiceModel::FM, 0.60f, 0.001f, 3.5f, 0.0f, 0.35f, 3.5f, 2.5f, 0.2f, 1.5f, {}, AnalogWave::Saw, 0, 0, 0, 0, 0, 0},
    {"Organ", VoiceModel::Additive, 0.30f, 0.005f, 0.1f, 1.0f, 0.06f, 0, 0, 0, 0, {1.0f, 0.7f, 0.45f, 0.35f, 0.2f, 0.15f},
     AnalogWave::Saw, 0, 0, 0, 0, 0, 0},
    {"Pluck", VoiceModel::Pluck, 0.90f, 0.0005f, 4.0f, 0.0f, 0.15f, 0, 0, 0, 0, {}, AnalogWave::Saw, 0, 0, 0, 0, 0.5f,
     0.996f},
    {"Bass", VoiceModel::Analog, 0.60f, 0.003f, 0.6f, 0.6f, 0.08f, 0, 0, 0, 0, {}, AnalogWave::Saw, 0.0f, 2.5f, 6.0f, 0.6f,
     0, 0},
    {"Strings", VoiceModel::Analog, 0.55f, 0.35f, 0.5f, 0.85f, 0.3f, 0, 0, 0, 0, {}, AnalogWave::Saw, 7.0f, 5.0f, 0.0f,
     0.1f, 0, 0},
    {"Brass", VoiceModel::Analog, 0.50f, 0.06f, 0.4f, 0.75f, 0.12f, 0, 0, 0, 0, {}, AnalogWave::Saw, 3.0f, 1.5f, 8.0f,
     0.2f, 0, 0},
    {"Square Lead", VoiceModel::Analog, 0.32f, 0.004f, 0.2f, 0.9f, 0.08f, 0, 0, 0, 0, {}, AnalogWave::Square, 0.0f, 8.0f,
     0.0f, 0.3f, 0, 0},
}};

// General MIDI families (eight programs each) to patches: piano, chromatic
// percussion, organ, guitar, bass, strings, ensemble, brass, reed, pipe,
// synth lead, synth pad, synth effects, ethnic, percussive, sound effects.
constexpr std::array<uint8_t, 16> kFamilyPatch = {0, 1, 2, 3, 4, 5, 5, 6, 7, 2, 7, 5, 1, 3, 1, 0};

// The melodic bank (121, or 0 for units that use plain banks) is the base
// set; other banks rotate through the patches so every bank sounds different.
size_t bankShift(uint8_t bankMSB, uint8_t bankLSB) {
    const size_t msb = (bankMSB == 0 || bankMSB == 121) ? 0 : bankMSB;
    return msb + bankLSB;
}

} // namespace

const SynthPatch& patchFor(uint8_t bankMSB, uint8_t bankLSB, uint8_t program) {
    const size_t family = kFamilyPatch[(program & 0x7F) >> 3];
    return kPatches[(family + bankShift(bankMSB, bankLSB)) % kPatches.size()];
}

size_t patchCount() { return kPatches.size(); }

const SynthPatch& patchAt(size_t index) { return kPatches[index % kPatches.size()]; }
