// Writes rendered blocks into a 16-bit stereo WAV file through the platform's
// extended audio file writer.
#pragma once

#include "AURenderSink.h"

#include <Platform/ExtAudioFile.h>

#include <cstdint>
#include <memory>
#include <string>

class WAVWriter : public AURenderSink {
public:
    // Creates the file (replacing an existing one) as 16-bit signed packed
    // linear PCM and sets the client format to non-interleaved float.
    // Returns nothing when either step fails; the failure is logged.
    static std::shared_ptr<WAVWriter> initWithPath(const std::string& path, double sampleRate, uint32_t channels);

    ~WAVWriter() override;
    WAVWriter(const WAVWriter&) = delete;
    WAVWriter& operator=(const WAVWriter&) = delete;

    // Appends frames from a non-interleaved float list; nothing once finished.
    void writeBufferList(const AudioBufferList* bufferList, uint32_t frameCount);
    // Closes the file, completing its header; later calls do nothing.
    void finalize();

    void begin() override;
    void writeBlock(const AudioBufferList* bufferList, uint32_t frameCount, double sampleTime) override;
    void end() override;

    uint32_t channels() const { return channels_; }
    ExtAudioFileRef audioFile() const { return audioFile_; }
    double sampleRate() const { return sampleRate_; }

    WAVWriter(ExtAudioFileRef file, double sampleRate, uint32_t channels)
        : channels_(channels), audioFile_(file), sampleRate_(sampleRate) {}

private:
    uint32_t channels_;
    ExtAudioFileRef audioFile_;
    double sampleRate_;
};
using WAVWriterPtr = std::shared_ptr<WAVWriter>;
