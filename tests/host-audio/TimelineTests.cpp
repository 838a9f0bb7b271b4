// Offline rendering as the recording test unit sees it: block sizes and
// sample times, where note-on, note-off and all-sound-off land, the plugin's
// timeline across renders and streams, and renders that fail part-way.
#include "AudioTestSupport.h"

#include <sndfile.h>

#include <cmath>

namespace hostaudio {
namespace {

json render(const std::string& pluginId, int64_t durationMs, const std::string& output, int note = 60,
            int velocity = 100) {
    return {{"cmd", "render"}, {"id", pluginId}, {"note", note}, {"velocity", velocity},
            {"duration_ms", durationMs}, {"output", output}};
}

std::string blockLine(uint64_t sampleTime, uint32_t frames) {
    return "block " + std::to_string(sampleTime) + " " + std::to_string(frames);
}
std::string midiLine(uint64_t time, uint64_t blockStart, int b0, int b1, int b2) {
    return "midi " + std::to_string(time) + " " + std::to_string(blockStart) + " " + std::to_string(b0) + " " +
           std::to_string(b1) + " " + std::to_string(b2);
}

// The recording unit's output at timeline frame t, as the WAV file holds it.
int16_t expectedSample(uint64_t t) { return int16_t(std::lrint(double(t % 100) / 1000.0 * 32768.0)); }

struct NoteOffCase {
    int64_t durationMs;
    uint64_t frames;
    size_t blocks;
    uint32_t lastBlockFrames;
    uint64_t noteOffBlock;
};

class NoteOffTiming : public ::testing::TestWithParam<NoteOffCase> {};

// Note-off goes out before the first block that starts at or after the
// note's length, so it acts at that block's first frame.
TEST_P(NoteOffTiming, NoteOffActsAtTheFirstBlockBoundaryAfterTheNote) {
    const NoteOffCase& c = GetParam();
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    ASSERT_EQ(session.request(render("rec", c.durationMs, session.file("n.wav")))["frames"], c.frames);

    const auto blocks = session.records("block ");
    ASSERT_EQ(blocks.size(), c.blocks);
    EXPECT_EQ(blocks.front(), blockLine(0, 512));
    EXPECT_EQ(blocks.back(), blockLine(c.frames - c.lastBlockFrames, c.lastBlockFrames));
    EXPECT_EQ(session.records("midi "),
              std::vector<std::string>({midiLine(0, 0, 0x90, 60, 100), midiLine(c.noteOffBlock, c.noteOffBlock, 0x80, 60, 0)}));

    auto wav = readWav(session.file("n.wav"));
    ASSERT_TRUE(wav);
    ASSERT_EQ(wav->frames, int64_t(c.frames));
    for (uint64_t t : {uint64_t(0), uint64_t(37), uint64_t(511), uint64_t(512), c.frames - 1}) {
        EXPECT_EQ(wav->samples[2 * t], expectedSample(t)) << "frame " << t;
        EXPECT_EQ(wav->samples[2 * t + 1], expectedSample(t)) << "frame " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Durations, NoteOffTiming,
                         ::testing::Values(NoteOffCase{0, 22050, 44, 34, 0}, NoteOffCase{500, 44100, 87, 68, 22528},
                                           NoteOffCase{1000, 66150, 130, 102, 44544}),
                         [](const auto& info) { return std::to_string(info.param.durationMs) + "ms"; });

// The second render continues the first one's timeline and starts with all
// sound off; the first render of a fresh instance sends none.
TEST(Timeline, SecondRenderContinuesWithAllSoundOff) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    ASSERT_EQ(session.request(render("rec", 0, session.file("1.wav")))["frames"], 22050);
    EXPECT_TRUE(session.records("midi 22050").empty());
    ASSERT_EQ(session.request(render("rec", 0, session.file("2.wav"), 62, 90))["frames"], 22050);

    const auto blocks = session.records("block ");
    ASSERT_EQ(blocks.size(), 88u);
    EXPECT_EQ(blocks[44], blockLine(22050, 512));
    EXPECT_EQ(blocks.back(), blockLine(44100 - 34, 34));
    const auto midi = session.records("midi ");
    ASSERT_EQ(midi.size(), 5u);
    EXPECT_EQ(midi[2], midiLine(22050, 22050, 0xB0, 120, 0));
    EXPECT_EQ(midi[3], midiLine(22050, 22050, 0x90, 62, 90));
    EXPECT_EQ(midi[4], midiLine(22050, 22050, 0x80, 62, 0));

    auto second = readWav(session.file("2.wav"));
    ASSERT_TRUE(second);
    for (uint64_t i : {0, 1, 50, 22049}) EXPECT_EQ(second->samples[2 * i], expectedSample(22050 + i)) << i;
}

// A render whose file cannot be created renders nothing and leaves the
// timeline at 0, so the next render still sends no all-sound-off; a stream
// that rendered frames moves it on, and the next render does send it.
TEST(Timeline, AllSoundOffOnlyAfterFramesWereRendered) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    ASSERT_EQ(session.request(render("rec", 10, session.file("nodir/x.wav")))["message"], "Failed to create WAV writer");
    ASSERT_EQ(session.request(render("rec", 0, session.file("a.wav")))["frames"], 22050);
    EXPECT_EQ(session.records("block 0 ").size(), 1u);
    EXPECT_TRUE(session.records("midi 0 0 176").empty());

    session.load(kRecordingUnit, "fresh");
    ASSERT_EQ(session.request({{"cmd", "start_stream"}, {"id", "fresh"}, {"ring_path", session.file("r")}, {"frames", 64}})["status"], "ok");
    ASSERT_EQ(session.request({{"cmd", "render_stream"}, {"id", "fresh"}, {"frames", 100}})["frames"], 100);
    ASSERT_EQ(session.request(render("fresh", 0, session.file("b.wav")))["frames"], 22050);
    EXPECT_EQ(session.records("midi 100 100 176 120 0").size(), 1u);
    EXPECT_EQ(session.records("block 100 512").size(), 1u) << "the render starts where the stream ended";
}

TEST(Timeline, NoteAndVelocityAreCutToEightBits) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    ASSERT_EQ(session.request(render("rec", 0, session.file("a.wav"), 316, 300))["status"], "ok");
    EXPECT_EQ(session.records("midi ")[0], midiLine(0, 0, 0x90, 60, 44));
}

// Blocks 0 to 2 render, block 3 fails: the file holds exactly the three
// blocks and is complete, and the reply is "ok" with their frames.
TEST(RenderFailure, MidwayFailureKeepsTheBlocksAlreadyWritten) {
    HostSession session(true);
    session.load("aumu/rfl3/Test", "failing");
    const std::string output = session.file("partial.wav");
    EXPECT_EQ(session.request(render("failing", 1000, output)),
              json({{"status", "ok"}, {"id", "failing"}, {"output", output}, {"frames", 1536}}));
    EXPECT_TRUE(session.logged("[SorvaneAUHost] Render error: -10863 at frame 1536"));
    EXPECT_TRUE(session.logged("[SorvaneAUHost] Rendered 1536 frames to " + output));

    auto wav = readWav(output);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->frames, 1536);
    EXPECT_EQ(wav->samples[2 * 1535], expectedSample(1535));

    // The timeline moved on by the frames that rendered.
    ASSERT_EQ(session.request(render("failing", 0, session.file("again.wav")))["frames"], 0);
    EXPECT_EQ(session.records("fail ").back(), "fail 1536 512 -10863");
}

TEST(RenderFailure, FailureOnTheFirstBlockRepliesOkWithNoFrames) {
    HostSession session(true, {{"SORVANE_TEST_RENDER_FAIL_STATUS", "-10867"}});
    session.load("aumu/rfl0/Test", "failing");
    const std::string output = session.file("empty.wav");
    EXPECT_EQ(session.request(render("failing", 100, output)),
              json({{"status", "ok"}, {"id", "failing"}, {"output", output}, {"frames", 0}}));
    EXPECT_TRUE(session.logged("[SorvaneAUHost] Render error: -10867 at frame 0"));
    auto wav = readWav(output);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->frames, 0);
    EXPECT_EQ(wav->format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
}

// Without a MIDI schedule block the unit renders the same blocks and gets no
// messages; "midi" to it is answered "ok" and dropped.
TEST(Timeline, UnitWithoutMidiScheduleBlockStillRenders) {
    HostSession session(true);
    session.load("aumu/nomi/Test", "deaf");
    ASSERT_EQ(session.request(render("deaf", 0, session.file("a.wav")))["frames"], 22050);
    ASSERT_EQ(session.request(render("deaf", 0, session.file("b.wav")))["frames"], 22050);
    EXPECT_EQ(session.request({{"cmd", "midi"}, {"id", "deaf"}, {"type", "note_on"}, {"note", 1}}), json({{"status", "ok"}}));
    EXPECT_EQ(session.records("block ").size(), 88u);
    EXPECT_TRUE(session.records("midi ").empty());
}

// "midi" acts at the start of the next rendered block; velocity defaults to 0.
TEST(Timeline, LiveMidiActsAtTheNextBlock) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    ASSERT_EQ(session.request({{"cmd", "start_stream"}, {"id", "rec"}, {"ring_path", session.file("r")}, {"frames", 600}})["status"], "ok");
    ASSERT_EQ(session.request({{"cmd", "render_stream"}, {"id", "rec"}, {"frames", 700}})["frames"], 700);
    ASSERT_EQ(session.request({{"cmd", "midi"}, {"id", "rec"}, {"type", "note_on"}, {"note", 316}})["status"], "ok");
    ASSERT_EQ(session.request({{"cmd", "midi"}, {"id", "rec"}, {"type", "note_off"}, {"note", 61}, {"velocity", 64}})["status"], "ok");
    ASSERT_EQ(session.request({{"cmd", "render_stream"}, {"id", "rec"}, {"frames", 10}})["frames"], 10);
    EXPECT_EQ(session.records("midi "),
              std::vector<std::string>({midiLine(700, 700, 0x90, 60, 0), midiLine(700, 700, 0x80, 61, 64)}));
    EXPECT_EQ(session.records("block "),
              std::vector<std::string>({blockLine(0, 512), blockLine(512, 188), blockLine(700, 10)}));
}

}  // namespace
}  // namespace hostaudio
