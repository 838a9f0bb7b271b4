// The engine's plugin table: filing, look-ups, unloading, and plugins kept
// alive by the requests that still use them.
#include "AUHostEngine.h"

#include <gtest/gtest.h>

#include <thread>

namespace {

// A unit with settable names and nothing else.
std::shared_ptr<LoadedPlugin> makePlugin(std::optional<std::string> audioUnitName,
                                         std::optional<std::string> componentName) {
    AudioComponentDescription description{};
    description.componentType = kAudioUnitType_MusicDevice;
    NSErrorPtr error;
    auto unit = AUAudioUnit::create<AUAudioUnit>(description, 0, &error);
    EXPECT_TRUE(unit) << (error ? error->localizedDescription : "");
    if (!unit) return nullptr;
    unit->setNames(std::move(componentName), std::move(audioUnitName), std::nullopt);
    EXPECT_TRUE(unit->allocateRenderResourcesAndReturnError(&error));
    auto plugin = std::make_shared<LoadedPlugin>();
    plugin->audioUnit = unit;
    plugin->avAudioUnit = std::make_shared<AVAudioUnit>(unit, false);
    plugin->format = AVAudioFormat::initStandardFormatWithSampleRate(44100.0, 2);
    return plugin;
}

}  // namespace

TEST(PluginTable, LookUpsFindFiledPlugins) {
    AUHostEngine engine;
    auto plugin = makePlugin("Unit", "Component");
    ASSERT_TRUE(plugin);
    engine.filePlugin("p", plugin);
    EXPECT_EQ(engine.loadedPluginForId("p"), plugin);
    EXPECT_EQ(engine.audioUnitForPluginId("p"), plugin->audioUnit);
    EXPECT_EQ(engine.avAudioUnitForPluginId("p"), plugin->avAudioUnit);
    EXPECT_FALSE(engine.loadedPluginForId("P"));
    EXPECT_FALSE(engine.audioUnitForPluginId("q"));
    EXPECT_FALSE(engine.avAudioUnitForPluginId("q"));
    EXPECT_EQ(engine.loadedPluginIds(), std::vector<std::string>{"p"});
}

TEST(PluginTable, DisplayNameFallsBackToComponentNameThenId) {
    struct Case {
        std::optional<std::string> unitName, componentName;
        std::string expected;
    };
    const std::vector<Case> cases{
        {"Unit", "Component", "Unit"},
        {std::nullopt, "Component", "Component"},
        {std::nullopt, std::nullopt, "the-id"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.expected);
        AUHostEngine engine;
        engine.filePlugin("the-id", makePlugin(c.unitName, c.componentName));
        EXPECT_EQ(engine.displayNameForPluginId("the-id"), c.expected);
    }
    AUHostEngine empty;
    EXPECT_EQ(empty.displayNameForPluginId("the-id"), std::nullopt);
}

TEST(PluginTable, UnloadReleasesRenderResourcesButNotAPluginStillInUse) {
    AUHostEngine engine;
    engine.filePlugin("p", makePlugin("Unit", std::nullopt));
    // A request on another connection holds the plugin it is working with.
    LoadedPluginPtr inUse = engine.loadedPluginForId("p");
    ASSERT_TRUE(inUse);
    std::weak_ptr<AUAudioUnit> unit = inUse->audioUnit;

    engine.unloadPlugin("p");
    EXPECT_FALSE(engine.loadedPluginForId("p"));
    ASSERT_FALSE(unit.expired());
    EXPECT_FALSE(inUse->audioUnit->renderResourcesAllocated());

    inUse.reset();
    EXPECT_TRUE(unit.expired());
    engine.unloadPlugin("p");  // no longer filed: nothing happens
}

TEST(PluginTable, UnloadWaitsForARenderInProgress) {
    AUHostEngine engine;
    auto plugin = makePlugin("Unit", std::nullopt);
    engine.filePlugin("p", plugin);

    std::unique_lock rendering(plugin->useLock);
    std::jthread unloader([&] { engine.unloadPlugin("p"); });
    // The entry leaves the table at once ...
    while (engine.loadedPluginForId("p")) std::this_thread::yield();
    // ... but the render resources stay until the render lets go.
    EXPECT_TRUE(plugin->audioUnit->renderResourcesAllocated());
    rendering.unlock();
    unloader.join();
    EXPECT_FALSE(plugin->audioUnit->renderResourcesAllocated());
}

TEST(PluginTable, FilingReplacesWithoutUnloading) {
    AUHostEngine engine;
    auto first = makePlugin("First", std::nullopt);
    auto second = makePlugin("Second", std::nullopt);
    engine.filePlugin("p", first);
    engine.filePlugin("p", second);
    EXPECT_EQ(engine.loadedPluginForId("p"), second);
    EXPECT_TRUE(first->audioUnit->renderResourcesAllocated());
    EXPECT_EQ(first.use_count(), 1);
}

TEST(PluginTable, UnloadAllEmptiesTheTable) {
    AUHostEngine engine;
    std::vector<LoadedPluginPtr> plugins;
    for (const char* id : {"a", "b", "c"}) {
        plugins.push_back(makePlugin(id, std::nullopt));
        engine.filePlugin(id, plugins.back());
    }
    engine.unloadAll();
    EXPECT_TRUE(engine.loadedPluginIds().empty());
    for (const auto& plugin : plugins) EXPECT_FALSE(plugin->audioUnit->renderResourcesAllocated());
}

TEST(PluginTable, ErrorsCarryTheHostDomain) {
    auto error = AUHostEngineError(AUHostEngineErrorInvalidPluginIdentifier, "Invalid plugin identifier");
    EXPECT_EQ(error->domain, "com.quenmoor.SorvaneAUHost");
    EXPECT_EQ(error->code, 1);
    EXPECT_EQ(error->localizedDescription, "Invalid plugin identifier");
    EXPECT_EQ(AUHostEngineError(AUHostEngineErrorInvalidMidiEvent, "x")->code, 16);
}
