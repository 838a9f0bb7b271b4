// Two connections working on one plugin: an unload or a stop from one while
// the other renders must end the render cleanly, never the host.
#include "AudioTestSupport.h"

#include <sys/stat.h>

#include <thread>

namespace hostaudio {
namespace {

uint64_t fileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? uint64_t(st.st_size) : 0;
}

// Waits (boundedly, without timing anything) until the condition holds.
template <class Condition>
bool eventually(Condition condition) {
    for (int i = 0; i < hosttest::kWaitLimitMs; ++i) {
        if (condition()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// A render of about three hours of audio is running on one connection when
// another unloads the plugin: the render stops at the next block, its file
// is complete and the reply says how much was rendered.
TEST(Concurrency, UnloadDuringLongRender) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    const std::string output = session.file("long.wav");
    ASSERT_TRUE(session.client->send(json({{"cmd", "render"}, {"id", "rec"}, {"note", 60}, {"velocity", 100},
                                           {"duration_ms", 10000000}, {"output", output}})
                                         .dump() +
                                     "\n"));
    ASSERT_TRUE(eventually([&] { return fileSize(output) > (1u << 20); })) << "the render did not get going";

    auto second = session.connect();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->request({{"cmd", "unload"}, {"id", "rec"}}), json({{"status", "ok"}}));

    auto reply = session.client->readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["status"], "ok");
    const uint64_t frames = (*reply)["frames"];
    EXPECT_GT(frames, 0u);
    EXPECT_LT(frames, 441000000u);
    EXPECT_EQ(frames % 512, 0u);
    EXPECT_TRUE(session.logged("[SorvaneAUHost] Render error: -10867 at frame " + std::to_string(frames)));

    auto wav = readWav(output);
    ASSERT_TRUE(wav);
    EXPECT_EQ(uint64_t(wav->frames), frames);
    EXPECT_EQ(session.request({{"cmd", "list_plugins"}})["status"], "ok");
}

struct StreamInterruption {
    const char* name;
    json command;
};

class StreamInterrupted : public ::testing::TestWithParam<StreamInterruption> {};

// A "render_stream" far longer than the ring is running when another
// connection stops the stream or unloads the plugin: the render ends at the
// next block with "ok" and the frames it wrote, and the stream is gone.
TEST_P(StreamInterrupted, RenderStreamEndsCleanly) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    const std::string ring = session.file("ring");
    ASSERT_EQ(session.request({{"cmd", "start_stream"}, {"id", "rec"}, {"ring_path", ring}, {"frames", 1024}})["status"], "ok");
    ASSERT_TRUE(session.client->send(json({{"cmd", "render_stream"}, {"id", "rec"}, {"frames", 1000000000000}}).dump() + "\n"));
    // The recording unit's output is non-zero for most frames.
    ASSERT_TRUE(eventually([&] {
        auto contents = readRing(ring);
        return contents && contents->samples.size() > 3 && contents->samples[3] != 0.0f;
    }));

    auto second = session.connect();
    ASSERT_TRUE(second);
    EXPECT_EQ(second->request(GetParam().command), json({{"status", "ok"}}));

    auto reply = session.client->readReply();
    ASSERT_TRUE(reply);
    EXPECT_EQ((*reply)["status"], "ok") << reply->dump();
    EXPECT_GT((*reply)["frames"].get<int64_t>(), 0);
    EXPECT_LT((*reply)["frames"].get<int64_t>(), 1000000000000);
    EXPECT_EQ(session.request({{"cmd", "render_stream"}, {"id", "rec"}, {"frames", 1}}),
              json({{"status", "error"}, {"message", "No active stream for plugin"}}));
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Stopped stream for rec"), 1u);
}

INSTANTIATE_TEST_SUITE_P(Commands, StreamInterrupted,
                         ::testing::Values(StreamInterruption{"StopStream", {{"cmd", "stop_stream"}, {"id", "rec"}}},
                                           StreamInterruption{"Unload", {{"cmd", "unload"}, {"id", "rec"}}}),
                         [](const auto& info) { return std::string(info.param.name); });

// Two connections render the same instance at once: its render block is
// never entered twice at the same time (the unit would refuse the second
// call), so both renders complete every block.
TEST(Concurrency, TwoConnectionsRenderOneInstance) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    auto second = session.connect();
    ASSERT_TRUE(second);
    const json first = {{"cmd", "render"}, {"id", "rec"}, {"note", 60}, {"velocity", 100}, {"duration_ms", 60000}, {"output", session.file("1.wav")}};
    json other = first;
    other["output"] = session.file("2.wav");
    ASSERT_TRUE(session.client->send(first.dump() + "\n"));
    ASSERT_TRUE(second->send(other.dump() + "\n"));
    auto reply1 = session.client->readReply();
    auto reply2 = second->readReply();
    ASSERT_TRUE(reply1 && reply2);
    EXPECT_EQ((*reply1)["frames"], 2646000 + 22050);
    EXPECT_EQ((*reply2)["frames"], 2646000 + 22050);
    EXPECT_EQ(session.finalCount("Render error"), 0u);
}

}  // namespace
}  // namespace hostaudio
