// Extended audio files: writing sound files from client-format sample buffers.
// The file keeps its own on-disk format; samples handed in the client format are
// converted while writing (float to 16-bit integer clips at full scale).
#pragma once

#include <Platform/AVAudioUnit.h>
#include <Platform/AudioTypes.h>

#include <cstdint>

struct OpaqueExtAudioFile;
using ExtAudioFileRef = OpaqueExtAudioFile*;
using AudioFileTypeID = uint32_t;
using AudioFormatID = uint32_t;
using AudioFormatFlags = uint32_t;
using ExtAudioFilePropertyID = uint32_t;

struct AudioStreamBasicDescription {
    double mSampleRate = 0;
    AudioFormatID mFormatID = 0;
    AudioFormatFlags mFormatFlags = 0;
    uint32_t mBytesPerPacket = 0;
    uint32_t mFramesPerPacket = 0;
    uint32_t mBytesPerFrame = 0;
    uint32_t mChannelsPerFrame = 0;
    uint32_t mBitsPerChannel = 0;
    uint32_t mReserved = 0;
};

// Opaque here: no layout is written to the file.
struct AudioChannelLayout;

inline constexpr AudioFileTypeID kAudioFileWAVEType = fourCC("WAVE");
inline constexpr AudioFormatID kAudioFormatLinearPCM = fourCC("lpcm");

inline constexpr AudioFormatFlags kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr AudioFormatFlags kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr AudioFormatFlags kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr AudioFormatFlags kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr AudioFormatFlags kAudioFormatFlagIsNonInterleaved = 1u << 5;
inline constexpr AudioFormatFlags kAudioFormatFlagsNativeFloatPacked = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;

// Creation flags: without EraseFile an existing file makes creation fail.
inline constexpr uint32_t kAudioFileFlags_EraseFile = 1;

inline constexpr ExtAudioFilePropertyID kExtAudioFileProperty_FileDataFormat = fourCC("ffmt");
inline constexpr ExtAudioFilePropertyID kExtAudioFileProperty_ClientDataFormat = fourCC("cfmt");

inline constexpr OSStatus kAudioFileUnspecifiedError = static_cast<OSStatus>(fourCC("wht?"));
inline constexpr OSStatus kAudioFileUnsupportedFileTypeError = static_cast<OSStatus>(fourCC("typ?"));
inline constexpr OSStatus kAudioFileUnsupportedDataFormatError = static_cast<OSStatus>(fourCC("fmt?"));
inline constexpr OSStatus kAudioFilePermissionsError = static_cast<OSStatus>(fourCC("prm?"));
inline constexpr OSStatus kAudioFileNotOptimizedError = static_cast<OSStatus>(fourCC("optm"));
inline constexpr OSStatus kExtAudioFileError_InvalidProperty = -66561;
inline constexpr OSStatus kExtAudioFileError_InvalidPropertySize = -66562;
inline constexpr OSStatus kExtAudioFileError_InvalidDataFormat = -66563;
inline constexpr OSStatus kExtAudioFileError_NonPCMClientFormat = -66565;

// Creates a file at the URL's path. Supported: WAVE files of packed signed
// 16-bit little-endian linear PCM. The client format starts out equal to the
// file format (which takes no float input); set it before writing.
OSStatus ExtAudioFileCreateWithURL(CFURLRef inURL, AudioFileTypeID inFileType,
                                   const AudioStreamBasicDescription* inStreamDesc,
                                   const AudioChannelLayout* inChannelLayout, uint32_t inFlags,
                                   ExtAudioFileRef* outExtAudioFile);

// kExtAudioFileProperty_ClientDataFormat takes an AudioStreamBasicDescription:
// linear PCM 32-bit float, interleaved or not, at the file's rate and channel
// count.
OSStatus ExtAudioFileSetProperty(ExtAudioFileRef inExtAudioFile, ExtAudioFilePropertyID inPropertyID,
                                 uint32_t inPropertyDataSize, const void* inPropertyData);
OSStatus ExtAudioFileGetProperty(ExtAudioFileRef inExtAudioFile, ExtAudioFilePropertyID inPropertyID,
                                 uint32_t* ioPropertyDataSize, void* outPropertyData);

// Appends frames in the client format. Allocates nothing.
OSStatus ExtAudioFileWrite(ExtAudioFileRef inExtAudioFile, uint32_t inNumberFrames, const AudioBufferList* ioData);

// Completes the file (header sizes) and releases the handle, which is invalid
// afterwards whatever the status.
OSStatus ExtAudioFileDispose(ExtAudioFileRef inExtAudioFile);
