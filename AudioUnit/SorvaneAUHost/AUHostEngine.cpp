#include "AUHostEngine.h"

#include "AUPluginEnumerator.h"
#include "SharedMemoryBridge.h"
#include "SharedRingSink.h"
#include "WAVWriter.h"

#include <nlohmann/json.hpp>

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <semaphore>
#include <utility>

NSErrorPtr AUHostEngineError(AUHostEngineErrorCode code, std::string description) {
    return makeError(AUHostEngineErrorDomain, code, std::move(description));
}

AUHostEngine::AUHostEngine() = default;
AUHostEngine::~AUHostEngine() = default;

// ---------------------------------------------------------------------------
// Plugin table

void AUHostEngine::filePlugin(const std::string& pluginId, LoadedPluginPtr plugin) {
    LoadedPluginPtr replaced;
    {
        std::lock_guard guard(lock_);
        auto& slot = plugins_[pluginId];
        replaced = std::move(slot);
        slot = std::move(plugin);
    }
    // `replaced` is released here, outside the lock: its last reference may
    // tear the instance down, which must not happen while the table is held.
}

LoadedPluginPtr AUHostEngine::loadedPluginForId(const std::string& pluginId) const {
    std::lock_guard guard(lock_);
    auto it = plugins_.find(pluginId);
    return it == plugins_.end() ? nullptr : it->second;
}

std::vector<std::string> AUHostEngine::loadedPluginIds() const {
    std::lock_guard guard(lock_);
    std::vector<std::string> ids;
    ids.reserve(plugins_.size());
    for (const auto& entry : plugins_) ids.push_back(entry.first);
    return ids;
}

void AUHostEngine::unloadPlugin(const std::string& pluginId) {
    stopStream(pluginId);

    LoadedPluginPtr removed;
    {
        std::lock_guard guard(lock_);
        auto it = plugins_.find(pluginId);
        if (it == plugins_.end()) return;
        removed = std::move(it->second);
        plugins_.erase(it);
    }

    // Waits for the block that another connection may be rendering with this
    // instance before its render resources go.
    if (removed->audioUnit) removed->releaseRenderResources();
    NSLog("[SorvaneAUHost] Unloaded plugin %s", pluginId.c_str());
}

void AUHostEngine::unloadAll() {
    for (const auto& pluginId : loadedPluginIds()) unloadPlugin(pluginId);
}

AUAudioUnitPtr AUHostEngine::audioUnitForPluginId(const std::string& pluginId) const {
    auto plugin = loadedPluginForId(pluginId);
    return plugin ? plugin->audioUnit : nullptr;
}

AVAudioUnitPtr AUHostEngine::avAudioUnitForPluginId(const std::string& pluginId) const {
    auto plugin = loadedPluginForId(pluginId);
    return plugin ? plugin->avAudioUnit : nullptr;
}

std::optional<std::string> AUHostEngine::displayNameForPluginId(const std::string& pluginId) const {
    auto unit = audioUnitForPluginId(pluginId);
    if (!unit) return std::nullopt;
    if (auto name = unit->audioUnitName()) return name;
    if (auto name = unit->componentName()) return name;
    return pluginId;
}

// ---------------------------------------------------------------------------
// Identifiers

AudioComponentDescription AUHostEngine::descriptionFromIdentifier(const std::string& identifier) {
    AudioComponentDescription description{};
    std::vector<std::string> parts;
    size_t start = 0;
    for (;;) {
        size_t slash = identifier.find('/', start);
        parts.push_back(identifier.substr(start, slash == std::string::npos ? std::string::npos : slash - start));
        if (slash == std::string::npos) break;
        start = slash + 1;
    }
    if (parts.size() != 3) return description;
    description.componentType = fourCharCodeFromString(parts[0]);
    description.componentSubType = fourCharCodeFromString(parts[1]);
    description.componentManufacturer = fourCharCodeFromString(parts[2]);
    return description;
}

uint32_t AUHostEngine::fourCharCodeFromString(const std::string& text) {
    // Padding the bytes gives the same first four bytes as padding the
    // characters: any text shorter than four characters that reaches four
    // bytes already supplies all four from its own characters.
    std::string padded = text;
    if (padded.size() < 4) padded.append(4 - padded.size(), ' ');
    uint32_t code = 0;
    for (int i = 0; i < 4; ++i) code = (code << 8) | static_cast<uint8_t>(padded[i]);
    return code;
}

std::string AUHostEngine::formatComponentDescription(const AudioComponentDescription& description) {
    char flags[8];
    std::snprintf(flags, sizeof flags, "%04X", description.componentFlags & 0xFFFFu);
    return AUPluginDescription::stringFromFourCharCode(description.componentType) + "," +
           AUPluginDescription::stringFromFourCharCode(description.componentSubType) + "," +
           AUPluginDescription::stringFromFourCharCode(description.componentManufacturer) + "," + flags;
}

// ---------------------------------------------------------------------------
// Loading

namespace {

constexpr double kHostSampleRate = 44100.0;
constexpr uint32_t kHostChannels = 2;
constexpr AUAudioFrameCount kRenderBlockFrames = 512;
constexpr uint64_t kReleaseTailFrames = 22050;

constexpr const char* kSystemSoundBankPath =
    "/System/Library/Components/CoreAudio.component/Contents/Resources/gs_instruments.dls";

bool hasDescription(const NSErrorPtr& error) { return error && !error->localizedDescription.empty(); }

// An error as the log shows it.
std::string describeError(const NSErrorPtr& error) {
    if (!error) return "(null)";
    return "Error Domain=" + error->domain + " Code=" + std::to_string(error->code) + " \"" +
           error->localizedDescription + "\"";
}

void setError(NSErrorPtr* outError, NSErrorPtr error) {
    if (outError) *outError = std::move(error);
}

OSStatus setUInt32Property(AudioUnit handle, AudioUnitPropertyID property, uint32_t value) {
    return AudioUnitSetProperty(handle, property, kAudioUnitScope_Global, 0, &value, sizeof value);
}

}  // namespace

bool AUHostEngine::loadPlugin(const std::string& identifier, const std::string& pluginId, NSErrorPtr* outError) {
    const AudioComponentDescription description = descriptionFromIdentifier(identifier);
    if (description.componentType == 0) {
        setError(outError, AUHostEngineError(AUHostEngineErrorInvalidPluginIdentifier, "Invalid plugin identifier"));
        return false;
    }
    auto format = AVAudioFormat::initStandardFormatWithSampleRate(kHostSampleRate, kHostChannels);

    NSErrorPtr error;
    AVAudioUnitPtr avUnit = instantiateForLoading(identifier, description, &error);
    if (!avUnit) {
        setError(outError, error ? error
                                 : AUHostEngineError(AUHostEngineErrorInstantiationFailed, "Failed to instantiate plugin"));
        return false;
    }

    AUAudioUnitPtr unit = avUnit->auAudioUnit();
    setOutputFormat(*unit, format);
    configureInstrument(avUnit, description);

    NSErrorPtr allocationError;
    if (!unit->allocateRenderResourcesAndReturnError(&allocationError)) {
        setError(outError, allocationError);
        return false;
    }
    primeDefaultProgram(avUnit, description);

    auto plugin = std::make_shared<LoadedPlugin>();
    plugin->avAudioUnit = avUnit;
    plugin->audioUnit = unit;
    plugin->format = format;
    filePlugin(pluginId, std::move(plugin));
    NSLog("[SorvaneAUHost] Loaded plugin %s as %s", identifier.c_str(), pluginId.c_str());
    return true;
}

// The platform's own units load in process only; third-party units are tried
// out of process first and retried in process.
AVAudioUnitPtr AUHostEngine::instantiateForLoading(const std::string& identifier,
                                                   const AudioComponentDescription& description, NSErrorPtr* outError) {
    if (description.componentManufacturer == kAudioUnitManufacturer_Apple)
        return instantiateWithDescription(description, kAudioComponentInstantiation_LoadInProcess, outError);

    NSErrorPtr outOfProcessError;
    if (auto unit = instantiateWithDescription(description, kAudioComponentInstantiation_LoadOutOfProcess,
                                               &outOfProcessError))
        return unit;
    NSLog("[SorvaneAUHost] Out-of-process load failed for %s (%s); retrying in-process", identifier.c_str(),
          hasDescription(outOfProcessError) ? outOfProcessError->localizedDescription.c_str() : "unknown error");

    NSErrorPtr inProcessError;
    if (auto unit = instantiateWithDescription(description, kAudioComponentInstantiation_LoadInProcess,
                                               &inProcessError))
        return unit;
    setError(outError, inProcessError ? inProcessError : outOfProcessError);
    return nullptr;
}

// A unit without an output bus 0 gets the same warning as one that refuses the
// format, and loading goes on.
void AUHostEngine::setOutputFormat(AUAudioUnit& unit, const AVAudioFormatPtr& format) {
    NSErrorPtr error;
    auto busses = unit.outputBusses();
    auto bus = busses ? busses->objectAtIndexedSubscript(0) : nullptr;
    if (!bus)
        error = makeError(NSOSStatusErrorDomain, kAudioUnitErr_InvalidElement, "The unit has no output bus 0");
    else if (bus->setFormat(format, &error))
        return;
    NSLog("[SorvaneAUHost] Warning: could not set output format: %s", describeError(error).c_str());
}

AVAudioUnitPtr AUHostEngine::instantiateWithDescription(const AudioComponentDescription& description, uint32_t options,
                                                        NSErrorPtr* outError) {
    // Shared with the completion handler, which may still be unwinding on the
    // platform's thread when the wait below returns.
    struct Result {
        std::binary_semaphore done{0};
        AVAudioUnitPtr unit;
        NSErrorPtr error;
    };
    auto result = std::make_shared<Result>();
    AVAudioUnit::instantiateWithComponentDescription(description, options,
                                                     [result](AVAudioUnitPtr unit, NSErrorPtr error) {
                                                         result->unit = std::move(unit);
                                                         result->error = std::move(error);
                                                         result->done.release();
                                                     });
    result->done.acquire();
    if (!result->unit && outError) *outError = result->error;
    return result->unit;
}

void AUHostEngine::configureInstrument(const AVAudioUnitPtr& avUnit, const AudioComponentDescription& description) {
    if (description.componentType != kAudioUnitType_MusicDevice ||
        description.componentSubType != kAudioUnitSubType_MIDISynth)
        return;
    struct stat bankStat {};
    if (::stat(kSystemSoundBankPath, &bankStat) != 0) {
        NSLog("[SorvaneAUHost] System DLS bank not found at %s; AUMIDISynth may produce silence", kSystemSoundBankPath);
        return;
    }
    AudioUnit handle = avUnit->audioUnit();
    if (!handle) {
        NSLog("[SorvaneAUHost] AVAudioUnit returned NULL audioUnit handle; cannot configure sound bank");
        return;
    }
    OSStatus status = setUInt32Property(handle, kAUMIDISynthProperty_EnablePreload, 1);
    if (status != noErr) NSLog("[SorvaneAUHost] Could not enable AUMIDISynth preload mode: %d", static_cast<int>(status));

    const auto bankURL = NSURL::fileURLWithPath(kSystemSoundBankPath);
    CFURLRef bankRef = bankURL.get();
    status = AudioUnitSetProperty(handle, kMusicDeviceProperty_SoundBankURL, kAudioUnitScope_Global, 0, &bankRef,
                                  sizeof bankRef);
    if (status != noErr)
        NSLog("[SorvaneAUHost] Could not set SoundBankURL on AUMIDISynth: %d", static_cast<int>(status));
    else
        NSLog("[SorvaneAUHost] Loaded default DLS sound bank for AUMIDISynth");
}

void AUHostEngine::primeDefaultProgram(const AVAudioUnitPtr& avUnit, const AudioComponentDescription& description) {
    const bool platformSynth = description.componentType == kAudioUnitType_MusicDevice &&
                               description.componentManufacturer == kAudioUnitManufacturer_Apple &&
                               (description.componentSubType == kAudioUnitSubType_MIDISynth ||
                                description.componentSubType == kAudioUnitSubType_DLSSynth);
    AudioUnit handle = avUnit->audioUnit();
    if (!platformSynth || !handle) return;
    MusicDeviceMIDIEvent(handle, 0xB0, 0, 121, 0);  // bank select MSB: melodic bank
    MusicDeviceMIDIEvent(handle, 0xB0, 32, 0, 0);   // bank select LSB
    MusicDeviceMIDIEvent(handle, 0xC0, 0, 0, 0);    // program 0
    if (description.componentSubType == kAudioUnitSubType_MIDISynth)
        setUInt32Property(handle, kAUMIDISynthProperty_EnablePreload, 0);
}

// ---------------------------------------------------------------------------
// Offline rendering

namespace {

constexpr uint8_t kNoteOn = 0x90;
constexpr uint8_t kNoteOff = 0x80;
constexpr uint8_t kControlChange = 0xB0;
constexpr uint8_t kAllSoundOff = 120;

void sendImmediate(const AUScheduleMIDIEventBlock& schedule, uint8_t status, uint8_t data1, uint8_t data2) {
    const uint8_t bytes[3] = {status, data1, data2};
    schedule(AUEventSampleTimeImmediate, 0, 3, bytes);
}

// Note length in frames; saturates instead of wrapping for durations whose
// frame count (plus the tail) does not fit 64 bits.
uint64_t noteFrames(uint64_t durationMs) {
    const double frames = double(durationMs) * kHostSampleRate / 1000.0;
    constexpr double kLimit = double(std::numeric_limits<uint64_t>::max() - kReleaseTailFrames - kRenderBlockFrames);
    return frames >= kLimit ? uint64_t(kLimit) : uint64_t(frames);
}

}  // namespace

uint64_t AUHostEngine::renderNote(const std::string& pluginId, uint8_t note, uint8_t velocity, uint64_t durationMs,
                                  const std::string& outputPath, NSErrorPtr* outError) {
    LoadedPluginPtr plugin = loadedPluginForId(pluginId);
    if (!plugin) {
        setError(outError, AUHostEngineError(AUHostEngineErrorRenderPluginNotLoaded, "Plugin not loaded"));
        return 0;
    }
    const AURenderBlock renderBlock = plugin->audioUnit->renderBlock();
    const AUScheduleMIDIEventBlock schedule = plugin->audioUnit->scheduleMIDIEventBlock();
    const uint64_t startTime = plugin->streamSampleTime.load();

    if (startTime != 0 && schedule) sendImmediate(schedule, kControlChange, kAllSoundOff, 0);

    WAVWriterPtr writer = WAVWriter::initWithPath(outputPath, kHostSampleRate, kHostChannels);
    if (!writer) {
        setError(outError, AUHostEngineError(AUHostEngineErrorWAVWriterFailed, "Failed to create WAV writer"));
        return 0;
    }
    const uint64_t noteLength = noteFrames(durationMs);
    const uint64_t totalLength = noteLength + kReleaseTailFrames;

    AudioBufferList* bufferList = allocateBufferListWithChannels(kHostChannels, kRenderBlockFrames);
    writer->begin();
    if (schedule) sendImmediate(schedule, kNoteOn, note, velocity);

    uint64_t rendered = 0;
    bool noteOffSent = false;
    while (bufferList && rendered < totalLength) {
        const auto blockFrames = AUAudioFrameCount(std::min<uint64_t>(totalLength - rendered, kRenderBlockFrames));
        if (!noteOffSent && rendered >= noteLength) {
            if (schedule) sendImmediate(schedule, kNoteOff, note, 0);
            noteOffSent = true;
        }
        OSStatus status;
        {
            plugin->waitWhileUnloading();
            std::lock_guard inUse(plugin->useLock);
            status = renderBlockInto(*writer, renderBlock, bufferList, blockFrames, double(startTime + rendered));
        }
        if (status != noErr) {
            NSLog("[SorvaneAUHost] Render error: %d at frame %lu", static_cast<int>(status),
                  static_cast<unsigned long>(rendered));
            break;
        }
        rendered += blockFrames;
    }

    writer->end();
    freeBufferList(bufferList, kHostChannels);
    plugin->streamSampleTime.store(startTime + rendered);
    NSLog("[SorvaneAUHost] Rendered %lu frames to %s", static_cast<unsigned long>(rendered), outputPath.c_str());
    return rendered;
}

OSStatus AUHostEngine::renderBlockInto(AURenderSink& sink, const AURenderBlock& renderBlock,
                                       AudioBufferList* bufferList, AUAudioFrameCount frames, double sampleTime) {
    const uint32_t byteSize = frames * sizeof(float);
    for (uint32_t b = 0; b < bufferList->mNumberBuffers && b < kHostChannels; ++b) {
        AudioBuffer& buffer = bufferList->mBuffers[b];
        buffer.mDataByteSize = byteSize;
        if (buffer.mData) std::memset(buffer.mData, 0, byteSize);
    }
    AudioUnitRenderActionFlags flags = 0;
    AudioTimeStamp timeStamp{};
    timeStamp.mSampleTime = sampleTime;
    timeStamp.mFlags = kAudioTimeStampSampleTimeValid;
    if (!renderBlock) return kAudioUnitErr_Uninitialized;
    const AUAudioUnitStatus status = renderBlock(&flags, &timeStamp, frames, 0, bufferList, nullptr);
    if (status == noErr) sink.writeBlock(bufferList, frames, sampleTime);
    return status;
}

void AUHostEngine::sendMIDI(const std::string& pluginId, uint8_t status, uint8_t data1, uint8_t data2) {
    LoadedPluginPtr plugin = loadedPluginForId(pluginId);
    if (!plugin) return;
    const AUScheduleMIDIEventBlock schedule = plugin->audioUnit->scheduleMIDIEventBlock();
    if (schedule) sendImmediate(schedule, status, data1, data2);
}

AudioBufferList* AUHostEngine::allocateBufferListWithChannels(uint32_t channels, uint32_t frameCount) {
    auto* list = static_cast<AudioBufferList*>(std::calloc(1, audioBufferListSize(channels)));
    if (!list) return nullptr;
    list->mNumberBuffers = channels;
    for (uint32_t c = 0; c < channels; ++c) {
        AudioBuffer& buffer = list->mBuffers[c];
        buffer.mNumberChannels = 1;
        buffer.mDataByteSize = frameCount * sizeof(float);
        buffer.mData = std::calloc(frameCount ? frameCount : 1, sizeof(float));
        if (!buffer.mData) {
            freeBufferList(list, c);
            return nullptr;
        }
    }
    return list;
}

void AUHostEngine::freeBufferList(AudioBufferList* list, uint32_t channels) {
    if (!list) return;
    for (uint32_t c = 0; c < channels && c < list->mNumberBuffers; ++c) std::free(list->mBuffers[c].mData);
    std::free(list);
}

// ---------------------------------------------------------------------------
// Ring streaming

// The one active stream. A request keeps its own reference while it works
// with the session; `useLock` serialises everything that touches the ring,
// the sink and the buffer list, so a stop from another connection waits for
// the block in progress and never unmaps the ring under a write.
struct AUHostStreamSession {
    uint32_t channels = kHostChannels;
    std::string pluginId;
    SharedMemoryBridgePtr bridge;
    SharedRingSinkPtr sink;
    AudioBufferList* bufferList = nullptr;
    double sampleTimeOrigin = 0;
    uint64_t renderedFrames = 0;

    std::mutex useLock;
    // Set before a stop waits for useLock: a running render stops at the next block.
    std::atomic<bool> stopped{false};

    ~AUHostStreamSession() { AUHostEngine::freeBufferList(bufferList, channels); }
};

std::shared_ptr<AUHostStreamSession> AUHostEngine::activeStream() const {
    std::lock_guard guard(streamLock_);
    return stream_;
}

bool AUHostEngine::startStream(const std::string& pluginId, const std::string& ringPath, uint64_t frames,
                               NSErrorPtr* outError) {
    LoadedPluginPtr plugin = loadedPluginForId(pluginId);
    if (!plugin) {
        setError(outError, AUHostEngineError(AUHostEngineErrorStartStreamPluginNotLoaded, "Plugin not loaded"));
        return false;
    }
    if (auto current = activeStream()) stopStream(current->pluginId);

    SharedMemoryBridgePtr bridge = SharedMemoryBridge::initWithExistingPath(ringPath);
    if (!bridge) {
        // max(frames, 1) stereo frames; a frame count whose float count does
        // not fit 64 bits is handed on saturated, and sizing then refuses it.
        const uint64_t capacityFrames = std::max<uint64_t>(frames, 1);
        const uint64_t capacity = capacityFrames > std::numeric_limits<uint64_t>::max() / kHostChannels
                                      ? std::numeric_limits<uint64_t>::max()
                                      : capacityFrames * kHostChannels;
        bridge = SharedMemoryBridge::initWithPath(ringPath, capacity);
    }
    if (!bridge) {
        setError(outError, AUHostEngineError(AUHostEngineErrorRingMapFailed, "Could not map ring at " + ringPath));
        return false;
    }
    SharedRingSinkPtr sink = SharedRingSink::initWithBridge(bridge, kHostChannels);
    AudioBufferList* bufferList = sink ? allocateBufferListWithChannels(kHostChannels, kRenderBlockFrames) : nullptr;
    if (!bufferList) {
        bridge->unmap();
        setError(outError, AUHostEngineError(AUHostEngineErrorRingSinkFailed, "Could not create ring sink"));
        return false;
    }
    sink->begin();

    auto session = std::make_shared<AUHostStreamSession>();
    session->pluginId = pluginId;
    session->bridge = bridge;
    session->sink = sink;
    session->bufferList = bufferList;
    session->sampleTimeOrigin = double(plugin->streamSampleTime.load());
    session->renderedFrames = 0;

    std::shared_ptr<AUHostStreamSession> displaced;
    {
        std::lock_guard guard(streamLock_);
        displaced = std::exchange(stream_, session);
    }
    // Another connection started a stream while this one was mapping its
    // ring: there is still only one stream, the one started last.
    if (displaced) finishStream(*displaced);

    NSLog("[SorvaneAUHost] Started stream for %s into ring %s (%lu frames capacity)", pluginId.c_str(),
          ringPath.c_str(), static_cast<unsigned long>(bridge->bufferSize() / 2));
    return true;
}

int64_t AUHostEngine::renderStream(const std::string& pluginId, uint64_t frames, NSErrorPtr* outError) {
    std::shared_ptr<AUHostStreamSession> session = activeStream();
    if (!session || session->pluginId != pluginId) {
        setError(outError, AUHostEngineError(AUHostEngineErrorNoActiveStream, "No active stream for plugin"));
        return -1;
    }
    LoadedPluginPtr plugin = loadedPluginForId(pluginId);
    if (!plugin) {
        setError(outError, AUHostEngineError(AUHostEngineErrorRenderStreamPluginNotLoaded, "Plugin not loaded"));
        return -1;
    }

    std::lock_guard sessionInUse(session->useLock);
    if (session->stopped.load()) {
        setError(outError, AUHostEngineError(AUHostEngineErrorNoActiveStream, "No active stream for plugin"));
        return -1;
    }
    const AURenderBlock renderBlock = plugin->audioUnit->renderBlock();
    uint64_t done = 0;
    while (done < frames && !session->stopped.load(std::memory_order_relaxed)) {
        const auto blockFrames = AUAudioFrameCount(std::min<uint64_t>(frames - done, kRenderBlockFrames));
        const double sampleTime = session->sampleTimeOrigin + double(session->renderedFrames + done);
        OSStatus status;
        {
            plugin->waitWhileUnloading();
            std::lock_guard inUse(plugin->useLock);
            status = renderBlockInto(*session->sink, renderBlock, session->bufferList, blockFrames, sampleTime);
        }
        if (status != noErr) {
            NSLog("[SorvaneAUHost] Stream render error: %d at frame %lu", static_cast<int>(status),
                  static_cast<unsigned long>(session->renderedFrames + done));
            setError(outError,
                     AUHostEngineError(AUHostEngineErrorStreamRenderFailed, "AU render failed: " + std::to_string(status)));
            break;
        }
        done += blockFrames;
    }
    session->renderedFrames += done;
    plugin->streamSampleTime.store(uint64_t(session->sampleTimeOrigin + double(session->renderedFrames)));
    return int64_t(done);
}

void AUHostEngine::stopStream(const std::optional<std::string>& pluginId) {
    std::shared_ptr<AUHostStreamSession> session;
    {
        std::lock_guard guard(streamLock_);
        if (!stream_ || (pluginId && *pluginId != stream_->pluginId)) return;
        session = std::move(stream_);
    }
    finishStream(*session);
}

// Ends a session that has left the stream slot: waits for a render in
// progress on another connection (which stops at its next block), then
// releases the buffer list and the ring.
void AUHostEngine::finishStream(AUHostStreamSession& session) {
    session.stopped.store(true);
    std::lock_guard sessionInUse(session.useLock);
    session.sink->end();
    freeBufferList(session.bufferList, session.channels);
    session.bufferList = nullptr;
    session.bridge->unmap();
    NSLog("[SorvaneAUHost] Stopped stream for %s", session.pluginId.c_str());
}

// ---------------------------------------------------------------------------
// Scheduled MIDI

namespace {

// Low 8 bits of a JSON number read as an integer (fractions truncated).
uint8_t lowByte(const nlohmann::json& value) {
    if (value.is_number_unsigned()) return uint8_t(value.get<uint64_t>());
    if (value.is_number_integer()) return uint8_t(value.get<int64_t>());
    const double d = value.get<double>();
    if (!(d > -9.2e18 && d < 9.2e18)) return 0;
    return uint8_t(int64_t(d));
}

// trunc(origin + sampleTime) as a signed 64-bit time, saturated at the ends.
AUEventSampleTime eventTime(double origin, double sampleTime) {
    const double t = std::trunc(origin + sampleTime);
    if (!(t == t)) return 0;
    if (t <= -9.2233720368547758e18) return std::numeric_limits<AUEventSampleTime>::min();
    if (t >= 9.2233720368547758e18) return std::numeric_limits<AUEventSampleTime>::max();
    return AUEventSampleTime(t);
}

bool hasNumber(const nlohmann::json& event, const char* key) {
    auto it = event.find(key);
    return it != event.end() && it->is_number();
}

}  // namespace

bool AUHostEngine::scheduleMidi(const nlohmann::json& events, const std::string& pluginId, NSErrorPtr* outError) {
    LoadedPluginPtr plugin = loadedPluginForId(pluginId);
    if (!plugin) {
        setError(outError, AUHostEngineError(AUHostEngineErrorScheduleMidiPluginNotLoaded, "Plugin not loaded"));
        return false;
    }
    const AUScheduleMIDIEventBlock schedule = plugin->audioUnit->scheduleMIDIEventBlock();
    if (!schedule) {
        setError(outError, AUHostEngineError(AUHostEngineErrorNoMidiScheduleBlock,
                                             "Plugin does not expose a MIDI schedule block"));
        return false;
    }
    double origin = 0.0;
    if (auto stream = activeStream(); stream && stream->pluginId == pluginId) origin = stream->sampleTimeOrigin;

    for (const auto& event : events) {
        if (!event.is_object()) {
            setError(outError, AUHostEngineError(AUHostEngineErrorInvalidMidiEvent, "MIDI event must be an object"));
            return false;
        }
        if (!hasNumber(event, "sample_time") || !hasNumber(event, "status") || !hasNumber(event, "data1") ||
            !hasNumber(event, "data2")) {
            setError(outError,
                     AUHostEngineError(AUHostEngineErrorInvalidMidiEvent, "MIDI event missing required fields"));
            return false;
        }
        const uint8_t bytes[3] = {lowByte(event["status"]), lowByte(event["data1"]), lowByte(event["data2"])};
        schedule(eventTime(origin, event["sample_time"].get<double>()), 0, 3, bytes);
    }
    return true;
}
