// "list_plugins" over the socket, with the platform's own instruments and
// with test components installed through a component module.
#include "HostProcess.h"

#include <gtest/gtest.h>

using namespace hosttest;
using json = nlohmann::json;

namespace {

json listPlugins(const Environment& environment) {
    TempDir dir;
    const std::string path = dir.file("host.sock");
    auto host = HostProcess::startListening(path, environment);
    if (!host) return nullptr;
    auto client = HostClient::connect(path);
    if (!client) return nullptr;
    // Members besides "cmd" are not read.
    auto reply = client->request({{"cmd", "list_plugins"}, {"plugins", 5}});
    EXPECT_EQ(client->request({{"cmd", "shutdown"}}), okReply());
    EXPECT_EQ(host->waitForExit(), 0);
    return reply.value_or(nullptr);
}

std::vector<std::string> identifiersOf(const json& reply) {
    std::vector<std::string> identifiers;
    for (const auto& plugin : reply.at("plugins")) identifiers.push_back(plugin.at("identifier"));
    return identifiers;
}

json entry(const std::string& name, const std::string& manufacturer, const std::string& identifier) {
    return {{"name", name}, {"manufacturer", manufacturer}, {"identifier", identifier}};
}

}  // namespace

TEST(Catalogue, ListsThePlatformInstruments) {
    json reply = listPlugins({{"AU_COMPONENT_PATH", std::nullopt}, {"DISPLAY", std::nullopt}});
    ASSERT_TRUE(reply.is_object());
    EXPECT_EQ(reply.at("status"), "ok");
    EXPECT_EQ(identifiersOf(reply), (std::vector<std::string>{"aumu/dls /appl", "aumu/msyn/appl"}));
    for (const auto& plugin : reply.at("plugins")) {
        EXPECT_EQ(plugin.size(), 3u) << plugin;
        EXPECT_FALSE(plugin.at("name").get<std::string>().empty());
        EXPECT_EQ(plugin.at("manufacturer"), "Apple");
    }
}

TEST(Catalogue, ListsEveryInstalledInstrumentInRegistryOrderWithDuplicates) {
    json reply = listPlugins({{"AU_COMPONENT_PATH", CATALOGUE_COMPONENTS_DIR}, {"DISPLAY", std::nullopt}});
    ASSERT_TRUE(reply.is_object());
    ASSERT_EQ(reply.at("status"), "ok");
    const json& plugins = reply.at("plugins");
    ASSERT_EQ(plugins.size(), 9u) << plugins;
    EXPECT_EQ(plugins[0].at("identifier"), "aumu/dls /appl");
    EXPECT_EQ(plugins[1].at("identifier"), "aumu/msyn/appl");
    const std::vector<json> installed{
        entry("Twin", "Catalogue Tests", "aumu/Twin/Tst "),
        entry("Twin", "Catalogue Tests", "aumu/Twin/Tst "),
        entry("Unknown", "Unknown", "aumu/Nonm/Tst "),
        // A zero byte ends a code's text.
        entry("Zero subtype", "Catalogue Tests", "aumu//Tst "),
        entry("Zero byte", "Catalogue Tests", "aumu/a/Tst "),
        entry("Latin", "Catalogue Tests", "aumu/Ltn1/T\u00e9st"),
        // Bytes that are not UTF-8 do not cost the whole reply.
        entry("Bad\ufffd name", "Catalogue Tests", "aumu/Badn/Tst "),
    };
    EXPECT_EQ(std::vector<json>(plugins.begin() + 2, plugins.end()), installed);
}
