// Extended audio file writer over libsndfile. Conversion from the client
// format to 16-bit integers happens here (clipping at full scale, not-a-number
// written as silence), so the samples on disk do not depend on libsndfile's own
// float handling. Converted frames collect in a buffer of the file and reach
// libsndfile in large pieces: hosts write small render blocks, and one write
// call per block would cost more than the conversion.
#include <Platform/ExtAudioFile.h>

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <memory>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace {

// Frames collected before they are handed to libsndfile; the buffer is sized
// once, at creation.
constexpr uint32_t kChunkFrames = 16384;

enum class ClientLayout { Int16Interleaved, FloatInterleaved, FloatNonInterleaved };

bool isPCM16FileFormat(const AudioStreamBasicDescription& f) {
    const uint32_t ch = f.mChannelsPerFrame;
    return f.mFormatID == kAudioFormatLinearPCM && (f.mFormatFlags & kAudioFormatFlagIsSignedInteger) &&
           !(f.mFormatFlags & (kAudioFormatFlagIsFloat | kAudioFormatFlagIsBigEndian |
                               kAudioFormatFlagIsNonInterleaved)) &&
           f.mBitsPerChannel == 16 && ch >= 1 && ch <= 1024 && f.mBytesPerFrame == 2 * ch &&
           f.mFramesPerPacket == 1 && f.mBytesPerPacket == f.mBytesPerFrame && std::isfinite(f.mSampleRate) &&
           f.mSampleRate >= 1.0 && f.mSampleRate <= 1.0e7 && f.mSampleRate == std::floor(f.mSampleRate);
}

OSStatus statusForErrno(int err) {
    switch (err) {
    case ENOENT:
    case ENOTDIR:
        return kAudio_FileNotFoundError;
    case EACCES:
    case EPERM:
    case EROFS:
    case EEXIST:
    case EISDIR:
        return kAudioFilePermissionsError;
    default:
        return kAudioFileUnspecifiedError;
    }
}

// Scale by 32768, clip to the 16-bit range, round to nearest (ties to even);
// NaN fails every comparison and becomes 0.
inline int16_t toInt16(float x) {
    float s = x * 32768.0f;
    s = s < -32768.0f ? -32768.0f : s;
    s = s > 32767.0f ? 32767.0f : s;
    s = s == s ? s : 0.0f;
    return static_cast<int16_t>(std::nearbyint(s));
}

// Two non-interleaved channels into interleaved 16-bit frames, the common
// case of every host render. Same results as toInt16.
void interleaveStereo(const float* left, const float* right, int16_t* out, uint32_t frames) {
    uint32_t i = 0;
#if defined(__SSE2__)
    const __m128 scale = _mm_set1_ps(32768.0f), low = _mm_set1_ps(-32768.0f), high = _mm_set1_ps(32767.0f);
    auto convert = [&](__m128 x) {
        const __m128 s = _mm_mul_ps(x, scale);
        const __m128 ordered = _mm_cmpord_ps(s, s);
        return _mm_cvtps_epi32(_mm_and_ps(_mm_min_ps(_mm_max_ps(s, low), high), ordered));
    };
    for (; i + 4 <= frames; i += 4) {
        const __m128 l = _mm_loadu_ps(left + i), r = _mm_loadu_ps(right + i);
        const __m128i first = convert(_mm_unpacklo_ps(l, r)), second = convert(_mm_unpackhi_ps(l, r));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * i), _mm_packs_epi32(first, second));
    }
#endif
    for (; i < frames; ++i) {
        out[2 * i] = toInt16(left[i]);
        out[2 * i + 1] = toInt16(right[i]);
    }
}

// Opens a path for writing from its first byte, replacing what is there.
// Truncating a file in place and writing it anew makes the file system free
// and discard its old blocks and then flush the new data synchronously on
// close (its guard against half-written replacements), which costs more than
// writing the file. A plain file that only this path names, and that we own
// and may write, is therefore removed and created afresh with the same
// permissions (a reader that still has the old file open keeps reading the
// old samples). Anything else (links, files of other owners, read-only
// files) is truncated in place.
int openReplacing(const std::string& path) {
    constexpr int kFlags = O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC;
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 && S_ISREG(existing.st_mode) && existing.st_nlink == 1 &&
        existing.st_uid == ::geteuid() && existing.st_size > 0 && ::access(path.c_str(), W_OK) == 0 &&
        ::unlink(path.c_str()) == 0) {
        const int fd = ::open(path.c_str(), kFlags, 0600);
        if (fd >= 0) ::fchmod(fd, existing.st_mode & 0777);
        return fd;
    }
    return ::open(path.c_str(), kFlags, 0666);
}

}  // namespace

struct OpaqueExtAudioFile {
    int fd = -1;
    SNDFILE* sndfile = nullptr;
    AudioStreamBasicDescription fileFormat{};
    AudioStreamBasicDescription clientFormat{};
    ClientLayout layout = ClientLayout::Int16Interleaved;
    std::vector<int16_t> scratch;  // kChunkFrames interleaved frames
    uint32_t buffered = 0;         // frames in scratch not yet handed to libsndfile

    ~OpaqueExtAudioFile() { close(); }

    OSStatus flush() {
        if (buffered == 0) return noErr;
        const sf_count_t frames = buffered;
        buffered = 0;
        return sf_writef_short(sndfile, scratch.data(), frames) == frames ? noErr : kAudioFileUnspecifiedError;
    }

    OSStatus close() {
        OSStatus status = noErr;
        if (sndfile) {
            status = flush();
            if (sf_close(sndfile) != 0 && status == noErr) status = kAudioFileUnspecifiedError;
            sndfile = nullptr;
        }
        if (fd >= 0) {
            if (::close(fd) != 0 && status == noErr) status = statusForErrno(errno);
            fd = -1;
        }
        return status;
    }

    uint32_t channels() const { return fileFormat.mChannelsPerFrame; }

    // Checks that the buffers hold `frames` frames of the client layout.
    bool buffersCover(const AudioBufferList* list, uint32_t frames) const {
        const uint64_t ch = channels();
        switch (layout) {
        case ClientLayout::FloatNonInterleaved:
            if (list->mNumberBuffers < ch) return false;
            for (uint64_t c = 0; c < ch; ++c) {
                const AudioBuffer& b = list->mBuffers[c];
                if (!b.mData || b.mDataByteSize < uint64_t(frames) * 4) return false;
            }
            return true;
        case ClientLayout::FloatInterleaved:
            return list->mNumberBuffers >= 1 && list->mBuffers[0].mData &&
                   list->mBuffers[0].mDataByteSize >= uint64_t(frames) * 4 * ch;
        case ClientLayout::Int16Interleaved:
            return list->mNumberBuffers >= 1 && list->mBuffers[0].mData &&
                   list->mBuffers[0].mDataByteSize >= uint64_t(frames) * 2 * ch;
        }
        return false;
    }

    // Converts `frames` frames from `offset` of the list into the buffer.
    void convertChunk(const AudioBufferList* list, uint32_t offset, uint32_t frames) {
        const uint32_t ch = channels();
        int16_t* out = scratch.data() + size_t(buffered) * ch;
        switch (layout) {
        case ClientLayout::FloatNonInterleaved:
            if (ch == 2) {
                interleaveStereo(static_cast<const float*>(list->mBuffers[0].mData) + offset,
                                 static_cast<const float*>(list->mBuffers[1].mData) + offset, out, frames);
                break;
            }
            for (uint32_t c = 0; c < ch; ++c) {
                const float* in = static_cast<const float*>(list->mBuffers[c].mData) + offset;
                for (uint32_t i = 0; i < frames; ++i) out[size_t(i) * ch + c] = toInt16(in[i]);
            }
            break;
        case ClientLayout::FloatInterleaved: {
            const float* in = static_cast<const float*>(list->mBuffers[0].mData) + size_t(offset) * ch;
            for (size_t i = 0; i < size_t(frames) * ch; ++i) out[i] = toInt16(in[i]);
            break;
        }
        case ClientLayout::Int16Interleaved: {
            const int16_t* in = static_cast<const int16_t*>(list->mBuffers[0].mData) + size_t(offset) * ch;
            std::memcpy(out, in, size_t(frames) * ch * sizeof(int16_t));
            break;
        }
        }
        buffered += frames;
    }
};

OSStatus ExtAudioFileCreateWithURL(CFURLRef inURL, AudioFileTypeID inFileType,
                                   const AudioStreamBasicDescription* inStreamDesc, const AudioChannelLayout*,
                                   uint32_t inFlags, ExtAudioFileRef* outExtAudioFile) {
    if (!outExtAudioFile) return kAudio_ParamError;
    *outExtAudioFile = nullptr;
    if (!inURL || !inStreamDesc || inURL->path.empty()) return kAudio_ParamError;
    if (inFileType != kAudioFileWAVEType) return kAudioFileUnsupportedFileTypeError;
    if (!isPCM16FileFormat(*inStreamDesc)) return kAudioFileUnsupportedDataFormatError;

    const bool erase = inFlags & kAudioFileFlags_EraseFile;
    auto file = std::make_unique<OpaqueExtAudioFile>();
    file->fd = erase ? openReplacing(inURL->path)
                     : ::open(inURL->path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (file->fd < 0) return statusForErrno(errno);

    SF_INFO info{};
    info.samplerate = static_cast<int>(inStreamDesc->mSampleRate);
    info.channels = static_cast<int>(inStreamDesc->mChannelsPerFrame);
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16 | SF_ENDIAN_LITTLE;
    file->sndfile = sf_open_fd(file->fd, SFM_WRITE, &info, SF_FALSE);
    if (!file->sndfile) return kAudioFileUnspecifiedError;  // the descriptor closes with `file`

    file->fileFormat = *inStreamDesc;
    file->clientFormat = *inStreamDesc;
    file->layout = ClientLayout::Int16Interleaved;
    file->scratch.assign(size_t(kChunkFrames) * inStreamDesc->mChannelsPerFrame, 0);
    *outExtAudioFile = file.release();
    return noErr;
}

OSStatus ExtAudioFileSetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID id, uint32_t size, const void* data) {
    if (!file) return kAudio_ParamError;
    if (id != kExtAudioFileProperty_ClientDataFormat) return kExtAudioFileError_InvalidProperty;
    if (!data || size < sizeof(AudioStreamBasicDescription)) return kExtAudioFileError_InvalidPropertySize;

    AudioStreamBasicDescription f;
    std::memcpy(&f, data, sizeof f);
    if (f.mFormatID != kAudioFormatLinearPCM) return kExtAudioFileError_NonPCMClientFormat;
    if (f.mSampleRate != file->fileFormat.mSampleRate || f.mChannelsPerFrame != file->channels() ||
        (f.mFormatFlags & kAudioFormatFlagIsBigEndian) || f.mFramesPerPacket != 1 ||
        f.mBytesPerPacket != f.mBytesPerFrame)
        return kExtAudioFileError_InvalidDataFormat;

    const bool nonInterleaved = f.mFormatFlags & kAudioFormatFlagIsNonInterleaved;
    const uint32_t samplesPerFrame = nonInterleaved ? 1 : f.mChannelsPerFrame;
    ClientLayout layout;
    if ((f.mFormatFlags & kAudioFormatFlagIsFloat) && f.mBitsPerChannel == 32 && f.mBytesPerFrame == 4 * samplesPerFrame)
        layout = nonInterleaved ? ClientLayout::FloatNonInterleaved : ClientLayout::FloatInterleaved;
    else if (!(f.mFormatFlags & kAudioFormatFlagIsFloat) && (f.mFormatFlags & kAudioFormatFlagIsSignedInteger) &&
             !nonInterleaved && f.mBitsPerChannel == 16 && f.mBytesPerFrame == 2 * samplesPerFrame)
        layout = ClientLayout::Int16Interleaved;
    else
        return kExtAudioFileError_InvalidDataFormat;

    file->clientFormat = f;
    file->layout = layout;
    return noErr;
}

OSStatus ExtAudioFileGetProperty(ExtAudioFileRef file, ExtAudioFilePropertyID id, uint32_t* ioSize, void* out) {
    if (!file || !ioSize || !out) return kAudio_ParamError;
    const AudioStreamBasicDescription* value = nullptr;
    if (id == kExtAudioFileProperty_ClientDataFormat) value = &file->clientFormat;
    else if (id == kExtAudioFileProperty_FileDataFormat) value = &file->fileFormat;
    else return kExtAudioFileError_InvalidProperty;
    if (*ioSize < sizeof *value) return kExtAudioFileError_InvalidPropertySize;
    std::memcpy(out, value, sizeof *value);
    *ioSize = sizeof *value;
    return noErr;
}

OSStatus ExtAudioFileWrite(ExtAudioFileRef file, uint32_t frames, const AudioBufferList* ioData) {
    if (!file || !file->sndfile) return kAudio_ParamError;
    if (frames == 0) return noErr;
    if (!ioData || !file->buffersCover(ioData, frames)) return kAudio_ParamError;

    for (uint32_t done = 0; done < frames;) {
        const uint32_t n = std::min(frames - done, kChunkFrames - file->buffered);
        file->convertChunk(ioData, done, n);
        done += n;
        if (file->buffered == kChunkFrames) {
            if (OSStatus status = file->flush(); status != noErr) return status;
        }
    }
    return noErr;
}

OSStatus ExtAudioFileDispose(ExtAudioFileRef file) {
    if (!file) return kAudio_ParamError;
    const OSStatus status = file->close();
    delete file;
    return status;
}
