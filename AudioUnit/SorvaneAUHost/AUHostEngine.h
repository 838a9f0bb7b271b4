// The host's one plugin engine: the table of loaded plugin instances, the
// engine lock that guards it, the active ring stream, and the error values
// that engine operations hand back.
#pragma once

#include <Platform/AVAudioUnit.h>
#include <Platform/AudioTypes.h>
#include <Platform/Foundation.h>

#include "AURenderSink.h"

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

// Error domain of every error the engine creates itself; errors that come
// from the platform keep their own domain and wording.
inline constexpr const char* AUHostEngineErrorDomain = "com.quenmoor.SorvaneAUHost";

enum AUHostEngineErrorCode : long {
    AUHostEngineErrorInvalidPluginIdentifier = 1,
    AUHostEngineErrorInstantiationFailed = 2,
    AUHostEngineErrorRenderPluginNotLoaded = 3,
    AUHostEngineErrorWAVWriterFailed = 4,
    AUHostEngineErrorParametersPluginNotLoaded = 5,
    AUHostEngineErrorApplyStatePluginNotLoaded = 6,
    AUHostEngineErrorFullStateRejected = 7,
    AUHostEngineErrorStartStreamPluginNotLoaded = 8,
    AUHostEngineErrorRingMapFailed = 9,
    AUHostEngineErrorRingSinkFailed = 10,
    AUHostEngineErrorScheduleMidiPluginNotLoaded = 11,
    AUHostEngineErrorNoMidiScheduleBlock = 12,
    AUHostEngineErrorNoActiveStream = 13,
    AUHostEngineErrorRenderStreamPluginNotLoaded = 14,
    AUHostEngineErrorStreamRenderFailed = 15,
    AUHostEngineErrorInvalidMidiEvent = 16,
};

// Makes an error of the engine's domain.
NSErrorPtr AUHostEngineError(AUHostEngineErrorCode code, std::string description);

// One loaded plugin instance. Held through std::shared_ptr: a request that
// works with a plugin keeps its own reference for as long as it needs it, so
// an "unload" from another connection only takes the entry out of the table
// and never frees the instance under a running render.
struct LoadedPlugin {
    AVAudioUnitPtr avAudioUnit;
    AUAudioUnitPtr audioUnit;
    AVAudioFormatPtr format;
    // Sample time of the next frame this instance renders (its render timeline).
    std::atomic<uint64_t> streamSampleTime{0};
    // Held by whoever calls into the unit's render path; unloading takes it
    // to release the render resources, so they are never pulled from under a
    // render that another connection is still running.
    std::mutex useLock;

    // A render loop takes useLock once per block; while an unload waits for it
    // the loop stands aside, so the unload is never starved by a long render.
    // The loop's next block then finds the render resources gone.
    void waitWhileUnloading() const {
        if (unloadState.load(std::memory_order_acquire) == kUnloading) unloadState.wait(kUnloading);
    }
    void releaseRenderResources() {
        unloadState.store(kUnloading, std::memory_order_release);
        {
            std::lock_guard inUse(useLock);
            audioUnit->deallocateRenderResources();
        }
        unloadState.store(kUnloaded, std::memory_order_release);
        unloadState.notify_all();
    }

private:
    enum : int { kLoaded, kUnloading, kUnloaded };
    std::atomic<int> unloadState{kLoaded};
};
using LoadedPluginPtr = std::shared_ptr<LoadedPlugin>;

// The one active ring stream of the process.
struct AUHostStreamSession;

class AUHostEngine : public std::enable_shared_from_this<AUHostEngine> {
public:
    AUHostEngine();
    ~AUHostEngine();
    AUHostEngine(const AUHostEngine&) = delete;
    AUHostEngine& operator=(const AUHostEngine&) = delete;

    // --- Plugin table -----------------------------------------------------
    // Files a plugin under an id, replacing (and simply releasing) any
    // instance filed there before.
    void filePlugin(const std::string& pluginId, LoadedPluginPtr plugin);
    // The table entry, or nothing; the caller's reference keeps it alive.
    LoadedPluginPtr loadedPluginForId(const std::string& pluginId) const;
    std::vector<std::string> loadedPluginIds() const;

    void unloadPlugin(const std::string& pluginId);
    void unloadAll();

    AUAudioUnitPtr audioUnitForPluginId(const std::string& pluginId) const;
    AVAudioUnitPtr avAudioUnitForPluginId(const std::string& pluginId) const;
    // Unit name, else component name, else the plugin id; nothing when not loaded.
    std::optional<std::string> displayNameForPluginId(const std::string& pluginId) const;

    // --- Identifiers ------------------------------------------------------
    // "type/subtype/manufacturer" to a description; all fields 0 unless the
    // text has exactly three parts.
    static AudioComponentDescription descriptionFromIdentifier(const std::string& identifier);
    // Space-padded to four bytes, first four UTF-8 bytes packed big-endian.
    static uint32_t fourCharCodeFromString(const std::string& text);
    // "type,subtype,manufacturer,FLAG" with the low 16 bits of the flags.
    static std::string formatComponentDescription(const AudioComponentDescription& description);

    // --- Loading ----------------------------------------------------------
    // Instantiates, configures and files a plugin under pluginId.
    bool loadPlugin(const std::string& identifier, const std::string& pluginId, NSErrorPtr* outError);
    // Waits for the platform's asynchronous instantiation.
    AVAudioUnitPtr instantiateWithDescription(const AudioComponentDescription& description, uint32_t options,
                                              NSErrorPtr* outError);
    // Sound bank and preload mode of the platform's MIDI synthesiser.
    void configureInstrument(const AVAudioUnitPtr& avAudioUnit, const AudioComponentDescription& description);
    // Melodic bank, program 0 on the platform's synthesisers.
    void primeDefaultProgram(const AVAudioUnitPtr& avAudioUnit, const AudioComponentDescription& description);

    // --- Offline rendering --------------------------------------------------
    // Renders one note plus its release tail into a WAV file; the frames
    // rendered, or 0 (with an error when nothing could start).
    uint64_t renderNote(const std::string& pluginId, uint8_t note, uint8_t velocity, uint64_t durationMs,
                        const std::string& outputPath, NSErrorPtr* outError);
    // Renders one block (at most 512 frames) into a two-channel list and hands
    // it to the sink when it rendered; the render status.
    OSStatus renderBlockInto(AURenderSink& sink, const AURenderBlock& renderBlock, AudioBufferList* bufferList,
                             AUAudioFrameCount frames, double sampleTime);
    // One three-byte message at the start of the plugin's next render call;
    // dropped when the plugin is not loaded or takes no MIDI.
    void sendMIDI(const std::string& pluginId, uint8_t status, uint8_t data1, uint8_t data2);
    // Non-interleaved float list, one zero-filled buffer per channel; the
    // caller owns it and frees it with freeBufferList. Nothing when out of memory.
    static AudioBufferList* allocateBufferListWithChannels(uint32_t channels, uint32_t frameCount);
    static void freeBufferList(AudioBufferList* bufferList, uint32_t channels);

    // --- Ring streaming ---------------------------------------------------
    bool startStream(const std::string& pluginId, const std::string& ringPath, uint64_t frames, NSErrorPtr* outError);
    // Frames written to the ring, or -1 when nothing could be rendered at all.
    int64_t renderStream(const std::string& pluginId, uint64_t frames, NSErrorPtr* outError);
    // Stops the active stream (only when it belongs to pluginId, if given).
    void stopStream(const std::optional<std::string>& pluginId);

    // --- Scheduled MIDI -----------------------------------------------------
    // Hands each event of the array to the plugin's MIDI schedule block, in
    // order; events before a bad one stay scheduled.
    bool scheduleMidi(const nlohmann::json& events, const std::string& pluginId, NSErrorPtr* outError);

private:
    AVAudioUnitPtr instantiateForLoading(const std::string& identifier, const AudioComponentDescription& description,
                                         NSErrorPtr* outError);
    static void setOutputFormat(AUAudioUnit& unit, const AVAudioFormatPtr& format);
    std::shared_ptr<AUHostStreamSession> activeStream() const;
    static void finishStream(AUHostStreamSession& session);

    // Guards plugins_; held for table operations only, never across a call
    // into a plugin or into the platform.
    mutable std::mutex lock_;
    std::map<std::string, LoadedPluginPtr> plugins_;

    // The one active stream, or none. Guarded by streamLock_ for the slot
    // only; a request holds its own reference to the session while using it.
    mutable std::mutex streamLock_;
    std::shared_ptr<AUHostStreamSession> stream_;
};
using AUHostEnginePtr = std::shared_ptr<AUHostEngine>;
