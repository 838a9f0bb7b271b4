// Core audio value types shared by hosts and units.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

using OSStatus = int32_t;
using AUAudioUnitStatus = OSStatus;
using AUAudioFrameCount = uint32_t;
using AUEventSampleTime = int64_t;
using AVAudioChannelCount = uint32_t;
using AudioUnitRenderActionFlags = uint32_t;
using NSInteger = long;
using NSUInteger = unsigned long;

// Events with this time act at the start of the next render call; this time
// plus n (0 <= n < 2^31) acts n frames after that start.
inline constexpr AUEventSampleTime AUEventSampleTimeImmediate = -4294967296LL; // 0xFFFFFFFF00000000

// Status codes of units and of the component system.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudio_UnimplementedError = -4;
inline constexpr OSStatus kAudio_FileNotFoundError = -43;
inline constexpr OSStatus kAudio_ParamError = -50;
// No installed component matches a description.
inline constexpr OSStatus kAudioComponentErr_ComponentNotFound = -3000;
inline constexpr OSStatus kAudioUnitErr_InvalidProperty = -10879;
inline constexpr OSStatus kAudioUnitErr_InvalidParameter = -10878;
inline constexpr OSStatus kAudioUnitErr_InvalidElement = -10877;
inline constexpr OSStatus kAudioUnitErr_NoConnection = -10876;
inline constexpr OSStatus kAudioUnitErr_FailedInitialization = -10875;
inline constexpr OSStatus kAudioUnitErr_TooManyFramesToProcess = -10874;
inline constexpr OSStatus kAudioUnitErr_InvalidScope = -10866;
inline constexpr OSStatus kAudioUnitErr_FormatNotSupported = -10868;
inline constexpr OSStatus kAudioUnitErr_Uninitialized = -10867;
inline constexpr OSStatus kAudioUnitErr_CannotDoInCurrentContext = -10863;
inline constexpr OSStatus kAudioUnitErr_Initialized = -10849;
inline constexpr OSStatus kAudioComponentErr_InstanceInvalidated = -66749;
inline constexpr OSStatus kAudioComponentErr_NotPermitted = -66748;

struct AudioComponentDescription {
    uint32_t componentType = 0;
    uint32_t componentSubType = 0;
    uint32_t componentManufacturer = 0;
    uint32_t componentFlags = 0;
    uint32_t componentFlagsMask = 0;
};

// Instantiation options.
inline constexpr uint32_t kAudioComponentInstantiation_LoadOutOfProcess = 1;
inline constexpr uint32_t kAudioComponentInstantiation_LoadInProcess = 2;

// Four-character codes.
constexpr uint32_t fourCC(const char (&s)[5]) {
    return (uint32_t(uint8_t(s[0])) << 24) | (uint32_t(uint8_t(s[1])) << 16) |
           (uint32_t(uint8_t(s[2])) << 8) | uint32_t(uint8_t(s[3]));
}
inline constexpr uint32_t kAudioUnitType_MusicDevice = fourCC("aumu");
inline constexpr uint32_t kAudioUnitType_Effect = fourCC("aufx");
inline constexpr uint32_t kAudioUnitManufacturer_Apple = fourCC("appl");
inline constexpr uint32_t kAudioUnitSubType_MIDISynth = fourCC("msyn");
inline constexpr uint32_t kAudioUnitSubType_DLSSynth = fourCC("dls ");

// Buffer lists: a count followed by that many buffers. Lists are allocated with
// room for mNumberBuffers records (the declared array holds one).
struct AudioBuffer {
    uint32_t mNumberChannels;
    uint32_t mDataByteSize;
    void* mData;
};
struct AudioBufferList {
    uint32_t mNumberBuffers;
    AudioBuffer mBuffers[1];
};
// Bytes needed for a list of n buffers.
constexpr size_t audioBufferListSize(uint32_t n) {
    return offsetof(AudioBufferList, mBuffers) + sizeof(AudioBuffer) * (n ? n : 1);
}

struct SMPTETime {
    int16_t mSubframes, mSubframeDivisor;
    uint32_t mCounter, mType, mFlags;
    int16_t mHours, mMinutes, mSeconds, mFrames;
};
inline constexpr uint32_t kAudioTimeStampSampleTimeValid = 1u << 0;
inline constexpr uint32_t kAudioTimeStampHostTimeValid = 1u << 1;
struct AudioTimeStamp {
    double mSampleTime = 0;
    uint64_t mHostTime = 0;
    double mRateScalar = 0;
    uint64_t mWordClockTime = 0;
    SMPTETime mSMPTETime{};
    uint32_t mFlags = 0;
    uint32_t mReserved = 0;
};

// Audio formats: linear PCM 32-bit float ("standard" = deinterleaved) or other
// common formats. Shared, immutable.
enum AVAudioCommonFormat : unsigned long {
    AVAudioOtherFormat = 0,
    AVAudioPCMFormatFloat32 = 1,
    AVAudioPCMFormatFloat64 = 2,
    AVAudioPCMFormatInt16 = 3,
    AVAudioPCMFormatInt32 = 4,
};
class AVAudioFormat {
public:
    static std::shared_ptr<AVAudioFormat> initStandardFormatWithSampleRate(double sampleRate, AVAudioChannelCount channels) {
        return std::make_shared<AVAudioFormat>(AVAudioPCMFormatFloat32, sampleRate, channels, false);
    }
    static std::shared_ptr<AVAudioFormat> initWithCommonFormat(AVAudioCommonFormat format, double sampleRate,
                                                               AVAudioChannelCount channels, bool interleaved) {
        return std::make_shared<AVAudioFormat>(format, sampleRate, channels, interleaved);
    }
    AVAudioFormat(AVAudioCommonFormat format, double sampleRate, AVAudioChannelCount channels, bool interleaved)
        : commonFormat_(format), sampleRate_(sampleRate), channelCount_(channels), interleaved_(interleaved) {}

    AVAudioCommonFormat commonFormat() const { return commonFormat_; }
    double sampleRate() const { return sampleRate_; }
    AVAudioChannelCount channelCount() const { return channelCount_; }
    bool isInterleaved() const { return interleaved_; }
    bool isStandard() const { return commonFormat_ == AVAudioPCMFormatFloat32 && !interleaved_; }

private:
    AVAudioCommonFormat commonFormat_;
    double sampleRate_;
    AVAudioChannelCount channelCount_;
    bool interleaved_;
};
using AVAudioFormatPtr = std::shared_ptr<AVAudioFormat>;
