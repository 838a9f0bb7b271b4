// Writes rendered blocks into the shared ring as interleaved float frames,
// wrapping per sample at the end of the ring.
#pragma once

#include "AURenderSink.h"
#include "SharedMemoryBridge.h"

#include <cstdint>
#include <memory>

class SharedRingSink : public AURenderSink {
public:
    // Nothing when the bridge is absent or channels is 0.
    static std::shared_ptr<SharedRingSink> initWithBridge(SharedMemoryBridgePtr bridge, uint32_t channels);

    // Cursor and frame count back to 0: the next sample goes to index 0.
    void begin() override;
    // Copies the frames sample by sample; the sample time is not used.
    void writeBlock(const AudioBufferList* bufferList, uint32_t frameCount, double sampleTime) override;
    void end() override;

    uint32_t channels() const { return channels_; }
    // Ring index, in samples, of the next sample.
    uint64_t writeCursor() const { return writeCursor_; }
    uint64_t framesWritten() const { return framesWritten_; }
    const SharedMemoryBridgePtr& bridge() const { return bridge_; }

    SharedRingSink(SharedMemoryBridgePtr bridge, uint32_t channels) : channels_(channels), bridge_(std::move(bridge)) {}

private:
    uint32_t channels_;
    uint64_t writeCursor_ = 0;
    uint64_t framesWritten_ = 0;
    SharedMemoryBridgePtr bridge_;
};
using SharedRingSinkPtr = std::shared_ptr<SharedRingSink>;
