#include "SynthEngine.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <xmmintrin.h>

namespace {

constexpr uint8_t kBankSelectMSB = 0, kVolume = 7, kPan = 10, kExpression = 11, kBankSelectLSB = 32,
                  kSustainPedal = 64, kAllSoundOff = 120, kResetControllers = 121, kAllNotesOff = 123,
                  kOmniOff = 124, kOmniOn = 125, kMonoOn = 126, kPolyOn = 127;
constexpr double kPitchBendRangeSemitones = 2.0;

// Decaying filters and strings would otherwise crawl through denormal
// numbers, which are many times slower to compute.
class FlushDenormals {
public:
    FlushDenormals() : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | 0x8040); }
    ~FlushDenormals() { _mm_setcsr(saved_); }

private:
    unsigned saved_;
};

// Loudness of volume and expression follows the usual squared law; pan is
// constant-power with 64 in the middle.
void channelGains(uint8_t volume, uint8_t expression, uint8_t pan, float& left, float& right) {
    const float level = float(volume * volume) / (127.0f * 127.0f) * float(expression * expression) / (127.0f * 127.0f);
    const double position = std::clamp((pan - 1) / 126.0, 0.0, 1.0);
    left = level * float(std::cos(position * 1.5707963267948966));
    right = level * float(std::sin(position * 1.5707963267948966));
}

} // namespace

SynthEngine::SynthEngine() : voices_(std::make_unique<std::array<SynthVoice, kVoiceCount>>()) {}

SynthEngine::~SynthEngine() = default;

void SynthEngine::prepare(double sampleRate) {
    sampleRate_ = sampleRate > 0 ? sampleRate : 44100.0;
    for (auto& voice : *voices_) voice.silence();
    channels_.fill(Channel{});
    noteCounter_ = 0;
}

size_t SynthEngine::activeVoiceCount() const {
    return size_t(std::count_if(voices_->begin(), voices_->end(), [](const SynthVoice& v) { return v.isActive(); }));
}

void SynthEngine::handleMIDI(const uint8_t* bytes, size_t length) {
    if (!bytes || length == 0) return;
    const uint8_t status = bytes[0] & 0xF0;
    const uint8_t channel = bytes[0] & 0x0F;
    const uint8_t data1 = length > 1 ? bytes[1] & 0x7F : 0;
    const uint8_t data2 = length > 2 ? bytes[2] & 0x7F : 0;
    switch (status) {
    case 0x80: noteOff(channel, data1); break;
    case 0x90: data2 == 0 ? noteOff(channel, data1) : noteOn(channel, data1, data2); break;
    case 0xB0: controlChange(channel, data1, data2); break;
    case 0xC0: channels_[channel].program = data1; break;
    case 0xE0: pitchBend(channel, int(data1 | (data2 << 7)) - 8192); break;
    default: break; // aftertouch and system messages change nothing here
    }
}

double SynthEngine::noteFrequency(uint8_t channel, uint8_t note) const {
    const double bend = channels_[channel].pitchBend / 8192.0 * kPitchBendRangeSemitones;
    return 440.0 * std::exp2((note - 69 + bend) / 12.0);
}

// A free voice if there is one; otherwise the quietest releasing voice, and
// failing that the oldest.
SynthVoice& SynthEngine::voiceToStart() {
    SynthVoice* quietestReleasing = nullptr;
    SynthVoice* oldest = nullptr;
    for (auto& voice : *voices_) {
        if (!voice.isActive()) return voice;
        if (voice.isReleasing() && (!quietestReleasing || voice.level() < quietestReleasing->level()))
            quietestReleasing = &voice;
        if (!oldest || voice.order() < oldest->order()) oldest = &voice;
    }
    return quietestReleasing ? *quietestReleasing : *oldest;
}

// A note struck again while it still sounds is released first, so repeated
// notes overlap naturally instead of cutting off.
void SynthEngine::noteOn(uint8_t channel, uint8_t note, uint8_t velocity) {
    for (auto& voice : *voices_)
        if (voice.isActive() && !voice.isReleasing() && voice.channel() == channel && voice.note() == note)
            voice.release();
    const Channel& state = channels_[channel];
    SynthVoice& voice = voiceToStart();
    voice.start({&patchFor(state.bankMSB, state.bankLSB, state.program), channel, note, velocity,
                 noteFrequency(channel, note), sampleRate_, ++noteCounter_});
}

void SynthEngine::noteOff(uint8_t channel, uint8_t note) {
    const bool pedal = channels_[channel].sustainPedal;
    for (auto& voice : *voices_) {
        if (!voice.isActive() || voice.isReleasing() || voice.channel() != channel || voice.note() != note) continue;
        if (pedal)
            voice.setHeldByPedal(true);
        else
            voice.release();
    }
}

void SynthEngine::releasePedalHeld(uint8_t channel) {
    for (auto& voice : *voices_)
        if (voice.isActive() && voice.channel() == channel && voice.isHeldByPedal()) voice.release();
}

void SynthEngine::controlChange(uint8_t channel, uint8_t controller, uint8_t value) {
    Channel& state = channels_[channel];
    switch (controller) {
    case kBankSelectMSB: state.bankMSB = value; break;
    case kBankSelectLSB: state.bankLSB = value; break;
    case kVolume: state.volume = value; break;
    case kPan: state.pan = value; break;
    case kExpression: state.expression = value; break;
    case kSustainPedal:
        state.sustainPedal = value >= 64;
        if (!state.sustainPedal) releasePedalHeld(channel);
        break;
    case kAllSoundOff:
        for (auto& voice : *voices_)
            if (voice.channel() == channel) voice.silence();
        break;
    case kResetControllers:
        state.expression = 127;
        state.sustainPedal = false;
        releasePedalHeld(channel);
        pitchBend(channel, 0);
        break;
    case kAllNotesOff: // the mode messages end every note too
    case kOmniOff:
    case kOmniOn:
    case kMonoOn:
    case kPolyOn:
        for (auto& voice : *voices_)
            if (voice.isActive() && voice.channel() == channel) voice.release();
        break;
    default: break;
    }
}

void SynthEngine::pitchBend(uint8_t channel, int value) {
    channels_[channel].pitchBend = value;
    for (auto& voice : *voices_)
        if (voice.isActive() && voice.channel() == channel) voice.setFrequency(noteFrequency(channel, voice.note()));
}

void SynthEngine::render(float* left, float* right, uint32_t frames) {
    FlushDenormals flush;
    std::memset(left, 0, frames * sizeof(float));
    if (right) std::memset(right, 0, frames * sizeof(float));
    std::array<float, kChannelCount> gainLeft{}, gainRight{};
    for (size_t c = 0; c < kChannelCount; ++c) {
        const Channel& state = channels_[c];
        channelGains(state.volume, state.expression, state.pan, gainLeft[c], gainRight[c]);
        if (!right) gainLeft[c] = (gainLeft[c] + gainRight[c]) * 0.70710678f;
    }
    for (auto& voice : *voices_)
        if (voice.isActive()) voice.render(left, right, frames, gainLeft[voice.channel()], gainRight[voice.channel()]);
}
