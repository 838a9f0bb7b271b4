// Ring streaming through the real host: the ring file's size and layout read
// back from disk, and the life cycle of the one stream.
#include "AudioTestSupport.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <fstream>

namespace hostaudio {
namespace {

json startStream(const std::string& pluginId, const std::string& ring, int64_t frames) {
    return {{"cmd", "start_stream"}, {"id", pluginId}, {"ring_path", ring}, {"frames", frames}};
}
json renderStream(const std::string& pluginId, int64_t frames) {
    return {{"cmd", "render_stream"}, {"id", pluginId}, {"frames", frames}};
}
json stopStream(const std::string& pluginId) { return {{"cmd", "stop_stream"}, {"id", pluginId}}; }
json noteOnAtStreamStart(const std::string& pluginId) {
    return {{"cmd", "schedule_midi"},
            {"id", pluginId},
            {"events", json::array({{{"sample_time", 0}, {"status", 0x90}, {"data1", 60}, {"data2", 120}}})}};
}
json okWithId(const std::string& pluginId) { return {{"status", "ok"}, {"id", pluginId}}; }
json error(const std::string& message) { return {{"status", "error"}, {"message", message}}; }

bool allZero(const RingFile& ring) {
    return std::all_of(ring.samples.begin(), ring.samples.end(), [](float s) { return s == 0.0f; });
}

std::string capacityLine(const std::string& pluginId, const std::string& ring, uint64_t frames) {
    return "[SorvaneAUHost] Started stream for " + pluginId + " into ring " + ring + " (" + std::to_string(frames) +
           " frames capacity)";
}

struct CapacityCase {
    const char* name;
    std::optional<size_t> existingBytes;  // nothing: no file at the path
    int64_t requestedFrames;
    uint64_t expectedBytes;
    uint64_t loggedFrames;
};

class RingCapacity : public ::testing::TestWithParam<CapacityCase> {};

TEST_P(RingCapacity, SizeFollowsTheFileOrTheRequest) {
    const CapacityCase& c = GetParam();
    HostSession session;
    session.load(kDLSSynth, "synth");
    const std::string ring = session.file("ring");
    if (c.existingBytes) writeFile(ring, *c.existingBytes, '\x5a');

    EXPECT_EQ(session.request(startStream("synth", ring, c.requestedFrames)), okWithId("synth"));
    EXPECT_TRUE(session.logged(capacityLine("synth", ring, c.loggedFrames))) << session.host->logText();

    auto contents = readRing(ring);
    ASSERT_TRUE(contents);
    EXPECT_EQ(contents->bytes, c.expectedBytes);
    if (c.existingBytes && *c.existingBytes > 0) {
        // Used as it is: the application's bytes are still there.
        std::ifstream in(ring, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(bytes, std::string(*c.existingBytes, '\x5a'));
    } else {
        EXPECT_TRUE(allZero(*contents));
        const std::string attempt = c.existingBytes ? "[SharedMemoryBridge] mmap failed: Invalid argument"
                                                    : "[SharedMemoryBridge] Failed to open " + ring +
                                                          ": No such file or directory";
        EXPECT_EQ(session.finalCount(attempt), 1u) << "one failed attempt to map it as it is";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RingCapacity,
    ::testing::Values(CapacityCase{"NewRingOfZeroFrames", std::nullopt, 0, 8, 1},
                      CapacityCase{"NewRingOf48000Frames", std::nullopt, 48000, 384000, 48000},
                      CapacityCase{"Existing1000ByteFile", 1000, 48000, 1000, 125},
                      CapacityCase{"ExistingEmptyFileIsRecreated", 0, 300, 2400, 300}),
    [](const auto& info) { return std::string(info.param.name); });

// 1000 frames into an 800-frame ring hold frames 200..999, the oldest at the
// write position, sample index 400. The reference is the same instrument
// streamed into a ring large enough never to wrap.
TEST(RingLayout, ThousandFramesLapAnEightHundredFrameRing) {
    HostSession session;
    session.load(kDLSSynth, "small");
    session.load(kDLSSynth, "large");
    const std::string small = session.file("small.ring"), large = session.file("large.ring");

    for (const auto& [pluginId, ring, capacity] : {std::tuple{"small", small, 800}, std::tuple{"large", large, 2000}}) {
        ASSERT_EQ(session.request(startStream(pluginId, ring, capacity)), okWithId(pluginId));
        ASSERT_EQ(session.request(noteOnAtStreamStart(pluginId))["status"], "ok");
        EXPECT_EQ(session.request(renderStream(pluginId, 1000)),
                  json({{"status", "ok"}, {"id", pluginId}, {"frames", 1000}}));
    }
    auto wrapped = readRing(small), reference = readRing(large);
    ASSERT_TRUE(wrapped && reference);
    ASSERT_EQ(wrapped->samples.size(), 1600u);
    EXPECT_FALSE(allZero(*reference));
    for (size_t frame = 200; frame < 1000; ++frame)
        for (size_t channel = 0; channel < 2; ++channel)
            ASSERT_EQ(wrapped->samples[(2 * frame + channel) % 1600], reference->samples[2 * frame + channel])
                << "frame " << frame << " channel " << channel;
    EXPECT_EQ(wrapped->samples[400], reference->samples[400]) << "frame 200, left, at the write position";
    EXPECT_TRUE(std::all_of(reference->samples.begin() + 2000, reference->samples.end(), [](float s) { return s == 0; }));
}

// A ring of an odd number of samples wraps per sample (frames straddle the
// end), and bytes beyond the last whole float are never touched.
TEST(RingLayout, OddSampleCountWrapsPerSampleAndKeepsTrailingBytes) {
    HostSession session;
    session.load(kDLSSynth, "odd");
    session.load(kDLSSynth, "reference");
    const std::string odd = session.file("odd.ring"), reference = session.file("reference.ring");
    writeFile(odd, 251 * 4 + 3, '\x7f');

    for (const auto& [pluginId, ring] : {std::pair{"odd", odd}, std::pair{"reference", reference}}) {
        ASSERT_EQ(session.request(startStream(pluginId, ring, 1000)), okWithId(pluginId));
        ASSERT_EQ(session.request(noteOnAtStreamStart(pluginId))["status"], "ok");
        ASSERT_EQ(session.request(renderStream(pluginId, 300))["frames"], 300);
    }
    EXPECT_TRUE(session.logged(capacityLine("odd", odd, 125)));

    std::ifstream in(odd, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_EQ(bytes.size(), 251u * 4 + 3);
    EXPECT_EQ(bytes.substr(251 * 4), std::string(3, '\x7f'));
    auto expected = readRing(reference);
    ASSERT_TRUE(expected);
    for (size_t s = 600 - 251; s < 600; ++s) {
        float value;
        std::memcpy(&value, bytes.data() + (s % 251) * 4, sizeof value);
        ASSERT_EQ(value, expected->samples[s]) << "stream sample " << s;
    }
}

TEST(StreamLifecycle, StartingAnotherStreamStopsTheFirst) {
    HostSession session;
    session.load(kDLSSynth, "a");
    session.load(kDLSSynth, "b");
    const std::string ringA = session.file("a.ring"), ringB = session.file("b.ring");

    ASSERT_EQ(session.request(startStream("a", ringA, 100)), okWithId("a"));
    ASSERT_EQ(session.request(startStream("b", ringB, 100)), okWithId("b"));

    EXPECT_EQ(session.request(renderStream("a", 10)), error("No active stream for plugin"));
    EXPECT_EQ(session.request(stopStream("a")), json({{"status", "ok"}}));  // not the active one: nothing
    EXPECT_EQ(session.request(renderStream("b", 0)), json({{"status", "ok"}, {"id", "b"}, {"frames", 0}}));
    EXPECT_EQ(session.request(renderStream("b", 700)), json({{"status", "ok"}, {"id", "b"}, {"frames", 700}}));

    // A start for a plugin that is not loaded leaves the active stream alone.
    EXPECT_EQ(session.request(startStream("nobody", session.file("n.ring"), 10)), error("Plugin not loaded"));
    EXPECT_EQ(session.request(renderStream("b", 1))["status"], "ok");

    EXPECT_EQ(session.request(stopStream("b")), json({{"status", "ok"}}));
    EXPECT_EQ(session.request(stopStream("b")), json({{"status", "ok"}}));
    EXPECT_EQ(session.request(renderStream("b", 10)), error("No active stream for plugin"));
    EXPECT_TRUE(fileExists(ringA) && fileExists(ringB)) << "rings stay on disk";

    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Stopped stream for a"), 1u);
    EXPECT_EQ(session.finalCount("[SharedMemoryBridge] Unmapped " + ringA), 1u);
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Stopped stream for b"), 1u);
    EXPECT_EQ(session.finalCount("[SharedMemoryBridge] Unmapped " + ringB), 1u);
}

TEST(StreamLifecycle, UnusableRingPathFailsAndLeavesNoStream) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    ASSERT_EQ(session.request(startStream("synth", session.file("good.ring"), 100)), okWithId("synth"));

    const std::string bad = session.file("no-such-dir/ring");
    EXPECT_EQ(session.request(startStream("synth", bad, 100)), error("Could not map ring at " + bad));
    EXPECT_EQ(session.request(renderStream("synth", 10)), error("No active stream for plugin"));
    EXPECT_EQ(session.finalCount("[SharedMemoryBridge] Failed to open " + bad + ": No such file or directory"), 1u);
    EXPECT_EQ(session.finalCount("[SharedMemoryBridge] Failed to create file: No such file or directory"), 1u);
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Stopped stream for synth"), 1u);
}

TEST(StreamLifecycle, UnloadingTheStreamedPluginStopsTheStreamFirst) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    ASSERT_EQ(session.request(startStream("synth", session.file("r"), 100)), okWithId("synth"));
    EXPECT_EQ(session.request({{"cmd", "unload"}, {"id", "synth"}}), json({{"status", "ok"}}));
    session.finish();

    const auto lines = session.host->logLines();
    auto position = [&](const std::string& text) {
        return std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return l.find(text) != l.npos; });
    };
    auto stopped = position("[SorvaneAUHost] Stopped stream for synth");
    auto unloaded = position("[SorvaneAUHost] Unloaded plugin synth");
    ASSERT_NE(stopped, lines.end());
    ASSERT_NE(unloaded, lines.end());
    EXPECT_LT(stopped, unloaded);
}

TEST(StreamRequests, Validation) {
    HostSession session;
    session.load(kDLSSynth, "synth");
    const std::string ring = session.file("r");
    const json invalidStart = error("Missing or invalid 'id', 'ring_path', or 'frames'");
    const json invalidRender = error("Missing 'id' or 'frames'");
    struct Case {
        json request;
        json reply;
    };
    const std::vector<Case> cases = {
        {{{"cmd", "start_stream"}, {"ring_path", ring}, {"frames", 10}}, invalidStart},
        {{{"cmd", "start_stream"}, {"id", "synth"}, {"frames", 10}}, invalidStart},
        {{{"cmd", "start_stream"}, {"id", "synth"}, {"ring_path", ring}}, invalidStart},
        {{{"cmd", "start_stream"}, {"id", "synth"}, {"ring_path", ring}, {"frames", "10"}}, invalidStart},
        {{{"cmd", "start_stream"}, {"id", 7}, {"ring_path", ring}, {"frames", 10}}, invalidStart},
        {{{"cmd", "start_stream"}, {"id", "synth"}, {"ring_path", ring}, {"frames", -10}}, invalidStart},
        {{{"cmd", "render_stream"}, {"frames", 10}}, invalidRender},
        {{{"cmd", "render_stream"}, {"id", "synth"}}, invalidRender},
        {{{"cmd", "render_stream"}, {"id", "synth"}, {"frames", -1}}, invalidRender},
        {{{"cmd", "render_stream"}, {"id", "synth"}, {"frames", 10}}, error("No active stream for plugin")},
        {{{"cmd", "stop_stream"}}, error("Missing 'id'")},
        {{{"cmd", "stop_stream"}, {"id", "synth"}}, {{"status", "ok"}}},
    };
    for (const auto& c : cases) EXPECT_EQ(session.request(c.request), c.reply) << c.request.dump();
    EXPECT_FALSE(fileExists(ring));
}

}  // namespace
}  // namespace hostaudio
