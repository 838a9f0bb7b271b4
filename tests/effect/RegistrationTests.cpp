// Registration with the application over HTTP, the reply handling, and the
// extension's factory.
#include "EffectFixture.h"

#include <fstream>
#include <semaphore>

namespace effecttest {
namespace {

namespace fs = std::filesystem;

std::string escapedSlashes(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '/') out += '\\';
        out += c;
    }
    return out;
}

std::string programDirectory() { return fs::read_symlink("/proc/self/exe").parent_path().string(); }

TEST_F(EffectTest, RegistrationPostsTheCacheDirectoryAndMapsTheNamedStreamInOrder) {
    stream.createAll(1000, 0.0f, 0.0f);
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = createMappedUnit();

    const auto requests = app.requests();
    ASSERT_EQ(requests.size(), 1u);
    const HttpRequest& request = requests[0];
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.target, "/live");
    EXPECT_EQ(request.header("Host"), "127.0.0.1:7799");
    EXPECT_EQ(request.headerCount("Content-Type"), 1u);
    EXPECT_EQ(request.header("Content-Type"), "application/json");
    EXPECT_EQ(request.body, "{\"location\":\"" + escapedSlashes(cachesDirectory().string()) + "\"}");
    EXPECT_EQ(nlohmann::json::parse(request.body).at("location"), cachesDirectory().string());
    EXPECT_TRUE(fs::is_directory(cachesDirectory()));

    const std::string L = stream.location.string();
    const std::string body = streamReply().body;
    const std::vector<std::string> expected = {
        "[SORVANE] The application is running from the directory: " + programDirectory(),
        "[SORVANE] Application library location: " + dataHome().string(),
        "[SORVANE] Shared container Library/Caches URL: " + cachesDirectory().string(),
        "[SORVANE] HTTP Response status code: 200",
        "[SORVANE] HTTP Response body: " + body,
        "[SORVANE] Location from response: " + L,
        "[SORVANE] Stream from response: abc",
        "[SORVANE] Opening " + L + "/abc_ctl",
        "[SORVANE] bufferSize = 3",
        "[SORVANE] Mapped control memory buffer",
        "[SORVANE] Opening " + L + "/abc_out",
        "[SORVANE] bufferSize = 1000",
        "[SORVANE] Mapped shared memory buffer for input",
        "[SORVANE] Opening " + L + "/abc_in",
        "[SORVANE] bufferSize = 1000",
        "[SORVANE] Mapped shared memory buffer for output",
    };
    EXPECT_EQ(log.effectMessages(), expected);
}

TEST_F(EffectTest, AnExistingCacheDirectoryIsSentAsItIs) {
    fs::create_directories(cachesDirectory());
    const fs::path marker = cachesDirectory() / "kept";
    std::ofstream(marker) << "x";
    stream.createAll(16, 0.0f, 0.0f);
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = createMappedUnit();
    ASSERT_EQ(app.requests().size(), 1u);
    EXPECT_EQ(nlohmann::json::parse(app.requests()[0].body).at("location"), cachesDirectory().string());
    EXPECT_TRUE(fs::exists(marker));
}

// Replies that must not lead to a mapping, and the last line each one logs.
struct BadReply {
    const char* name;
    HttpReply reply;
    const char* lastLine;  // a prefix of the last effect line
};
void PrintTo(const BadReply& c, std::ostream* out) { *out << c.name; }

class BadReplyTest : public EffectTest, public ::testing::WithParamInterface<BadReply> {};

TEST_P(BadReplyTest, IsLoggedAndLeavesTheUnitUnmapped) {
    const BadReply& c = GetParam();
    stream.createAll(64, 1.0f, 0.5f);
    FakeApplication app([&](const HttpRequest&) { return c.reply; });
    auto unit = harness->createUnit();
    ASSERT_TRUE(unit);
    ASSERT_TRUE(log.waitForStartOf(c.lastLine));

    const auto messages = log.effectMessages();
    EXPECT_EQ(messages.back().rfind(c.lastLine, 0), 0u) << messages.back();
    EXPECT_EQ(log.countStartingWith("[SORVANE] Opening"), 0u);
    EXPECT_EQ(log.countStartingWith("[SORVANE] HTTP Response status code: "), c.reply.answer ? 1u : 0u);

    RenderThread render(unit);
    render.setInput(std::vector<float>(8, 0.25f), std::vector<float>(8, 0.75f));
    OutputBuffers output;
    output.fill(3.0f);
    EXPECT_EQ(render.render(8, output).status, 0);
    EXPECT_EQ(log.count(kNotInitialized), 1u);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(output.left()[i], 3.0f);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(output.right()[i], 3.0f);
    EXPECT_EQ(stream.readRing("_in"), std::vector<float>(64, -9.0f));
}

INSTANTIATE_TEST_SUITE_P(
    Replies, BadReplyTest,
    ::testing::Values(
        BadReply{"NoLocation", HttpReply::json(R"({"stream":"abc"})"),
                 "[SORVANE] 'location' or 'stream' property not found in JSON response."},
        BadReply{"NoStream", HttpReply::json(R"({"location":"/tmp"})"),
                 "[SORVANE] 'location' or 'stream' property not found in JSON response."},
        BadReply{"LocationNotAString", HttpReply::json(R"({"location":5,"stream":"abc"})"),
                 "[SORVANE] 'location' or 'stream' property not found in JSON response."},
        BadReply{"ArrayReply", HttpReply::json(R"(["location","stream"])"),
                 "[SORVANE] 'location' or 'stream' property not found in JSON response."},
        BadReply{"NotJson", HttpReply::json("location=/tmp"), "[SORVANE] Failed to decode JSON response: "},
        BadReply{"TopLevelString", HttpReply::json(R"("abc")"), "[SORVANE] Failed to decode JSON response: "},
        BadReply{"TrailingText", HttpReply::json(R"({"location":"/tmp","stream":"abc"} x)"),
                 "[SORVANE] Failed to decode JSON response: "},
        BadReply{"InvalidUtf8", HttpReply::json("{\"location\":\"\xff\",\"stream\":\"abc\"}"),
                 "[SORVANE] Failed to decode JSON response: "},
        BadReply{"EmptyBody", HttpReply::json(""), "[SORVANE] Failed to decode JSON response: "},
        BadReply{"NoAnswer", HttpReply::none(), kRequestFailed}),
    [](const auto& info) { return std::string(info.param.name); });

// The body is logged as UTF-8 text before it is decoded: "(null)" when it is
// not UTF-8, nothing after the colon when it is empty.
struct BodyLine {
    const char* name;
    const char* body;
    const char* logged;
};
void PrintTo(const BodyLine& c, std::ostream* out) { *out << c.name; }

class BodyLineTest : public EffectTest, public ::testing::WithParamInterface<BodyLine> {};

TEST_P(BodyLineTest, IsLoggedBeforeTheBodyFailsToDecode) {
    FakeApplication app([&](const HttpRequest&) { return HttpReply::json(GetParam().body); });
    auto unit = harness->createUnit();
    ASSERT_TRUE(log.waitForStartOf("[SORVANE] Failed to decode JSON response: "));
    const auto messages = log.effectMessages();
    ASSERT_GE(messages.size(), 3u);
    EXPECT_EQ(messages[messages.size() - 3], "[SORVANE] HTTP Response status code: 200");
    EXPECT_EQ(messages[messages.size() - 2], GetParam().logged);
}

INSTANTIATE_TEST_SUITE_P(Bodies, BodyLineTest,
                         ::testing::Values(BodyLine{"InvalidUtf8", "{\"x\":\"\xff\"}", "[SORVANE] HTTP Response body: (null)"},
                                           BodyLine{"Empty", "", "[SORVANE] HTTP Response body: "}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(EffectTest, StatusCodeIsLoggedButNotLookedAt) {
    stream.createAll(32, 0.0f, 0.0f);
    FakeApplication app([&](const HttpRequest&) { return streamReply(500); });
    auto unit = createMappedUnit();
    EXPECT_EQ(log.count("[SORVANE] HTTP Response status code: 500"), 1u);
}

TEST_F(EffectTest, ApplicationNotRunningLogsOneFailureAndNeverTouchesTheOutput) {
    auto unit = harness->createUnit();
    ASSERT_TRUE(unit);
    ASSERT_TRUE(log.waitForStartOf(kRequestFailed));

    RenderThread render(unit);
    render.setInput(std::vector<float>(16, 0.5f), std::vector<float>(16, 0.5f));
    OutputBuffers output;
    for (int cycle = 0; cycle < 2; ++cycle) {
        output.fill(-1.0f);
        EXPECT_EQ(render.render(16, output).status, 0);
        for (int i = 0; i < 16; ++i) EXPECT_EQ(output.left()[i], -1.0f);
    }
    EXPECT_EQ(log.countStartingWith(kRequestFailed), 1u);
    EXPECT_EQ(log.countStartingWith("[SORVANE] HTTP Response"), 0u);
    EXPECT_EQ(log.count(kNotInitialized), 2u);
}

// Without a shared cache directory nothing can be offered: the failure is
// logged and no request goes out.
struct MissingCacheDirectory {
    const char* name;
    void (*prepare)(const fs::path& dataHome);
    const char* failure;
};
void PrintTo(const MissingCacheDirectory& c, std::ostream* out) { *out << c.name; }

class MissingCacheDirectoryTest : public EffectTest, public ::testing::WithParamInterface<MissingCacheDirectory> {};

TEST_P(MissingCacheDirectoryTest, SendsNoRequest) {
    GetParam().prepare(dataHome());
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    auto unit = harness->createUnit();
    ASSERT_TRUE(unit);
    EXPECT_EQ(log.countStartingWith(GetParam().failure), 1u);
    const auto messages = log.effectMessages();
    EXPECT_EQ(messages.back(), "[SORVANE] Failed to create JSON payload: no shared cache directory for \"location\"");
    EXPECT_TRUE(app.requests().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Locations, MissingCacheDirectoryTest,
    ::testing::Values(
        MissingCacheDirectory{"NoContainer",
                              [](const fs::path& dataHome) { std::ofstream(dataHome) << "not a directory"; },
                              "[SORVANE] Failed to access the shared container"},
        MissingCacheDirectory{"NoCaches",
                              [](const fs::path& dataHome) {
                                  const fs::path container = dataHome / "Group Containers" / kGroupIdentifier;
                                  fs::create_directories(container);
                                  std::ofstream(container / "Library") << "a file where a directory belongs";
                              },
                              "[SORVANE] Failed to create directory: "}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(EffectTest, EachUnitMapsTheStreamOfItsOwnReply) {
    const StreamFiles first{stream.location, "one"}, second{stream.location, "two"};
    first.createAll(100, 0.5f, 0.25f);
    second.createAll(200, 2.0f, 1.0f);
    int served = 0;
    FakeApplication app([&](const HttpRequest&) { return streamReply(served++ == 0 ? first : second); });

    auto unitOne = createMappedUnit(0);
    auto unitTwo = createMappedUnit(1);
    ASSERT_EQ(app.requests().size(), 2u);
    EXPECT_EQ(app.requests()[0].body, app.requests()[1].body);

    RenderThread renderOne(unitOne), renderTwo(unitTwo);
    renderOne.setInput(std::vector<float>(10, 1.0f), std::vector<float>(10, 1.0f));
    renderTwo.setInput(std::vector<float>(10, 3.0f), std::vector<float>(10, 3.0f));
    OutputBuffers outputOne, outputTwo;
    ASSERT_EQ(renderOne.render(10, outputOne).status, 0);
    ASSERT_EQ(renderTwo.render(7, outputTwo).status, 0);

    EXPECT_EQ(outputOne.left()[0], mixed(0.5f, 1.0f, 0.25f));
    EXPECT_EQ(outputTwo.left()[0], mixed(2.0f, 3.0f, 1.0f));
    EXPECT_EQ(first.controlWord(0), 10.0f);
    EXPECT_EQ(second.controlWord(0), 7.0f);
    EXPECT_EQ(first.readRing("_in")[9], 2.0f);
    EXPECT_EQ(first.readRing("_in")[10], -9.0f);
    EXPECT_EQ(second.readRing("_in")[6], 6.0f);
    EXPECT_EQ(second.readRing("_in")[7], -9.0f);
}

TEST_F(EffectTest, AReplyArrivingAfterTheUnitWasReleasedIsStillHandled) {
    stream.createAll(50, 0.0f, 0.0f);
    std::binary_semaphore replyMayGo{0};
    FakeApplication app([&](const HttpRequest&) {
        replyMayGo.acquire();
        return streamReply();
    });
    std::weak_ptr<AUAudioUnit> released = harness->createUnit();
    harness->releaseController();
    EXPECT_FALSE(released.expired());  // the pending registration holds it

    replyMayGo.release();
    ASSERT_TRUE(log.waitFor(kMappedOutput));
    ASSERT_TRUE(log.waitFor("[SORVANE] Unmapped control memory"));
    EXPECT_TRUE(eventually([&] { return released.expired(); }));
    EXPECT_EQ(log.count("[SORVANE] Unmapped shared memory in"), 1u);
    EXPECT_EQ(log.count("[SORVANE] Unmapped shared memory out"), 1u);
}

TEST_F(EffectTest, TheControllerKeepsOnlyTheLastUnit) {
    stream.createAll(50, 0.0f, 0.0f);
    FakeApplication app([&](const HttpRequest&) { return streamReply(); });
    std::weak_ptr<AUAudioUnit> first = createMappedUnit(0);
    std::weak_ptr<AUAudioUnit> second = createMappedUnit(1);

    EXPECT_TRUE(eventually([&] { return first.expired(); }));
    EXPECT_FALSE(second.expired());
    harness->releaseController();
    EXPECT_TRUE(eventually([&] { return second.expired(); }));
}

} // namespace
} // namespace effecttest
