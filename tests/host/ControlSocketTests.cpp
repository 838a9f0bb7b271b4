// The control socket protocol: framing, the request envelope, the generic
// replies, "unload", "shutdown", and connections served side by side.
#include "HostProcess.h"

#include <gtest/gtest.h>

#include <algorithm>

using namespace hosttest;
using json = nlohmann::json;

namespace {

class ControlSocketTest : public ::testing::Test {
protected:
    void SetUp() override {
        host_ = HostProcess::startListening(socketPath(), {{"DISPLAY", std::nullopt}});
        ASSERT_TRUE(host_);
    }

    std::string socketPath() const { return dir_.file("host.sock"); }

    std::unique_ptr<HostClient> connect() {
        auto client = HostClient::connect(socketPath());
        EXPECT_TRUE(client) << "cannot connect";
        return client;
    }

    // The connection still answers requests in order.
    static void expectStillServing(HostClient& client) {
        EXPECT_EQ(client.request({{"cmd", "unload"}, {"id", "probe"}}), okReply());
    }

    void shutDown() {
        auto client = connect();
        ASSERT_TRUE(client);
        EXPECT_EQ(client->request({{"cmd", "shutdown"}}), okReply());
        EXPECT_EQ(host_->waitForExit(), 0);
    }

    TempDir dir_;
    std::unique_ptr<HostProcess> host_;
};

const json kInvalidJson = errorReply("Invalid JSON");
const json kMissingCmd = errorReply("Missing 'cmd' field");
const json kMissingId = errorReply("Missing 'id'");

}  // namespace

TEST_F(ControlSocketTest, LinesAreFramedAndAnsweredInOrder) {
    struct Case {
        const char* name;
        std::vector<std::string> writes;
        std::vector<json> replies;
    };
    const std::vector<Case> cases{
        {"two requests in one write", {"{\"cmd\":\"unload\",\"id\":\"a\"}\n{}\n"}, {okReply(), kMissingCmd}},
        {"one request over several writes", {"{\"cmd\":\"unl", "oad\",\"id\"", ":\"a\"}", "\n"}, {okReply()}},
        {"carriage return before the line feed", {"{}\r\n{\"cmd\":\"unload\",\"id\":\"a\"}\r\n"},
         {kMissingCmd, okReply()}},
        {"empty line", {"\n"}, {kInvalidJson}},
        {"pretty-printed request", {"{\n  \"cmd\": \"unload\",\n  \"id\": \"a\"\n}\n"},
         {kInvalidJson, kInvalidJson, kInvalidJson, kInvalidJson}},
        {"number", {"42\n"}, {kInvalidJson}},
        {"string", {"\"unload\"\n"}, {kInvalidJson}},
        {"literal", {"true\n"}, {kInvalidJson}},
        {"null", {"null\n"}, {kInvalidJson}},
        {"trailing text", {"{\"cmd\":\"unload\",\"id\":\"a\"} x\n"}, {kInvalidJson}},
        {"two objects on one line", {"{}{}\n"}, {kInvalidJson}},
        {"invalid UTF-8", {"{\"cmd\":\"unload\",\"id\":\"\xff\"}\n"}, {kInvalidJson}},
        {"truncated object", {"{\"cmd\":\n"}, {kInvalidJson}},
        {"array", {"[{\"cmd\":\"unload\",\"id\":\"a\"}]\n"}, {errorReply("Request must be a JSON object")}},
        {"empty object", {"{}\n"}, {kMissingCmd}},
        {"command in upper case", {"{\"cmd\":\"LIST_PLUGINS\"}\n"}, {errorReply("Unknown command: LIST_PLUGINS")}},
        {"unknown command", {"{\"cmd\":\"play\"}\n"}, {errorReply("Unknown command: play")}},
        {"number as command", {"{\"cmd\":5}\n"}, {errorReply("Invalid 'cmd' field")}},
        {"array as command", {"{\"cmd\":[\"shutdown\"]}\n"}, {errorReply("Invalid 'cmd' field")}},
        {"null as command", {"{\"cmd\":null}\n"}, {errorReply("Invalid 'cmd' field")}},
        {"unload without id", {"{\"cmd\":\"unload\"}\n"}, {kMissingId}},
        {"unload with a numeric id", {"{\"cmd\":\"unload\",\"id\":7}\n"}, {kMissingId}},
        {"unload with an object id", {"{\"cmd\":\"unload\",\"id\":{}}\n"}, {kMissingId}},
        {"unload of an id never loaded", {"{\"cmd\":\"unload\",\"id\":\"never\"}\n"}, {okReply()}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto client = connect();
        ASSERT_TRUE(client);
        for (const auto& bytes : c.writes) ASSERT_TRUE(client->send(bytes));
        for (const auto& expected : c.replies) EXPECT_EQ(client->readReply(), expected);
        expectStillServing(*client);
    }
    shutDown();
    // Nothing was loaded, so nothing was unloaded.
    EXPECT_EQ(host_->countLog("Unloaded plugin"), 0u);
}

TEST_F(ControlSocketTest, EveryCommandOfTheTableIsKnown) {
    auto client = connect();
    ASSERT_TRUE(client);
    for (const char* command : {"list_plugins", "load", "render", "midi", "start_stream", "schedule_midi",
                                "render_stream", "stop_stream", "get_parameters", "window_server", "show_ui",
                                "hide_ui", "apply_preset", "unload"}) {
        SCOPED_TRACE(command);
        // Without members: each handler answers, none with the unknown-command reply.
        auto reply = client->request({{"cmd", command}});
        ASSERT_TRUE(reply && reply->is_object());
        ASSERT_TRUE(reply->contains("status")) << *reply;
        EXPECT_NE(reply->value("message", "").rfind("Unknown command", 0), 0u) << *reply;
    }
    expectStillServing(*client);
}

TEST_F(ControlSocketTest, RepliesAreCompactWithEscapedSlashes) {
    auto client = connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->send("{\"cmd\":\"a/b\"}\n"));
    auto line = client->readLine();
    ASSERT_TRUE(line);
    EXPECT_TRUE(*line == R"({"message":"Unknown command: a\/b","status":"error"})" ||
                *line == R"({"status":"error","message":"Unknown command: a\/b"})")
        << *line;
}

TEST_F(ControlSocketTest, RequestLongerThanOneReadIsHandledOnce) {
    auto client = connect();
    ASSERT_TRUE(client);
    const std::string longName(300000, 'n');
    EXPECT_EQ(client->request({{"cmd", longName}}), errorReply("Unknown command: " + longName));
    expectStillServing(*client);
}

TEST_F(ControlSocketTest, InputWithoutFinalLineFeedIsNeverHandled) {
    auto client = connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->send("{\"cmd\":\"unload\",\"id\":\"a\"}\n{\"cmd\":\"shutdown\"}"));
    client->shutdownWrite();
    EXPECT_EQ(client->readReply(), okReply());
    EXPECT_TRUE(client->waitForClose());
    EXPECT_TRUE(host_->waitForLog("[ControlSocket] Client disconnected"));
    // The unterminated shutdown did not stop the host.
    auto other = connect();
    ASSERT_TRUE(other);
    expectStillServing(*other);
    EXPECT_FALSE(host_->hasExited());
}

TEST_F(ControlSocketTest, ShutdownDropsWhatFollowsOnItsConnection) {
    auto client = connect();
    ASSERT_TRUE(client);
    ASSERT_TRUE(client->send("{\"cmd\":\"shutdown\"}\n{\"cmd\":\"unload\"}\n"));
    EXPECT_EQ(client->readReply(), okReply());
    EXPECT_TRUE(client->waitForClose());
    EXPECT_EQ(host_->waitForExit(), 0);
    EXPECT_EQ(host_->countLog("Client disconnected"), 0u);
    EXPECT_EQ(host_->logLines().back(), "[SorvaneAUHost] Shutting down");
}

TEST_F(ControlSocketTest, UnloadAndShutdownUnloadEachFiledPluginOnce) {
    auto client = connect();
    ASSERT_TRUE(client);
    auto load = [&](const std::string& id) {
        EXPECT_EQ(client->request({{"cmd", "load"}, {"plugin", "aumu/dls /appl"}, {"id", id}}),
                  json({{"status", "ok"}, {"id", id}}));
    };
    for (const char* id : {"gone", "a", "b", "c"}) load(id);
    load("b");  // replaces the instance filed under "b" without unloading it

    EXPECT_EQ(client->request({{"cmd", "unload"}, {"id", "gone"}}), okReply());
    EXPECT_EQ(client->request({{"cmd", "unload"}, {"id", "gone"}}), okReply());
    EXPECT_EQ(client->request({{"cmd", "shutdown"}}), okReply());
    EXPECT_TRUE(client->waitForClose());
    ASSERT_EQ(host_->waitForExit(), 0);

    // Every plugin still filed is unloaded by the shutdown itself, before the
    // event loop stops; each id is logged exactly once.
    std::vector<std::string> unloaded;
    for (const auto& line : host_->logLines()) {
        if (line == "[SorvaneAUHost] Shutting down") break;
        if (line.rfind("[SorvaneAUHost] Unloaded plugin ", 0) == 0) unloaded.push_back(line.substr(32));
    }
    std::vector<std::string> atShutdown(unloaded.begin() + std::min<size_t>(1, unloaded.size()), unloaded.end());
    std::sort(atShutdown.begin(), atShutdown.end());
    ASSERT_FALSE(unloaded.empty()) << host_->logText();
    EXPECT_EQ(unloaded.front(), "gone");
    EXPECT_EQ(atShutdown, (std::vector<std::string>{"a", "b", "c"})) << host_->logText();
    EXPECT_EQ(host_->countLog("Unloaded plugin"), 4u);
}

TEST_F(ControlSocketTest, ShutdownEndsTheProcessWhileOtherConnectionsAreOpen) {
    auto idle = connect();
    auto midRequest = connect();
    ASSERT_TRUE(idle && midRequest);
    ASSERT_TRUE(midRequest->send("{\"cmd\":\"unl"));
    shutDown();
    // The open connections end with the process, without a reply.
    EXPECT_TRUE(idle->waitForClose());
    EXPECT_TRUE(midRequest->waitForClose());
}

TEST_F(ControlSocketTest, ConnectionsAreServedAtTheSameTime) {
    auto waiting = connect();
    ASSERT_TRUE(waiting);
    // This connection's request is incomplete: its reader waits for the rest.
    ASSERT_TRUE(waiting->send("{\"cmd\":\"unload\","));
    std::vector<std::unique_ptr<HostClient>> others;
    for (int i = 0; i < 3; ++i) {
        others.push_back(connect());
        ASSERT_TRUE(others.back());
    }
    for (auto& other : others) EXPECT_EQ(other->request({{"cmd", "unload"}, {"id", "b"}}), okReply());
    ASSERT_TRUE(waiting->send("\"id\":\"a\"}\n"));
    EXPECT_EQ(waiting->readReply(), okReply());
    for (auto& other : others) expectStillServing(*other);
}

TEST_F(ControlSocketTest, ClientsThatGoAwayNeverEndTheHost) {
    // Leaves in the middle of a request.
    {
        auto client = connect();
        ASSERT_TRUE(client);
        ASSERT_TRUE(client->send("{\"cmd\":\"list_plu"));
    }
    // Leaves without reading: far more reply bytes than the socket can hold,
    // so the host is still writing when the peer is gone.
    {
        auto client = connect();
        ASSERT_TRUE(client);
        std::string requests;
        for (int i = 0; i < 5000; ++i) requests += "{\"cmd\":\"list_plugins\"}\n";
        ASSERT_TRUE(client->send(requests));
    }
    ASSERT_TRUE(host_->waitForLog("[ControlSocket] Client disconnected", 2));
    auto client = connect();
    ASSERT_TRUE(client);
    expectStillServing(*client);
    shutDown();
}
