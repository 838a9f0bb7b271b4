// "schedule_midi" through the real host, seen by the recording test unit:
// the stream origin, truncation, 8-bit cutting and partial failure.
#include "AudioTestSupport.h"

namespace hostaudio {
namespace {

json event(double sampleTime, int status, int data1, int data2) {
    return {{"sample_time", sampleTime}, {"status", status}, {"data1", data1}, {"data2", data2}};
}
json schedule(const std::string& pluginId, const json& events) {
    return {{"cmd", "schedule_midi"}, {"id", pluginId}, {"events", events}};
}
json scheduled(size_t count) { return {{"status", "ok"}, {"scheduled", count}}; }
json error(const std::string& message) { return {{"status", "error"}, {"message", message}}; }

void stream(HostSession& session, const std::string& pluginId, int64_t frames) {
    ASSERT_EQ(session.request({{"cmd", "render_stream"}, {"id", pluginId}, {"frames", frames}})["frames"], frames);
}
void start(HostSession& session, const std::string& pluginId) {
    ASSERT_EQ(session.request({{"cmd", "start_stream"}, {"id", pluginId}, {"ring_path", session.file(pluginId + ".ring")}, {"frames", 4096}})["status"], "ok");
}

// The stream started when the plugin's timeline stood at 88200 (after a
// 1.5 s render): stream frame 1024 is plugin time 89224, inside the third
// block of the stream.
TEST(ScheduleMidi, StreamFramesAreCountedFromTheStreamOrigin) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    ASSERT_EQ(session.request({{"cmd", "render"}, {"id", "rec"}, {"note", 60}, {"velocity", 1}, {"duration_ms", 1500}, {"output", session.file("a.wav")}})["frames"], 88200);
    start(session, "rec");
    EXPECT_EQ(session.request(schedule("rec", json::array({event(1024, 0x90, 64, 100), event(10.9, 0x80, 64, 0)}))),
              scheduled(2));
    stream(session, "rec", 2048);

    const auto midi = session.records("midi ");
    ASSERT_EQ(midi.size(), 4u) << "note on and off of the render, two scheduled";
    EXPECT_EQ(midi[2], "midi 88210 88200 128 64 0");
    EXPECT_EQ(midi[3], "midi 89224 89224 144 64 100");
    EXPECT_EQ(session.records("block 89224 ").size(), 1u);
}

// Without a stream of its own the plugin takes "sample_time" as its own
// absolute time, even while another plugin streams.
TEST(ScheduleMidi, WithoutItsOwnStreamTimesAreAbsolute) {
    HostSession session(true);
    session.load(kRecordingUnit, "streaming");
    session.load(kRecordingUnit, "other");
    ASSERT_EQ(session.request({{"cmd", "render"}, {"id", "streaming"}, {"note", 60}, {"velocity", 1}, {"duration_ms", 0}, {"output", session.file("a.wav")}})["frames"], 22050);
    start(session, "streaming");  // origin 22050
    EXPECT_EQ(session.request(schedule("other", json::array({event(1024, 0x90, 50, 51), event(10.9, 400, 300, 256 + 7)}))),
              scheduled(2));
    session.request({{"cmd", "stop_stream"}, {"id", "streaming"}});
    start(session, "other");  // origin 0: the events were already placed
    stream(session, "other", 2048);

    const auto midi = session.records("midi ");
    ASSERT_GE(midi.size(), 2u);
    EXPECT_EQ(midi[midi.size() - 2], "midi 10 0 144 44 7");
    EXPECT_EQ(midi.back(), "midi 1024 1024 144 50 51");
}

// [valid, 5, valid]: the first event stays scheduled, the third never is.
TEST(ScheduleMidi, BadElementFailsAfterSchedulingTheOnesBeforeIt) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    start(session, "rec");
    EXPECT_EQ(session.request(schedule("rec", json::array({event(3, 0x90, 1, 2), 5, event(4, 0x90, 3, 4)}))),
              error("MIDI event must be an object"));
    EXPECT_EQ(session.request(schedule("rec", json::array({event(5, 0x90, 5, 6), {{"sample_time", 6}, {"status", 0x90}, {"data1", 7}}}))),
              error("MIDI event missing required fields"));
    stream(session, "rec", 512);
    EXPECT_EQ(session.records("midi "), std::vector<std::string>({"midi 3 0 144 1 2", "midi 5 0 144 5 6"}));
}

TEST(ScheduleMidi, RequestAndPluginErrors) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    session.load("aumu/nomi/Test", "deaf");
    struct Case {
        json request;
        json reply;
    };
    const json missing = error("Missing 'id' or 'events'");
    const std::vector<Case> cases = {
        {{{"cmd", "schedule_midi"}, {"events", json::array()}}, missing},
        {{{"cmd", "schedule_midi"}, {"id", "rec"}}, missing},
        {{{"cmd", "schedule_midi"}, {"id", "rec"}, {"events", {{"sample_time", 0}}}}, missing},
        {schedule("rec", json::array()), scheduled(0)},
        {schedule("nobody", json::array({event(0, 0x90, 1, 1)})), error("Plugin not loaded")},
        {schedule("deaf", json::array({event(0, 0x90, 1, 1)})), error("Plugin does not expose a MIDI schedule block")},
    };
    for (const auto& c : cases) EXPECT_EQ(session.request(c.request), c.reply) << c.request.dump();
}

}  // namespace
}  // namespace hostaudio
