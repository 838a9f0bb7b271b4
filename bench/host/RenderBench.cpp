// Offline rendering: a 10-second "render" of the platform's DLS instrument
// through the host process (request, render, WAV file, reply) against the
// same instrument rendered in this process by a minimal loop that sends the
// same MIDI at the same blocks and discards the output. Runs alternate;
// the best run of each side is compared (the machine is shared, and the
// best run is the one least disturbed by other work). Prints frames per
// second of both, their ratio (goal: the host keeps at least 95%) and the
// host's real-time factor. A third line renders in process into the same
// kind of WAV file (WAVWriter), which separates the cost of the file from
// the host's own. Two notes are measured, each labelled: a piano note that
// decays to silence early (the instrument then costs next to nothing, so the
// file dominates) and a sustained strings note (closer to a real instrument).
#include "BenchHost.h"
#include "WAVWriter.h"

#include <Platform/AVAudioUnit.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <semaphore>
#include <vector>

namespace {

using namespace hostbench;

constexpr uint64_t kDurationMs = 10000;
constexpr uint64_t kNoteFrames = kDurationMs * 44100 / 1000;
constexpr uint64_t kTotalFrames = kNoteFrames + 22050;
constexpr uint32_t kBlock = 512;
constexpr int kRuns = 15;

// The instrument as the host sets it up: stereo 44100 Hz, render resources,
// melodic bank, program 0.
struct DirectSynth {
    AVAudioUnitPtr avUnit;
    AURenderBlock render;
    AUScheduleMIDIEventBlock schedule;
    uint64_t sampleTime = 0;
    std::vector<float> left = std::vector<float>(kBlock), right = std::vector<float>(kBlock);
    std::vector<unsigned char> listStorage = std::vector<unsigned char>(audioBufferListSize(2));

    DirectSynth() {
        std::binary_semaphore done{0};
        AudioComponentDescription description{kAudioUnitType_MusicDevice, kAudioUnitSubType_DLSSynth,
                                              kAudioUnitManufacturer_Apple, 0, 0};
        AVAudioUnit::instantiateWithComponentDescription(description, kAudioComponentInstantiation_LoadInProcess,
                                                         [&](AVAudioUnitPtr unit, NSErrorPtr) {
                                                             avUnit = unit;
                                                             done.release();
                                                         });
        done.acquire();
        if (!avUnit) die("cannot instantiate the DLS instrument");
        auto unit = avUnit->auAudioUnit();
        NSErrorPtr error;
        unit->outputBusses()->objectAtIndexedSubscript(0)->setFormat(
            AVAudioFormat::initStandardFormatWithSampleRate(44100, 2), &error);
        if (!unit->allocateRenderResourcesAndReturnError(&error)) die("cannot allocate render resources");
        MusicDeviceMIDIEvent(avUnit->audioUnit(), 0xB0, 0, 121, 0);
        MusicDeviceMIDIEvent(avUnit->audioUnit(), 0xB0, 32, 0, 0);
        MusicDeviceMIDIEvent(avUnit->audioUnit(), 0xC0, 0, 0, 0);
        render = unit->renderBlock();
        schedule = unit->scheduleMIDIEventBlock();
    }

    void send(uint8_t status, uint8_t data1, uint8_t data2) {
        const uint8_t bytes[3] = {status, data1, data2};
        schedule(AUEventSampleTimeImmediate, 0, 3, bytes);
    }

    // Largest absolute sample of the last block rendered.
    float lastPeak() const {
        float peak = 0;
        for (float v : left) peak = std::max(peak, std::abs(v));
        return peak;
    }

    // Renders the note, handing each block to the sink when there is one;
    // returns the peak of its first second.
    float renderNote(AURenderSink* sink = nullptr) {
        float peak = 0;
        if (sampleTime != 0) send(0xB0, 120, 0);
        send(0x90, 60, 100);
        auto* list = reinterpret_cast<AudioBufferList*>(listStorage.data());
        bool noteOffSent = false;
        for (uint64_t done = 0; done < kTotalFrames;) {
            const auto frames = uint32_t(std::min<uint64_t>(kTotalFrames - done, kBlock));
            if (!noteOffSent && done >= kNoteFrames) {
                send(0x80, 60, 0);
                noteOffSent = true;
            }
            list->mNumberBuffers = 2;
            list->mBuffers[0] = {1, frames * 4, left.data()};
            list->mBuffers[1] = {1, frames * 4, right.data()};
            AudioUnitRenderActionFlags flags = 0;
            AudioTimeStamp time{};
            time.mSampleTime = double(sampleTime + done);
            time.mFlags = kAudioTimeStampSampleTimeValid;
            if (render(&flags, &time, frames, 0, list, nullptr) != noErr) die("direct render failed");
            if (sink) sink->writeBlock(list, frames, time.mSampleTime);
            if (done < 44100) peak = std::max(peak, lastPeak());
            done += frames;
        }
        sampleTime += kTotalFrames;
        return peak;
    }
};

double best(const std::vector<double>& seconds) { return *std::min_element(seconds.begin(), seconds.end()); }

// One note played the same way by the host and by the direct loop, with the
// instrument on the given program of the melodic bank.
struct Scenario {
    const char* label;
    uint8_t program;
};

void measure(BenchHost& host, DirectSynth& direct, const Scenario& scenario) {
    // The program reaches the host's instance as a scheduled event before the
    // render, the direct instance straight through its schedule block; the
    // render's all-sound-off leaves the program in place for every run.
    host.ok({{"cmd", "schedule_midi"},
             {"id", "synth"},
             {"events", nlohmann::json::array({{{"sample_time", 0}, {"status", 0xC0}, {"data1", scenario.program},
                                                {"data2", 0}}})}});
    direct.send(0xC0, scenario.program, 0);

    const nlohmann::json render = {{"cmd", "render"}, {"id", "synth"}, {"note", 60}, {"velocity", 100},
                                   {"duration_ms", kDurationMs}, {"output", host.file("note.wav")}};
    // One unmeasured run of each warms caches and the page cache of the file.
    host.ok(render);
    if (direct.renderNote() < 0.01f) die("the direct loop renders silence");

    std::vector<double> hostSeconds, directSeconds, directFileSeconds;
    for (int run = 0; run < kRuns; ++run) {
        auto start = Clock::now();
        auto reply = host.ok(render);
        hostSeconds.push_back(secondsSince(start));
        if (reply["frames"] != kTotalFrames) die("unexpected frame count " + reply.dump());

        start = Clock::now();
        direct.renderNote();
        directSeconds.push_back(secondsSince(start));

        start = Clock::now();
        {
            auto writer = WAVWriter::initWithPath(host.file("direct.wav"), 44100, 2);
            if (!writer) die("cannot create the direct WAV file");
            writer->begin();
            direct.renderNote(writer.get());
            writer->end();
        }
        directFileSeconds.push_back(secondsSince(start));
    }
    const double hostRate = double(kTotalFrames) / best(hostSeconds);
    const double directRate = double(kTotalFrames) / best(directSeconds);
    const double directFileRate = double(kTotalFrames) / best(directFileSeconds);
    std::printf("offline render, %s (program %u), %llu frames (10 s note + 0.5 s tail), best of %d runs each\n",
                scenario.label, unsigned(scenario.program), (unsigned long long)kTotalFrames, kRuns);
    std::printf("  host \"render\" (socket + WAV file): %12.0f frames/s  real-time factor %7.1f\n", hostRate,
                hostRate / 44100.0);
    std::printf("  direct in-process loop:            %12.0f frames/s  real-time factor %7.1f\n", directRate,
                directRate / 44100.0);
    std::printf("  direct loop + WAVWriter file:      %12.0f frames/s  real-time factor %7.1f\n", directFileRate,
                directFileRate / 44100.0);
    std::printf("  ratio host/direct: %.3f (goal >= 0.95)\n", hostRate / directRate);
    std::printf("  ratio host/(direct + file): %.3f\n", hostRate / directFileRate);
}

}  // namespace

int main() {
    BenchHost host;
    host.ok({{"cmd", "load"}, {"plugin", "aumu/dls /appl"}, {"id", "synth"}});
    DirectSynth direct;
    // The piano's note decays to silence within a few seconds, after which
    // the instrument costs almost nothing and the host's fixed costs show at
    // their largest; the strings sustain (two oscillators and a filter) for
    // the whole note, which is closer to what a real instrument costs.
    for (const Scenario& scenario : {Scenario{"decaying piano note", 0}, Scenario{"sustained strings note", 48}})
        measure(host, direct, scenario);
    return 0;
}
