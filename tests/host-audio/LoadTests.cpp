// "load" through the real host: every failure with its reply and log line,
// the platform's synthesisers, and what the unit sees while it is set up.
#include "AudioTestSupport.h"

namespace hostaudio {
namespace {

json load(const std::string& identifier, const std::string& pluginId) {
    return {{"cmd", "load"}, {"plugin", identifier}, {"id", pluginId}};
}
json error(const std::string& message) { return {{"status", "error"}, {"message", message}}; }
std::string retryLine(const std::string& identifier, const std::string& reason) {
    return "[SorvaneAUHost] Out-of-process load failed for " + identifier + " (" + reason + "); retrying in-process";
}

constexpr const char* kNoOutOfProcess = "Out-of-process instantiation is not available";

struct FailureCase {
    const char* name;
    const char* identifier;
    const char* message;
    bool retried;  // third-party units are tried out of process first
};

class LoadFailure : public ::testing::TestWithParam<FailureCase> {};

// A failed load files nothing: the id stays unknown to every later command.
TEST_P(LoadFailure, RepliesWithTheErrorAndFilesNothing) {
    const FailureCase& c = GetParam();
    HostSession session(true);
    EXPECT_EQ(session.request(load(c.identifier, "x")), error(c.message));
    EXPECT_EQ(session.request({{"cmd", "render"}, {"id", "x"}, {"note", 1}, {"velocity", 1}, {"duration_ms", 0}, {"output", session.file("x.wav")}}),
              error("Plugin not loaded"));
    EXPECT_EQ(session.finalCount(retryLine(c.identifier, kNoOutOfProcess)), c.retried ? 1u : 0u);
    EXPECT_EQ(session.finalCount("Loaded plugin"), 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LoadFailure,
    ::testing::Values(
        FailureCase{"OnePart", "aumu", "Invalid plugin identifier", false},
        FailureCase{"FourParts", "aumu/dls /appl/x", "Invalid plugin identifier", false},
        FailureCase{"NotInstalled", "aumu/none/Test", "No installed audio unit matches aumu/none/Test", true},
        FailureCase{"NotInstalledPlatformUnit", "aumu/none/appl", "No installed audio unit matches aumu/none/appl", false},
        FailureCase{"InstantiationError", "aumu/ierr/Test", "Test unit refused to instantiate", true},
        // The in-process attempt gives no error: the out-of-process one is reported.
        FailureCase{"InstantiationWithoutError", "aumu/inil/Test", kNoOutOfProcess, true},
        FailureCase{"AllocationError", "aumu/aerr/Test", "Test unit cannot allocate render resources", true},
        FailureCase{"AllocationWithoutError", "aumu/anil/Test", "Unknown error", true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Load, MissingMembers) {
    HostSession session;
    for (const json& request : {json{{"cmd", "load"}, {"id", "x"}}, json{{"cmd", "load"}, {"plugin", kDLSSynth}},
                                json{{"cmd", "load"}, {"plugin", 5}, {"id", "x"}}})
        EXPECT_EQ(session.request(request), error("Missing 'plugin' or 'id'")) << request.dump();
}

TEST(Load, PlatformSynthesisersLoadInProcessAtOnce) {
    HostSession session;
    session.load(kDLSSynth, "dls");
    session.load(kMIDISynth, "msyn");
    EXPECT_EQ(session.finalCount("Out-of-process load failed"), 0u);
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Loaded plugin aumu/dls /appl as dls"), 1u);
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Loaded plugin aumu/msyn/appl as msyn"), 1u);
    // Only the MIDI synthesiser is given the sound bank, which this machine lacks.
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] System DLS bank not found at "
                                 "/System/Library/Components/CoreAudio.component/Contents/Resources/"
                                 "gs_instruments.dls; AUMIDISynth may produce silence"),
              1u);
}

// A third-party unit: retried in process, given the stereo 44100 Hz output
// format before its render resources; no sound-bank or program messages.
TEST(Load, ThirdPartyUnitIsRetriedInProcessAndConfigured) {
    HostSession session(true);
    session.load(kRecordingUnit, "rec");
    EXPECT_EQ(session.records(), std::vector<std::string>({"instantiate aumu/rec /Test", "format 44100 2 0", "allocate 1"}));
    EXPECT_EQ(session.finalCount(retryLine(kRecordingUnit, kNoOutOfProcess)), 1u);
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Loaded plugin aumu/rec /Test as rec"), 1u);
}

// A refused format and a unit without an output bus are warned about; the
// load goes on.
TEST(Load, OutputFormatProblemsOnlyWarn) {
    HostSession session(true);
    session.load("aumu/frmt/Test", "refusing");
    session.load("aumu/nobs/Test", "busless");
    session.load("aumu/nohd/Test", "handleless");
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Warning: could not set output format: "), 2u);
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Loaded plugin"), 3u);
}

// The second load under an id replaces the first without unloading it; one
// unload then removes the one instance that is filed.
TEST(Load, SameIdTwiceReplaces) {
    HostSession session(true);
    session.load(kRecordingUnit, "x");
    ASSERT_EQ(session.request({{"cmd", "render"}, {"id", "x"}, {"note", 1}, {"velocity", 1}, {"duration_ms", 0}, {"output", session.file("a.wav")}})["frames"], 22050);
    session.load(kRecordingUnit, "x");
    // The new instance starts a timeline of its own.
    ASSERT_EQ(session.request({{"cmd", "render"}, {"id", "x"}, {"note", 1}, {"velocity", 1}, {"duration_ms", 0}, {"output", session.file("b.wav")}})["frames"], 22050);
    EXPECT_EQ(session.records("block 0 512").size(), 2u);
    EXPECT_EQ(session.request({{"cmd", "unload"}, {"id", "x"}}), json({{"status", "ok"}}));
    EXPECT_EQ(session.finalCount("[SorvaneAUHost] Unloaded plugin x"), 1u);
}

}  // namespace
}  // namespace hostaudio
