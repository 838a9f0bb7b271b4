// Consumer of rendered blocks: offline rendering writes them to a WAV file,
// ring streaming copies them into the shared ring.
#pragma once

#include <Platform/AudioTypes.h>

#include <cstdint>
#include <memory>

class AURenderSink {
public:
    virtual ~AURenderSink() = default;

    // Once before the first block.
    virtual void begin() = 0;
    // Once per block that rendered without error. The list is only read.
    virtual void writeBlock(const AudioBufferList* bufferList, uint32_t frameCount, double sampleTime) = 0;
    // Once after the last block.
    virtual void end() = 0;
};
using AURenderSinkPtr = std::shared_ptr<AURenderSink>;
