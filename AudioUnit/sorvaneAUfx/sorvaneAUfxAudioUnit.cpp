#include "sorvaneAUfxAudioUnit.h"

#include <Platform/AppGroupContainer.h>

#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <system_error>

NSURLSessionPtr _session;
std::optional<std::string> _applicationLocation;

namespace {

constexpr const char* kApplicationGroupIdentifier = "Q8ZN3VXR7L.com.quenmoor.Sorvane";
constexpr const char* kRegistrationURL = "http://127.0.0.1:7799/live";
constexpr size_t kControlBytes = sorvaneAUfxAudioUnit::kControlWordCount * sizeof(float);

// Units may be created on several threads at once; the process-wide
// registration state is only touched under this lock (never on the render path).
std::mutex& registrationStateMutex() {
    static std::mutex mutex;
    return mutex;
}

// Joins one more component to a path, as the platform's path APIs do: the
// component never replaces the directory, even when it starts with "/".
std::string appendingPathComponent(const std::string& directory, const std::string& component) {
    if (directory.empty()) return component;
    if (directory.back() == '/') return directory + component;
    return directory + "/" + component;
}

// Compact JSON with every "/" written as "\/". Outside strings compact JSON
// has no "/", so escaping the whole text only touches string contents.
std::string serializedJSON(const nlohmann::json& value) {
    std::string compact = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::strict);
    std::string escaped;
    escaped.reserve(compact.size() + 16);
    for (char c : compact) {
        if (c == '/') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

bool isValidUTF8(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    while (i < n) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t extra;
        uint32_t codePoint;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1, codePoint = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2, codePoint = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3, codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + extra >= n) return false;
        for (size_t k = 1; k <= extra; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[extra] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += extra + 1;
    }
    return true;
}

// The reply must be a JSON object or array as a whole, in valid UTF-8, with
// nothing after it.
std::optional<nlohmann::json> parseReply(const std::string& data, std::string* errorDescription) {
    try {
        nlohmann::json value = nlohmann::json::parse(data);
        if (!value.is_object() && !value.is_array()) {
            *errorDescription = "JSON text did not start with array or object";
            return std::nullopt;
        }
        return value;
    } catch (const nlohmann::json::exception& error) {
        *errorDescription = error.what();
        return std::nullopt;
    }
}

std::optional<std::string> stringMember(const nlohmann::json& reply, const char* key) {
    if (!reply.is_object()) return std::nullopt;
    auto member = reply.find(key);
    if (member == reply.end() || !member->is_string()) return std::nullopt;
    return member->get<std::string>();
}

// The cycle's work over one contiguous stretch of the rings, in three
// variants by how the host's output buffers lie against the input buffers.
// The two common ones are vectorised and built once more for processors with
// fused multiply-add instructions (chosen when the module loads); a single
// rounding per output sample is kept in every variant.

// Output buffers of their own.
__attribute__((target_clones("fma", "default"))) void
exchangeSeparate(const float* __restrict inL, const float* __restrict inR, float* __restrict outL,
                 float* __restrict outR, const float* __restrict fromApplication, float* __restrict toApplication,
                 float gain, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        toApplication[i] = inL[i] + inR[i];
        outL[i] = std::fma(gain, inL[i], fromApplication[i]);
        outR[i] = std::fma(gain, inR[i], fromApplication[i]);
    }
}

// The input buffers are the output buffers.
__attribute__((target_clones("fma", "default"))) void
exchangeInPlace(float* __restrict left, float* __restrict right, const float* __restrict fromApplication,
                float* __restrict toApplication, float gain, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const float l = left[i], r = right[i], application = fromApplication[i];
        toApplication[i] = l + r;
        left[i] = std::fma(gain, l, application);
        right[i] = std::fma(gain, r, application);
    }
}

// Any other overlap: each frame is read whole before it is written.
void exchangeAnyLayout(const float* inL, const float* inR, float* outL, float* outR, const float* fromApplication,
                       float* toApplication, float gain, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        const float l = inL[i], r = inR[i], application = fromApplication[i];
        toApplication[i] = l + r;
        outL[i] = std::fma(gain, l, application);
        outR[i] = std::fma(gain, r, application);
    }
}

bool overlap(const float* a, const float* b, size_t count) {
    const auto x = reinterpret_cast<uintptr_t>(a), y = reinterpret_cast<uintptr_t>(b);
    const uintptr_t bytes = count * sizeof(float);
    return x < y + bytes && y < x + bytes;
}

enum class BufferLayout { separate, inPlace, other };

BufferLayout layoutOf(const float* inL, const float* inR, const float* outL, const float* outR, size_t count) {
    if (outL == inL && outR == inR && !overlap(inL, inR, count)) return BufferLayout::inPlace;
    const bool apart = !overlap(outL, outR, count) && !overlap(outL, inL, count) && !overlap(outL, inR, count) &&
                       !overlap(outR, inL, count) && !overlap(outR, inR, count);
    return apart ? BufferLayout::separate : BufferLayout::other;
}

} // namespace

sorvaneAUfxAudioUnit::sorvaneAUfxAudioUnit() = default;

sorvaneAUfxAudioUnit::~sorvaneAUfxAudioUnit() {
    freeInputBuffers();
    deinitalizeSharedMemory();
}

bool sorvaneAUfxAudioUnit::initWithComponentDescription(const AudioComponentDescription& description,
                                                        uint32_t options, NSErrorPtr* outError) {
    if (!AUAudioUnit::initWithComponentDescription(description, options, outError)) return false;

    format_ = AVAudioFormat::initStandardFormatWithSampleRate(kSampleRate, kChannelCount);

    initializeHttpSession();
    registerStream();

    allocateInputBuffersWithChannelCount(kChannelCount, kInputBufferFrames);

    inputBus_ = AUAudioUnitBus::initWithFormat(format_, outError);
    outputBus_ = AUAudioUnitBus::initWithFormat(format_, outError);
    if (!inputBus_ || !outputBus_) return false;
    inputBusArray_ = std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusTypeInput,
                                                           std::vector<AUAudioUnitBusPtr>{inputBus_});
    outputBusArray_ = std::make_shared<AUAudioUnitBusArray>(this, AUAudioUnitBusTypeOutput,
                                                            std::vector<AUAudioUnitBusPtr>{outputBus_});

    setMaximumFramesToRender(kMaximumFramesToRender);
    return true;
}

bool sorvaneAUfxAudioUnit::shouldChangeToFormat(const AVAudioFormatPtr& format, AUAudioUnitBus*) {
    if (!format) return false;
    NSLog("[SORVANE] Format change: channel count = %i", int(format->channelCount()));
    NSLog("[SORVANE] Format change: sample rate = %f", format->sampleRate());
    // The flag is logged as a binary digit, 0 or 1.
    NSLog("[SORVANE] Format change: interleaved = %u", unsigned(format->isInterleaved()));
    // The render path reads and writes 32-bit floats: a bus of any other
    // sample type would have its buffers overrun.
    return format->channelCount() == kChannelCount && format->sampleRate() == kSampleRate &&
           !format->isInterleaved() && format->commonFormat() == AVAudioPCMFormatFloat32;
}

bool sorvaneAUfxAudioUnit::allocateRenderResourcesAndReturnError(NSErrorPtr* outError) {
    if (!AUAudioUnit::allocateRenderResourcesAndReturnError(outError)) return false;

    const auto outputFormat = outputBus_->format();
    const auto inputFormat = inputBus_->format();
    if (outputFormat && inputFormat && outputFormat->channelCount() == kChannelCount &&
        inputFormat->channelCount() == kChannelCount) {
        readPosition_.store(0, std::memory_order_relaxed);
        return true;
    }
    if (outError)
        *outError = makeError(NSOSStatusErrorDomain, kAudioUnitErr_FailedInitialization,
                              "The operation couldn\u2019t be completed. (OSStatus error -10875.)");
    setRenderResourcesAllocated(false);
    return false;
}

void sorvaneAUfxAudioUnit::deallocateRenderResources() {
    AUAudioUnit::deallocateRenderResources();
}

AUInternalRenderBlock sorvaneAUfxAudioUnit::internalRenderBlock() {
    // A host may keep the block after letting go of the unit: the block keeps
    // the unit, and with it the input buffers, alive. The unit never stores
    // its own block, so this makes no cycle.
    return [unit = this, keepAlive = weak_from_this().lock()](
               AudioUnitRenderActionFlags* actionFlags, const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
               NSInteger, AudioBufferList* outputData, const AURenderEvent*,
               const AURenderPullInputBlock* pullInputBlock) {
        return unit->render(actionFlags, timestamp, frameCount, outputData, pullInputBlock);
    };
}

AUAudioUnitStatus sorvaneAUfxAudioUnit::render(AudioUnitRenderActionFlags* actionFlags,
                                               const AudioTimeStamp* timestamp, AUAudioFrameCount frameCount,
                                               AudioBufferList* outputData,
                                               const AURenderPullInputBlock* pullInputBlock) {
    if (!pullInputBlock || !*pullInputBlock) return kAudioUnitErr_NoConnection;
    if (frameCount > inputBufferSize_) {
        NSLog("[SORVANE] Frame count exceeds pre-allocated buffer size! (%i > %i)", int(frameCount),
              int(inputBufferSize_));
        return kAudioUnitErr_TooManyFramesToProcess;
    }
    prepareInputBuffers(frameCount);
    const AUAudioUnitStatus pulled = (*pullInputBlock)(actionFlags, timestamp, frameCount, 0, inputBufferList_);
    if (pulled != noErr) return pulled;

    supplyMissingOutputBuffers(outputData, frameCount);
    processAudioWithBuffer(outputData, frameCount);
    return noErr;
}

// Every pull starts from our own arrays: a previous pull may have pointed the
// list at the host's buffers.
void sorvaneAUfxAudioUnit::prepareInputBuffers(AUAudioFrameCount frameCount) {
    for (uint32_t b = 0; b < inputBufferList_->mNumberBuffers; ++b) {
        inputBufferList_->mBuffers[b].mData = inputArrays_[b];
        inputBufferList_->mBuffers[b].mDataByteSize = frameCount * uint32_t(sizeof(float));
    }
}

// A host may hand over an output list without data pointers and expect the
// unit to supply the buffers: it gets the input buffers, processed in place.
void sorvaneAUfxAudioUnit::supplyMissingOutputBuffers(AudioBufferList* outputData, AUAudioFrameCount frameCount) {
    const uint32_t count = std::min(outputData->mNumberBuffers, inputBufferList_->mNumberBuffers);
    for (uint32_t b = 0; b < count; ++b) {
        if (outputData->mBuffers[b].mData) continue;
        outputData->mBuffers[b].mData = inputBufferList_->mBuffers[b].mData;
        outputData->mBuffers[b].mDataByteSize = frameCount * uint32_t(sizeof(float));
    }
}

void sorvaneAUfxAudioUnit::processAudioWithBuffer(AudioBufferList* outputData, AUAudioFrameCount frameCount) {
    // The output ring ("_in") is published last, so once it is visible the
    // other two mappings and the ring length are too.
    float* const toApplication = sharedMemoryOut_.load(std::memory_order_acquire);
    float* const fromApplication = sharedMemoryIn_.load(std::memory_order_acquire);
    const uint64_t ringLength = bufferSize_.load(std::memory_order_relaxed);
    if (!fromApplication || !toApplication || ringLength == 0) {
        NSLog("[SORVANE] Shared memory not initialized or empty");
        return;
    }
    float* const control = controlMemory_.load(std::memory_order_acquire);

    const AudioBufferList* input = inputBufferList_;
    const auto* inL = static_cast<const float*>(input->mBuffers[0].mData);
    const auto* inR = static_cast<const float*>(input->mBuffers[1].mData);
    auto* outL = static_cast<float*>(outputData->mBuffers[0].mData);
    auto* outR = static_cast<float*>(outputData->mBuffers[1].mData);
    const float gain = std::atomic_ref<float>(control[2]).load(std::memory_order_relaxed);

    const BufferLayout layout = layoutOf(inL, inR, outL, outR, frameCount);
    uint64_t position = readPosition_.load(std::memory_order_relaxed) % ringLength;
    size_t done = 0;
    while (done < frameCount) {
        const size_t stretch = std::min<uint64_t>(frameCount - done, ringLength - position);
        const float* from = fromApplication + position;
        float* to = toApplication + position;
        switch (layout) {
        case BufferLayout::separate:
            exchangeSeparate(inL + done, inR + done, outL + done, outR + done, from, to, gain, stretch);
            break;
        case BufferLayout::inPlace:
            exchangeInPlace(outL + done, outR + done, from, to, gain, stretch);
            break;
        case BufferLayout::other:
            exchangeAnyLayout(inL + done, inR + done, outL + done, outR + done, from, to, gain, stretch);
            break;
        }
        done += stretch;
        position += stretch;
        if (position == ringLength) position = 0;
    }
    readPosition_.store(position, std::memory_order_relaxed);
    // The application follows word 0: the ring writes above must be visible
    // before the new position is.
    std::atomic_ref<float>(control[0]).store(static_cast<float>(position), std::memory_order_release);
}

void sorvaneAUfxAudioUnit::allocateInputBuffersWithChannelCount(uint32_t channels, uint32_t frames) {
    freeInputBuffers();
    auto* list = static_cast<AudioBufferList*>(std::calloc(1, audioBufferListSize(channels)));
    list->mNumberBuffers = channels;
    inputArrays_.assign(channels, nullptr);
    for (uint32_t b = 0; b < channels; ++b) {
        inputArrays_[b] = static_cast<float*>(std::malloc(size_t(frames) * sizeof(float)));
        list->mBuffers[b].mNumberChannels = 1;
        list->mBuffers[b].mDataByteSize = frames * uint32_t(sizeof(float));
        list->mBuffers[b].mData = inputArrays_[b];
    }
    inputBufferList_ = list;
    inputBufferSize_ = frames;
}

void sorvaneAUfxAudioUnit::freeInputBuffers() {
    if (!inputBufferList_) return;
    for (float* array : inputArrays_) std::free(array);
    inputArrays_.clear();
    std::free(inputBufferList_);
    inputBufferList_ = nullptr;
}

float* sorvaneAUfxAudioUnit::mapSharedMemoryAtPath(const std::string& path, size_t* outMappedBytes) {
    NSLog("[SORVANE] Opening %s", path.c_str());
    const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        NSLog("[SORVANE] Failed to open shared memory file: %s", std::strerror(errno));
        return nullptr;
    }
    struct stat status {};
    if (::fstat(fd, &status) != 0) {
        NSLog("[SORVANE] Failed to get size of shared memory file: %s", std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    const size_t bytes = size_t(status.st_size);
    void* mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        NSLog("[SORVANE] Failed to mmap shared memory: %s", std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    ::close(fd);
    if (reinterpret_cast<uintptr_t>(mapping) % 4 != 0) NSLog("[SORVANE] Shared memory pointer is not aligned to 4 bytes!");

    const uint64_t floats = bytes / sizeof(float);
    bufferSize_.store(floats, std::memory_order_relaxed);
    NSLog("[SORVANE] bufferSize = %lu", static_cast<unsigned long>(floats));
    if (outMappedBytes) *outMappedBytes = bytes;
    return static_cast<float*>(mapping);
}

void sorvaneAUfxAudioUnit::initializeSharedMemory(const std::string& location, const std::string& stream) {
    size_t controlBytes = 0;
    float* control = mapSharedMemoryAtPath(appendingPathComponent(location, stream + "_ctl"), &controlBytes);
    if (!control) return;
    // Word 2 is read and word 0 written every cycle: a shorter file cannot be used.
    if (controlBytes < kControlBytes) {
        NSLog("[SORVANE] Control memory too short: %lu bytes, %lu needed", static_cast<unsigned long>(controlBytes),
              static_cast<unsigned long>(kControlBytes));
        ::munmap(control, controlBytes);
        return;
    }
    controlMemoryBytes_ = controlBytes;
    controlMemory_.store(control, std::memory_order_release);
    NSLog("[SORVANE] Mapped control memory buffer");

    size_t fromApplicationBytes = 0;
    float* fromApplication = mapSharedMemoryAtPath(appendingPathComponent(location, stream + "_out"),
                                                   &fromApplicationBytes);
    if (!fromApplication) return;
    sharedMemoryInBytes_ = fromApplicationBytes;
    sharedMemoryIn_.store(fromApplication, std::memory_order_release);
    NSLog("[SORVANE] Mapped shared memory buffer for input");

    size_t toApplicationBytes = 0;
    float* toApplication = mapSharedMemoryAtPath(appendingPathComponent(location, stream + "_in"),
                                                 &toApplicationBytes);
    if (!toApplication) return;
    // Both rings are indexed alike: only a length that both files hold keeps
    // every index inside both mappings.
    const uint64_t fromLength = fromApplicationBytes / sizeof(float);
    const uint64_t toLength = toApplicationBytes / sizeof(float);
    if (fromLength != toLength) {
        const uint64_t common = std::min(fromLength, toLength);
        bufferSize_.store(common, std::memory_order_relaxed);
        NSLog("[SORVANE] Ring files differ in length (_out %lu, _in %lu samples); using %lu",
              static_cast<unsigned long>(fromLength), static_cast<unsigned long>(toLength),
              static_cast<unsigned long>(common));
    }
    sharedMemoryOutBytes_ = toApplicationBytes;
    sharedMemoryOut_.store(toApplication, std::memory_order_release);
    NSLog("[SORVANE] Mapped shared memory buffer for output");
}

void sorvaneAUfxAudioUnit::unmap(std::atomic<float*>& mapping, size_t bytes) {
    float* address = mapping.exchange(nullptr, std::memory_order_acq_rel);
    ::munmap(address, bytes);
}

void sorvaneAUfxAudioUnit::deinitalizeSharedMemory() {
    if (sharedMemoryIn_.load(std::memory_order_acquire)) {
        unmap(sharedMemoryIn_, sharedMemoryInBytes_);
        NSLog("[SORVANE] Unmapped shared memory in");
    }
    if (sharedMemoryOut_.load(std::memory_order_acquire)) {
        unmap(sharedMemoryOut_, sharedMemoryOutBytes_);
        NSLog("[SORVANE] Unmapped shared memory out");
    }
    if (controlMemory_.load(std::memory_order_acquire)) {
        unmap(controlMemory_, controlMemoryBytes_);
        NSLog("[SORVANE] Unmapped control memory");
    }
}

void sorvaneAUfxAudioUnit::initializeHttpSession() {
    std::lock_guard lock(registrationStateMutex());
    _session = NSURLSession::sharedSession();
    NSLog("[SORVANE] The application is running from the directory: %s", mainBundlePath().c_str());
    const auto library = userLibraryDirectoryPath();
    NSLog("[SORVANE] Application library location: %s", library ? library->c_str() : "(null)");

    const auto container = containerPathForSecurityApplicationGroupIdentifier(kApplicationGroupIdentifier);
    if (!container) {
        NSLog("[SORVANE] Failed to access the shared container");
        return;
    }
    const std::string caches = appendingPathComponent(*container, "Library/Caches");
    NSLog("[SORVANE] Shared container Library/Caches URL: %s", caches.c_str());

    std::error_code error;
    if (std::filesystem::exists(caches, error)) {
        _applicationLocation = caches;
        return;
    }
    std::filesystem::create_directories(caches, error);
    if (error) {
        NSLog("[SORVANE] Failed to create directory: %s", error.message().c_str());
        return;
    }
    _applicationLocation = caches;
}

void sorvaneAUfxAudioUnit::registerStream() {
    NSURLSessionPtr session;
    std::optional<std::string> location;
    {
        std::lock_guard lock(registrationStateMutex());
        session = _session;
        location = _applicationLocation;
    }
    // Without a shared cache directory there is no location to offer.
    if (!location) {
        NSLog("[SORVANE] Failed to create JSON payload: %s", "no shared cache directory for \"location\"");
        return;
    }
    std::string body;
    try {
        body = serializedJSON(nlohmann::json{{"location", *location}});
    } catch (const nlohmann::json::exception& error) {
        NSLog("[SORVANE] Failed to create JSON payload: %s", error.what());
        return;
    }

    auto request = NSMutableURLRequest::requestWithURL(kRegistrationURL);
    request.HTTPMethod = "POST";
    request.setValue("application/json", "Content-Type");
    request.HTTPBody = std::move(body);

    // The completion keeps the unit alive until the reply has been handled.
    auto self = std::static_pointer_cast<sorvaneAUfxAudioUnit>(weak_from_this().lock());
    if (!self) {
        NSLog("[SORVANE] HTTP request failed: %s", "the unit is not held by a shared reference");
        return;
    }
    auto task = session->dataTaskWithRequest(
        request, [self](std::optional<std::string> data, NSHTTPURLResponsePtr response, NSErrorPtr error) {
            self->handleRegistrationReply(data, response, error);
        });
    task->resume();
}

void sorvaneAUfxAudioUnit::handleRegistrationReply(const std::optional<std::string>& data,
                                                   const NSHTTPURLResponsePtr& response, const NSErrorPtr& error) {
    if (error) {
        NSLog("[SORVANE] HTTP request failed: %s", error->localizedDescription.c_str());
        return;
    }
    NSLog("[SORVANE] HTTP Response status code: %ld", response ? response->statusCode : 0L);
    // An empty body is still data: it is logged and fails to decode.
    if (!data) return;
    NSLog("[SORVANE] HTTP Response body: %s", isValidUTF8(*data) ? data->c_str() : "(null)");

    std::string parseError;
    const auto reply = parseReply(*data, &parseError);
    if (!reply) {
        NSLog("[SORVANE] Failed to decode JSON response: %s", parseError.c_str());
        return;
    }
    const auto location = stringMember(*reply, "location");
    const auto stream = stringMember(*reply, "stream");
    if (!location || !stream) {
        NSLog("[SORVANE] 'location' or 'stream' property not found in JSON response.");
        return;
    }
    NSLog("[SORVANE] Location from response: %s", location->c_str());
    NSLog("[SORVANE] Stream from response: %s", stream->c_str());
    initializeSharedMemory(*location, *stream);
}
