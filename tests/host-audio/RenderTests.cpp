// "render" and "midi" through the real host: replies, WAV files read back,
// and the built-in synthesiser's sound.
#include "AudioTestSupport.h"

#include <sndfile.h>

#include <algorithm>
#include <cmath>

namespace hostaudio {
namespace {

json renderRequest(const std::string& pluginId, int64_t durationMs, const std::string& output) {
    return {{"cmd", "render"}, {"id", pluginId}, {"note", 60}, {"velocity", 100},
            {"duration_ms", durationMs}, {"output", output}};
}

struct BlockCase {
    int64_t durationMs;
    int64_t frames;
};

class RenderLength : public ::testing::TestWithParam<BlockCase> {};

// The note plus the 22050-frame tail, as 16-bit stereo at 44100 Hz; the
// built-in synthesiser sounds during the note and has died away by the end.
TEST_P(RenderLength, WritesNoteAndTailAsSixteenBitStereo) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    const std::string output = session.file("note.wav");

    const json reply = session.request(renderRequest("synth", GetParam().durationMs, output));
    EXPECT_EQ(reply, json({{"status", "ok"}, {"id", "synth"}, {"output", output}, {"frames", GetParam().frames}}));
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Rendered " + std::to_string(GetParam().frames) + " frames to " +
                                 output),
              1u);

    auto wav = readWav(output);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(wav->channels, 2);
    EXPECT_EQ(wav->sampleRate, 44100);
    EXPECT_EQ(wav->frames, GetParam().frames);
    if (GetParam().durationMs > 0) {
        EXPECT_GT(wav->peak(0, 4096), 1000) << "the note is not heard";
    } else {
        // Note on and note off reach the instrument at the same frame: still
        // a short blip, as on a real instrument, not an empty file.
        EXPECT_GT(wav->peak(0, wav->frames), 0) << "a 0 ms note renders silence";
    }
    EXPECT_LE(wav->peak(wav->frames - 512, wav->frames), 2) << "the release has not died away";
}

INSTANTIATE_TEST_SUITE_P(Durations, RenderLength,
                         ::testing::Values(BlockCase{0, 22050}, BlockCase{500, 44100}, BlockCase{1000, 66150}),
                         [](const auto& info) { return std::to_string(info.param.durationMs) + "ms"; });

TEST(Render, ReplacesAnExistingFile) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    const std::string output = session.file("existing.wav");
    writeFile(output, 1 << 20, 'x');

    EXPECT_EQ(session.request(renderRequest("synth", 0, output))["frames"], 22050);
    auto wav = readWav(output);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->frames, 22050);
}

TEST(Render, UnwritablePathFailsWithWriterError) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    const std::string output = session.file("missing-dir/note.wav");

    EXPECT_EQ(session.request(renderRequest("synth", 100, output)),
              json({{"status", "error"}, {"message", "Failed to create WAV writer"}}));
    EXPECT_EQ(session.finalCount("[WAVWriter] Failed to create file at " + output + ": "), 1u);
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Rendered"), 0u);
}

TEST(Render, PluginNotLoadedCreatesNoFile) {
    HostSession session;
    const std::string output = session.file("never.wav");
    EXPECT_EQ(session.request(renderRequest("nobody", 100, output)),
              json({{"status", "error"}, {"message", "Plugin not loaded"}}));
    EXPECT_FALSE(fileExists(output));
}

TEST(Render, RequestsWithoutEveryValidMemberAreRefused) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    const json complete = renderRequest("synth", 0, session.file("x.wav"));
    std::vector<json> requests;
    for (const char* member : {"id", "note", "velocity", "duration_ms", "output"}) {
        json request = complete;
        request.erase(member);
        requests.push_back(request);
    }
    json negativeDuration = complete;
    negativeDuration["duration_ms"] = -1;  // would otherwise ask for an endless render
    requests.push_back(negativeDuration);
    json textNote = complete;
    textNote["note"] = "60";
    requests.push_back(textNote);

    for (const auto& request : requests)
        EXPECT_EQ(session.request(request),
                  json({{"status", "error"}, {"message", "Missing required render parameters"}}))
            << request.dump();
    EXPECT_FALSE(fileExists(session.file("x.wav")));
}

TEST(Midi, RepliesAndValidation) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    struct Case {
        json request;
        json reply;
    };
    const json ok = {{"status", "ok"}};
    const json missing = {{"status", "error"}, {"message", "Missing MIDI parameters"}};
    const std::vector<Case> cases = {
        {{{"cmd", "midi"}, {"id", "synth"}, {"type", "note_on"}, {"note", 60}, {"velocity", 90}}, ok},
        {{{"cmd", "midi"}, {"id", "synth"}, {"type", "note_off"}, {"note", 60}}, ok},
        {{{"cmd", "midi"}, {"id", "nobody"}, {"type", "note_on"}, {"note", 60}}, ok},
        {{{"cmd", "midi"}, {"type", "note_on"}, {"note", 60}}, missing},
        {{{"cmd", "midi"}, {"id", "synth"}, {"note", 60}}, missing},
        {{{"cmd", "midi"}, {"id", "synth"}, {"type", "note_on"}}, missing},
        {{{"cmd", "midi"}, {"id", "synth"}, {"type", "pitch_bend"}, {"note", 60}},
         {{"status", "error"}, {"message", "Unknown MIDI type: pitch_bend"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(session.request(c.request), c.reply) << c.request.dump();
}

// A live note sent with "midi" sounds in the next block the stream renders,
// and a live note-off lets it die away.
TEST(Midi, LiveNoteSoundsInTheStream) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    const std::string ring = session.file("live.ring");
    ASSERT_EQ(session.request({{"cmd", "start_stream"}, {"id", "synth"}, {"ring_path", ring}, {"frames", 44100}})["status"],
              "ok");

    size_t consumed = 0;  // ring samples the test has looked at so far
    auto peakOfNextFrames = [&](int frames) {
        EXPECT_EQ(session.request({{"cmd", "render_stream"}, {"id", "synth"}, {"frames", frames}})["frames"], frames);
        auto samples = readRing(ring);
        float peak = 0;
        for (size_t i = consumed; samples && i < consumed + size_t(2 * frames); ++i)
            peak = std::max(peak, std::abs(samples->samples[i % samples->samples.size()]));
        consumed += size_t(2 * frames);
        return peak;
    };
    EXPECT_EQ(peakOfNextFrames(512), 0.0f);
    session.request({{"cmd", "midi"}, {"id", "synth"}, {"type", "note_on"}, {"note", 64}, {"velocity", 110}});
    EXPECT_GT(peakOfNextFrames(512), 0.05f);
    session.request({{"cmd", "midi"}, {"id", "synth"}, {"type", "note_off"}, {"note", 64}});
    peakOfNextFrames(22050);
    EXPECT_LT(peakOfNextFrames(512), 1e-4f);
}

}  // namespace
}  // namespace hostaudio
