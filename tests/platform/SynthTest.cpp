// The platform's own instruments as synthesisers: what a listener (and a
// host) relies on.
#include "PlatformTestSupport.h"

#include <cmath>
#include <cstdio>
#include <numeric>
#include <string>

#include <unistd.h>

namespace {

constexpr double kRate = 44100.0;
constexpr uint32_t kTail = 22050;

struct LoadedSynth {
    AVAudioUnitPtr instance;
    AUAudioUnitPtr unit;
    AUScheduleMIDIEventBlock midi;
};

LoadedSynth loadSynth(const char (&subtype)[5], double sampleRate = kRate, uint32_t channels = 2) {
    Instantiation made = instantiate(describe("aumu", subtype, "appl"));
    EXPECT_TRUE(made.unit) << (made.error ? made.error->localizedDescription : "no error");
    if (!made.unit) return {};
    AUAudioUnitPtr unit = made.unit->auAudioUnit();
    NSErrorPtr error;
    EXPECT_TRUE(unit->outputBusses()->objectAtIndexedSubscript(0)->setFormat(
        AVAudioFormat::initStandardFormatWithSampleRate(sampleRate, channels), &error));
    EXPECT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
    return {made.unit, unit, unit->scheduleMIDIEventBlock()};
}

void send(const LoadedSynth& synth, uint8_t status, uint8_t data1, uint8_t data2,
          AUEventSampleTime time = AUEventSampleTimeImmediate) {
    const uint8_t bytes[3] = {status, data1, data2};
    synth.midi(time, 0, 3, bytes);
}

void selectProgram(const LoadedSynth& synth, uint8_t msb, uint8_t lsb, uint8_t program) {
    send(synth, 0xB0, 0, msb);
    send(synth, 0xB0, 32, lsb);
    const uint8_t change[2] = {0xC0, program};
    synth.midi(AUEventSampleTimeImmediate, 0, 2, change);
}

float peak(const std::vector<float>& samples, size_t from = 0, size_t to = SIZE_MAX) {
    float result = 0;
    for (size_t i = from; i < std::min(to, samples.size()); ++i) result = std::max(result, std::fabs(samples[i]));
    return result;
}

double rms(const std::vector<float>& samples, size_t from, size_t to) {
    double sum = 0;
    for (size_t i = from; i < to; ++i) sum += double(samples[i]) * samples[i];
    return std::sqrt(sum / double(to - from));
}

// Magnitude of one frequency over a stretch of samples.
double goertzel(const std::vector<float>& samples, size_t from, size_t to, double frequency, double rate = kRate) {
    const double w = 2.0 * M_PI * frequency / rate;
    const double coefficient = 2.0 * std::cos(w);
    double s1 = 0, s2 = 0;
    for (size_t i = from; i < to; ++i) {
        const double s0 = samples[i] + coefficient * s1 - s2;
        s2 = s1;
        s1 = s0;
    }
    return std::sqrt(s1 * s1 + s2 * s2 - coefficient * s1 * s2) / double(to - from);
}

// A note's timbre: the level of harmonics 1 to 12 and of the stretch between
// harmonics, relative to the whole signal, early and late in the note, plus
// how much the level falls from early to late.
std::vector<double> timbre(const std::vector<float>& samples, double fundamental) {
    std::vector<double> features;
    for (const auto& [from, to] : {std::pair<size_t, size_t>{2048, 6144}, {26000, 30096}}) {
        const double level = rms(samples, from, to) + 1e-12;
        for (int h = 1; h <= 12; ++h) features.push_back(goertzel(samples, from, to, fundamental * h) / level);
        for (int h = 1; h <= 6; ++h) features.push_back(goertzel(samples, from, to, fundamental * (h + 0.5)) / level);
    }
    features.push_back(rms(samples, 26000, 30096) / (rms(samples, 2048, 6144) + 1e-12));
    return features;
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += (a[i] - b[i]) * (a[i] - b[i]);
    return std::sqrt(sum);
}

std::vector<float> playNote(const char (&subtype)[5], uint8_t msb, uint8_t lsb, uint8_t program, uint8_t note,
                            uint8_t velocity, uint32_t frames) {
    LoadedSynth synth = loadSynth(subtype);
    selectProgram(synth, msb, lsb, program);
    send(synth, 0x90, note, velocity);
    BlockRenderer renderer(synth.unit);
    EXPECT_EQ(renderer.render(frames), noErr);
    return renderer.left();
}

double noteFrequency(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

} // namespace

TEST(PlatformSynth, SameInputGivesTheSameOutput) {
    std::vector<float> takes[2];
    for (auto& take : takes) {
        LoadedSynth synth = loadSynth("msyn");
        BlockRenderer renderer(synth.unit);
        int program = 0;
        for (int step = 0; step < 12; ++step) {
            selectProgram(synth, 121, 0, uint8_t(program));
            program = (program + 13) % 128;
            send(synth, 0x90, uint8_t(48 + step * 3), uint8_t(40 + step * 7), renderer.sampleTime() + 37 * step);
            ASSERT_EQ(renderer.render(3000, 256 + 17 * step), noErr);
            send(synth, 0x80, uint8_t(48 + step * 3), 0);
        }
        ASSERT_EQ(renderer.render(kTail), noErr);
        take = renderer.left();
        take.insert(take.end(), renderer.right().begin(), renderer.right().end());
    }
    EXPECT_GT(peak(takes[0]), 0.01f);
    EXPECT_EQ(takes[0], takes[1]);
}

// Every patch, reached through the family it serves, ends in true silence
// within the release tail a host renders after the note-off.
class ReleaseTest : public testing::TestWithParam<int> {};

TEST_P(ReleaseTest, NoteOffDecaysToSilenceWithinTheTail) {
    LoadedSynth synth = loadSynth("dls ");
    selectProgram(synth, 121, 0, uint8_t(GetParam()));
    BlockRenderer renderer(synth.unit);
    send(synth, 0x90, 60, 127);
    send(synth, 0x90, 36, 100);
    ASSERT_EQ(renderer.render(44100), noErr);
    send(synth, 0x80, 60, 0);
    send(synth, 0x80, 36, 0);
    ASSERT_EQ(renderer.render(kTail), noErr);
    const auto& out = renderer.left();
    EXPECT_GT(peak(out, 0, 44100), 0.01f) << "program " << GetParam() << " is silent";
    ASSERT_EQ(renderer.render(2048), noErr);
    EXPECT_EQ(peak(renderer.left(), 44100 + kTail), 0.0f);
    EXPECT_EQ(peak(renderer.right(), 44100 + kTail), 0.0f);
}

INSTANTIATE_TEST_SUITE_P(EveryFamily, ReleaseTest, testing::Range(0, 128, 8));

// A note switched off at the frame it starts still sounds, briefly, and the
// same way every time: the attack runs for a few milliseconds, then the
// release takes over from that level.
class ZeroLengthNoteTest : public testing::TestWithParam<int> {};

TEST_P(ZeroLengthNoteTest, SoundsAShortBlip) {
    std::vector<float> takes[2];
    for (auto& take : takes) {
        LoadedSynth synth = loadSynth("dls ");
        selectProgram(synth, 121, 0, uint8_t(GetParam()));
        BlockRenderer renderer(synth.unit);
        send(synth, 0x90, 60, 100);
        send(synth, 0x80, 60, 0);
        ASSERT_EQ(renderer.render(kTail + 512), noErr);
        take = renderer.left();
    }
    EXPECT_GT(peak(takes[0], 0, 512), 0.0f) << "program " << GetParam() << " is silent";
    EXPECT_EQ(peak(takes[0], kTail), 0.0f) << "the blip should have died away within the tail";
    EXPECT_EQ(takes[0], takes[1]);
}

INSTANTIATE_TEST_SUITE_P(PlatformSynth, ZeroLengthNoteTest, testing::Values(0, 24, 48, 80, 88));

TEST(PlatformSynth, AllSoundOffSilencesAtOnceAndAllNotesOffReleases) {
    LoadedSynth synth = loadSynth("msyn");
    selectProgram(synth, 121, 0, 48); // strings: slow attack, long release
    BlockRenderer renderer(synth.unit);
    for (uint8_t note = 48; note < 60; ++note) send(synth, 0x90, note, 100);
    ASSERT_EQ(renderer.render(22050), noErr);
    ASSERT_GT(peak(renderer.left(), 20000), 0.01f);
    send(synth, 0xB0, 120, 0, renderer.sampleTime() + 100);
    ASSERT_EQ(renderer.render(512), noErr);
    EXPECT_GT(peak(renderer.left(), 22050, 22150), 0.001f);
    EXPECT_EQ(peak(renderer.left(), 22150), 0.0f);

    for (uint8_t note = 48; note < 60; ++note) send(synth, 0x90, note, 100);
    ASSERT_EQ(renderer.render(22050), noErr);
    const size_t notesOff = renderer.left().size();
    send(synth, 0xB0, 123, 0);
    ASSERT_EQ(renderer.render(kTail + 512), noErr);
    EXPECT_GT(peak(renderer.left(), notesOff, notesOff + 512), 0.001f) << "all notes off should release, not cut";
    EXPECT_EQ(peak(renderer.left(), notesOff + kTail), 0.0f);
}

TEST(PlatformSynth, ProgramsAndBanksChooseClearlyDifferentTimbres) {
    const int note = 57;
    struct Choice {
        uint8_t msb, lsb, program;
        const char* name;
    };
    const std::vector<Choice> choices = {
        {121, 0, 0, "piano"},  {121, 0, 8, "bell"},    {121, 0, 16, "organ"}, {121, 0, 24, "guitar"},
        {121, 0, 32, "bass"},  {121, 0, 40, "strings"}, {121, 0, 56, "brass"}, {121, 0, 80, "lead"},
    };
    std::vector<std::vector<double>> features;
    for (const auto& choice : choices)
        features.push_back(timbre(playNote("dls ", choice.msb, choice.lsb, choice.program, note, 100, 32768),
                                  noteFrequency(note)));
    for (size_t a = 0; a < choices.size(); ++a)
        for (size_t b = a + 1; b < choices.size(); ++b)
            EXPECT_GT(distance(features[a], features[b]), 0.2) << choices[a].name << " vs " << choices[b].name;

    // The same program in another bank is another timbre.
    const auto otherBank = timbre(playNote("dls ", 121, 2, 0, note, 100, 32768), noteFrequency(note));
    EXPECT_GT(distance(features[0], otherBank), 0.2);
}

TEST(PlatformSynth, VelocityChangesTheLevel) {
    for (const uint8_t program : {0, 16, 40, 80}) {
        const float loud = peak(playNote("dls ", 121, 0, program, 60, 127, 22050));
        const float soft = peak(playNote("dls ", 121, 0, program, 60, 40, 22050));
        EXPECT_GT(soft, 0.0f);
        EXPECT_GT(loud, 2.5f * soft) << "program " << int(program);
    }
}

// The oldest notes are the first a short voice pool would give up; the lowest
// notes are the oldest here, and no other note has energy at their
// fundamentals (every harmonic of a higher note lies higher still).
TEST(PlatformSynth, ThirtyTwoNotesSoundTogether) {
    const auto alone = playNote("msyn", 121, 0, 16, 40, 90, 16384); // organ: every note holds its level
    const double aloneLevel = goertzel(alone, 4096, 16384, noteFrequency(40));
    ASSERT_GT(aloneLevel, 0.001);

    LoadedSynth synth = loadSynth("msyn");
    selectProgram(synth, 121, 0, 16);
    std::vector<int> notes;
    for (int i = 0; i < 32; ++i) notes.push_back(40 + i * 2);
    for (int n : notes) send(synth, 0x90, uint8_t(n), 90);
    BlockRenderer renderer(synth.unit);
    ASSERT_EQ(renderer.render(16384), noErr);
    const auto& out = renderer.left();
    for (int n = 40; n <= 50; n += 2)
        EXPECT_GT(goertzel(out, 4096, 16384, noteFrequency(n)), 0.8 * aloneLevel) << "note " << n << " was lost";
    for (int n : notes) EXPECT_GT(goertzel(out, 4096, 16384, noteFrequency(n)), 0.3 * aloneLevel) << "note " << n;
}

TEST(PlatformSynth, EventsActAtTheirFrame) {
    LoadedSynth synth = loadSynth("dls ");
    selectProgram(synth, 121, 0, 16);
    BlockRenderer renderer(synth.unit);
    ASSERT_EQ(renderer.render(512), noErr);
    send(synth, 0x90, 69, 127, 512 + 300);
    ASSERT_EQ(renderer.render(512), noErr);
    EXPECT_EQ(peak(renderer.left(), 0, 812), 0.0f);
    EXPECT_GT(peak(renderer.left(), 812, 830), 0.0f);

    // A time already past acts at the start of the next block.
    send(synth, 0xB0, 120, 0, 5);
    ASSERT_EQ(renderer.render(512), noErr);
    EXPECT_EQ(peak(renderer.left(), 1024), 0.0f);
}

TEST(PlatformSynth, FollowsTheOutputSampleRateAndChannelCount) {
    for (const double rate : {22050.0, 48000.0}) {
        LoadedSynth synth = loadSynth("dls ", rate, 1);
        selectProgram(synth, 121, 0, 80); // square lead: odd harmonics only
        send(synth, 0x90, 69, 110);
        BlockRenderer renderer(synth.unit);
        ASSERT_EQ(renderer.renderBlock(4096), noErr);
        const auto& out = renderer.left();
        const double at440 = goertzel(out, 1024, 4096, 440.0, rate);
        EXPECT_GT(at440, 4 * goertzel(out, 1024, 4096, 440.0 * 44100.0 / rate, rate)) << rate;
        EXPECT_GT(at440, 4 * goertzel(out, 1024, 4096, 466.0, rate)) << rate;
    }
}

TEST(PlatformSynth, RendersOnlyWithRenderResources) {
    Instantiation made = instantiate(describe("aumu", "dls ", "appl"));
    ASSERT_TRUE(made.unit);
    BlockRenderer renderer(made.unit->auAudioUnit());
    EXPECT_EQ(renderer.renderBlock(512), kAudioUnitErr_Uninitialized);
    NSErrorPtr error;
    ASSERT_TRUE(made.unit->auAudioUnit()->allocateRenderResourcesAndReturnError(&error));
    EXPECT_EQ(renderer.renderBlock(512), noErr);
    made.unit->auAudioUnit()->deallocateRenderResources();
    EXPECT_EQ(renderer.renderBlock(512), kAudioUnitErr_Uninitialized);
}

TEST(PlatformSynth, MIDISynthPropertiesThroughTheLowLevelHandle) {
    LoadedSynth synth = loadSynth("msyn");
    AudioUnit handle = synth.instance->audioUnit();
    ASSERT_NE(handle, nullptr);

    uint32_t preload = 1;
    EXPECT_EQ(AudioUnitSetProperty(handle, kAUMIDISynthProperty_EnablePreload, kAudioUnitScope_Global, 0, &preload,
                                   sizeof preload),
              noErr);
    uint32_t readBack = 0, size = sizeof readBack;
    EXPECT_EQ(AudioUnitGetProperty(handle, kAUMIDISynthProperty_EnablePreload, kAudioUnitScope_Global, 0, &readBack,
                                   &size),
              noErr);
    EXPECT_EQ(readBack, 1u);
    EXPECT_EQ(AudioUnitSetProperty(handle, kAUMIDISynthProperty_EnablePreload, kAudioUnitScope_Global, 0, &preload, 2),
              kAudio_ParamError);

    const auto missing = NSURL::fileURLWithPath("/nonexistent/gs_instruments.dls");
    CFURLRef missingRef = missing.get();
    EXPECT_EQ(AudioUnitSetProperty(handle, kMusicDeviceProperty_SoundBankURL, kAudioUnitScope_Global, 0, &missingRef,
                                   sizeof missingRef),
              kAudio_FileNotFoundError);

    char bankPath[] = "/tmp/platform-bank-XXXXXX";
    const int fd = mkstemp(bankPath);
    ASSERT_GE(fd, 0);
    close(fd);
    const auto bank = NSURL::fileURLWithPath(bankPath);
    CFURLRef bankRef = bank.get();
    EXPECT_EQ(AudioUnitSetProperty(handle, kMusicDeviceProperty_SoundBankURL, kAudioUnitScope_Global, 0, &bankRef,
                                   sizeof bankRef),
              noErr);
    unlink(bankPath);

    // Messages sent straight to the handle act at the start of the next render.
    EXPECT_EQ(MusicDeviceMIDIEvent(handle, 0x90, 60, 100, 0), noErr);
    BlockRenderer renderer(synth.unit);
    ASSERT_EQ(renderer.render(1024), noErr);
    EXPECT_GT(peak(renderer.left(), 0, 64), 0.0f);

    EXPECT_EQ(AudioUnitSetProperty(nullptr, kAUMIDISynthProperty_EnablePreload, kAudioUnitScope_Global, 0, &preload,
                                   sizeof preload),
              kAudio_ParamError);
    EXPECT_EQ(MusicDeviceMIDIEvent(nullptr, 0x90, 60, 100, 0), kAudio_ParamError);
}

TEST(PlatformSynth, OnlyTheMIDISynthTakesThePreloadSwitch) {
    LoadedSynth synth = loadSynth("dls ");
    uint32_t preload = 1;
    EXPECT_EQ(AudioUnitSetProperty(synth.instance->audioUnit(), kAUMIDISynthProperty_EnablePreload,
                                   kAudioUnitScope_Global, 0, &preload, sizeof preload),
              kAudioUnitErr_InvalidProperty);
}
