#include "SharedRingSink.h"

std::shared_ptr<SharedRingSink> SharedRingSink::initWithBridge(SharedMemoryBridgePtr bridge, uint32_t channels) {
    if (!bridge || channels == 0) return nullptr;
    return std::make_shared<SharedRingSink>(std::move(bridge), channels);
}

void SharedRingSink::begin() {
    writeCursor_ = 0;
    framesWritten_ = 0;
}

void SharedRingSink::writeBlock(const AudioBufferList* bufferList, uint32_t frameCount, double) {
    float* ring = bridge_->buffer();
    const uint64_t ringLength = bridge_->bufferSize();
    if (frameCount == 0 || !ring || ringLength == 0) return;

    // A missing buffer, a buffer without data and samples beyond a buffer's
    // byte size all read as silence.
    const uint32_t listed = bufferList ? bufferList->mNumberBuffers : 0;
    auto sample = [&](uint32_t channel, uint32_t frame) -> float {
        if (channel >= listed) return 0.0f;
        const AudioBuffer& b = bufferList->mBuffers[channel];
        if (!b.mData || frame >= b.mDataByteSize / sizeof(float)) return 0.0f;
        return static_cast<const float*>(b.mData)[frame];
    };

    uint64_t c = writeCursor_ % ringLength;
    for (uint32_t i = 0; i < frameCount; ++i) {
        for (uint32_t j = 0; j < channels_; ++j) {
            ring[c] = sample(j, i);
            if (++c == ringLength) c = 0;
        }
    }
    writeCursor_ = c;
    framesWritten_ += frameCount;
}

void SharedRingSink::end() {}
