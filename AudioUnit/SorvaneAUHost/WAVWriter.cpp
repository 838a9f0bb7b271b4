#include "WAVWriter.h"

#include <Platform/Foundation.h>

namespace {

AudioStreamBasicDescription fileFormat(double sampleRate, uint32_t channels) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = sampleRate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    f.mBitsPerChannel = 16;
    f.mChannelsPerFrame = channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 2 * channels;
    f.mBytesPerPacket = f.mBytesPerFrame;
    return f;
}

AudioStreamBasicDescription clientFormat(double sampleRate, uint32_t channels) {
    AudioStreamBasicDescription f{};
    f.mSampleRate = sampleRate;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
    f.mBitsPerChannel = 32;
    f.mChannelsPerFrame = channels;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = 4;
    f.mBytesPerPacket = 4;
    return f;
}

}  // namespace

std::shared_ptr<WAVWriter> WAVWriter::initWithPath(const std::string& path, double sampleRate, uint32_t channels) {
    const auto url = NSURL::fileURLWithPath(path);
    const AudioStreamBasicDescription onDisk = fileFormat(sampleRate, channels);
    ExtAudioFileRef file = nullptr;
    OSStatus status =
        ExtAudioFileCreateWithURL(url.get(), kAudioFileWAVEType, &onDisk, nullptr, kAudioFileFlags_EraseFile, &file);
    if (status != noErr || !file) {
        NSLog("[WAVWriter] Failed to create file at %s: %d", path.c_str(), static_cast<int>(status));
        return nullptr;
    }
    const AudioStreamBasicDescription client = clientFormat(sampleRate, channels);
    status = ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client);
    if (status != noErr) {
        NSLog("[WAVWriter] Failed to set client format: %d", static_cast<int>(status));
        ExtAudioFileDispose(file);
        return nullptr;
    }
    return std::make_shared<WAVWriter>(file, sampleRate, channels);
}

WAVWriter::~WAVWriter() { finalize(); }

void WAVWriter::writeBufferList(const AudioBufferList* bufferList, uint32_t frameCount) {
    if (!audioFile_) return;
    const OSStatus status = ExtAudioFileWrite(audioFile_, frameCount, bufferList);
    if (status != noErr) NSLog("[WAVWriter] Write error: %d", static_cast<int>(status));
}

void WAVWriter::finalize() {
    if (!audioFile_) return;
    const OSStatus status = ExtAudioFileDispose(audioFile_);
    audioFile_ = nullptr;
    // A file whose header could not be completed would otherwise go unnoticed.
    if (status != noErr) NSLog("[WAVWriter] Failed to complete file: %d", static_cast<int>(status));
}

void WAVWriter::begin() {}

void WAVWriter::writeBlock(const AudioBufferList* bufferList, uint32_t frameCount, double) {
    writeBufferList(bufferList, frameCount);
}

void WAVWriter::end() { finalize(); }
