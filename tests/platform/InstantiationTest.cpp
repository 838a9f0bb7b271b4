// Asynchronous instantiation: one completion, on another thread, with the
// instance or an error.
#include "PlatformTestSupport.h"

#include <TestUnits.h>

#include <atomic>
#include <chrono>

TEST(Instantiation, PlatformUnitsAreMadeInProcessWithHandleAndNames) {
    for (const auto& [description, name] : {std::pair{describe("aumu", "dls ", "appl"), "DLSMusicDevice"},
                                             {describe("aumu", "msyn", "appl"), "AUMIDISynth"}}) {
        const Instantiation made = instantiate(description);
        ASSERT_TRUE(made.unit) << name;
        EXPECT_EQ(made.error, nullptr);
        EXPECT_EQ(made.calls, 1);
        EXPECT_FALSE(made.calledOnCallingThread);
        EXPECT_NE(made.unit->audioUnit(), nullptr);
        EXPECT_EQ(made.unit->name(), name);
        EXPECT_EQ(made.unit->manufacturerName(), "Apple");
        EXPECT_EQ(made.unit->auAudioUnit()->componentName(), std::string("Apple: ") + name);
        EXPECT_EQ(made.unit->auAudioUnit()->componentDescription().componentSubType, description.componentSubType);
        EXPECT_TRUE(made.unit->auAudioUnit()->scheduleMIDIEventBlock());
    }
}

TEST(Instantiation, FailuresComeAsErrors) {
    struct Case {
        AudioComponentDescription description;
        uint32_t options;
        const char* domain; // null: no error at all
        long code;
        const char* text;
    };
    const std::vector<Case> cases = {
        {describe("aumu", "dls ", "appl"), kAudioComponentInstantiation_LoadOutOfProcess, NSOSStatusErrorDomain,
         kAudioComponentErr_NotPermitted, "Out-of-process instantiation is not available"},
        {describe("aumu", "rec ", "Test"), kAudioComponentInstantiation_LoadOutOfProcess, NSOSStatusErrorDomain,
         kAudioComponentErr_NotPermitted, "Out-of-process instantiation is not available"},
        {describe("aumu", "none", "Test"), kAudioComponentInstantiation_LoadInProcess, NSOSStatusErrorDomain,
         kAudioComponentErr_ComponentNotFound, "No installed audio unit matches aumu/none/Test"},
        {describe("aumu", "ierr", "Test"), kAudioComponentInstantiation_LoadInProcess, "com.sorvane.TestUnits", 77,
         "Test unit refused to instantiate"},
        {describe("aumu", "inil", "Test"), kAudioComponentInstantiation_LoadInProcess, nullptr, 0, ""},
    };
    for (const auto& c : cases) {
        const Instantiation made = instantiate(c.description, c.options);
        EXPECT_EQ(made.unit, nullptr);
        EXPECT_EQ(made.calls, 1);
        EXPECT_FALSE(made.calledOnCallingThread);
        if (!c.domain) {
            EXPECT_EQ(made.error, nullptr);
            continue;
        }
        ASSERT_TRUE(made.error) << c.text;
        EXPECT_EQ(made.error->domain, c.domain);
        EXPECT_EQ(made.error->code, c.code);
        EXPECT_EQ(made.error->localizedDescription, c.text);
    }
}

TEST(Instantiation, HandleAndNamesFollowTheComponent) {
    const Instantiation withoutHandle = instantiate(describe("aumu", "nohd", "Test"));
    ASSERT_TRUE(withoutHandle.unit);
    EXPECT_EQ(withoutHandle.unit->audioUnit(), nullptr);
    EXPECT_EQ(withoutHandle.unit->name(), "NoHandleUnit");
    EXPECT_EQ(withoutHandle.unit->manufacturerName(), "Sorvane Tests");

    const Instantiation anonymous = instantiate(describe("aumu", "anon", "Test"), 0);
    ASSERT_TRUE(anonymous.unit);
    EXPECT_NE(anonymous.unit->audioUnit(), nullptr);
    EXPECT_EQ(anonymous.unit->name(), std::nullopt);
    EXPECT_EQ(anonymous.unit->manufacturerName(), std::nullopt);
    EXPECT_EQ(anonymous.unit->auAudioUnit()->componentName(), std::nullopt);
}

// Many instantiations at once each complete exactly once; a completion that
// came twice would show up in the count once every first call is in.
TEST(Instantiation, ConcurrentRequestsEachCompleteOnce) {
    constexpr int kRequests = 24;
    std::atomic<int> completions{0}, successes{0};
    std::mutex mutex;
    std::condition_variable done;
    for (int i = 0; i < kRequests; ++i) {
        const auto description = i % 3 == 0 ? describe("aumu", "ierr", "Test") : describe("aumu", "dls ", "appl");
        AVAudioUnit::instantiateWithComponentDescription(
            description, kAudioComponentInstantiation_LoadInProcess, [&](AVAudioUnitPtr unit, NSErrorPtr error) {
                if (unit && !error) ++successes;
                std::lock_guard lock(mutex);
                ++completions;
                done.notify_all();
            });
    }
    std::unique_lock lock(mutex);
    done.wait(lock, [&] { return completions.load() >= kRequests; });
    lock.unlock();
    // Give a stray second call the chance to arrive before counting.
    const Instantiation last = instantiate(describe("aumu", "dls ", "appl"));
    EXPECT_EQ(last.calls, 1);
    EXPECT_EQ(completions.load(), kRequests);
    EXPECT_EQ(successes.load(), kRequests - kRequests / 3);
}
