// The platform's extended audio file writer, which the host's WAV files go
// through: float samples clipped to 16 bits, not-a-number as silence, the
// file complete only once disposed of, an existing file kept unless erased.
#include "AudioTestSupport.h"

#include <Platform/ExtAudioFile.h>

#include <sndfile.h>

#include <cmath>
#include <limits>

#include <sys/stat.h>
#include <unistd.h>

namespace hostaudio {
namespace {

AudioStreamBasicDescription pcm16Stereo() {
    AudioStreamBasicDescription f{};
    f.mSampleRate = 44100;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
    f.mBitsPerChannel = 16;
    f.mChannelsPerFrame = 2;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = f.mBytesPerPacket = 4;
    return f;
}

AudioStreamBasicDescription floatNonInterleavedStereo() {
    AudioStreamBasicDescription f{};
    f.mSampleRate = 44100;
    f.mFormatID = kAudioFormatLinearPCM;
    f.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsNonInterleaved;
    f.mBitsPerChannel = 32;
    f.mChannelsPerFrame = 2;
    f.mFramesPerPacket = 1;
    f.mBytesPerFrame = f.mBytesPerPacket = 4;
    return f;
}

struct StereoList {
    std::vector<float> left, right;
    std::vector<unsigned char> storage = std::vector<unsigned char>(audioBufferListSize(2));
    AudioBufferList* list() {
        auto* l = reinterpret_cast<AudioBufferList*>(storage.data());
        l->mNumberBuffers = 2;
        l->mBuffers[0] = {1, uint32_t(left.size() * 4), left.data()};
        l->mBuffers[1] = {1, uint32_t(right.size() * 4), right.data()};
        return l;
    }
};

ExtAudioFileRef create(const std::string& path, uint32_t flags, OSStatus* status) {
    const auto url = NSURL::fileURLWithPath(path);
    const auto format = pcm16Stereo();
    ExtAudioFileRef file = nullptr;
    *status = ExtAudioFileCreateWithURL(url.get(), kAudioFileWAVEType, &format, nullptr, flags, &file);
    return file;
}

// Every value goes through both the block path (four frames at a time) and
// the path for the frames left over.
TEST(ExtAudioFile, FloatIsClippedRoundedAndNaNIsSilence) {
    hosttest::TempDir dir;
    const std::string path = dir.file("c.wav");
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> values = {0.0f, 0.5f, -0.5f, 1.0f, -1.0f, 2.0f, -2.0f, 1e30f, -1e30f, nan,
                                       std::numeric_limits<float>::infinity(), 1.0f / 32768.0f, 0.25f};
    const std::vector<int16_t> expected = {0, 16384, -16384, 32767, -32768, 32767, -32768, 32767, -32768, 0,
                                           32767, 1, 8192};
    StereoList block;
    for (size_t i = 0; i < values.size(); ++i) {
        block.left.push_back(values[i]);
        block.right.push_back(values[values.size() - 1 - i]);
    }

    OSStatus status;
    ExtAudioFileRef file = create(path, kAudioFileFlags_EraseFile, &status);
    ASSERT_EQ(status, noErr);
    const auto client = floatNonInterleavedStereo();
    ASSERT_EQ(ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
    for (int repeat = 0; repeat < 3; ++repeat)
        ASSERT_EQ(ExtAudioFileWrite(file, uint32_t(values.size()), block.list()), noErr);
    ASSERT_EQ(ExtAudioFileDispose(file), noErr);

    auto wav = readWav(path);
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    ASSERT_EQ(wav->frames, int64_t(3 * values.size()));
    for (size_t frame = 0; frame < 3 * values.size(); ++frame) {
        const size_t i = frame % values.size();
        EXPECT_EQ(wav->samples[2 * frame], expected[i]) << "left, value " << values[i];
        EXPECT_EQ(wav->samples[2 * frame + 1], expected[values.size() - 1 - i]) << "right";
    }
}

TEST(ExtAudioFile, CreationRulesAndStatuses) {
    hosttest::TempDir dir;
    OSStatus status;
    EXPECT_EQ(create(dir.file("no-dir/x.wav"), kAudioFileFlags_EraseFile, &status), nullptr);
    EXPECT_EQ(status, kAudio_FileNotFoundError);

    writeFile(dir.file("kept.wav"), 10, 'k');
    EXPECT_EQ(create(dir.file("kept.wav"), 0, &status), nullptr) << "exists and is not to be erased";
    EXPECT_NE(status, noErr);
    auto kept = readRing(dir.file("kept.wav"));
    ASSERT_TRUE(kept);
    EXPECT_EQ(kept->bytes, 10u);

    ExtAudioFileRef file = create(dir.file("kept.wav"), kAudioFileFlags_EraseFile, &status);
    ASSERT_EQ(status, noErr);
    auto client = floatNonInterleavedStereo();
    client.mSampleRate = 48000;  // no rate conversion here
    EXPECT_NE(ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
    client = floatNonInterleavedStereo();
    ASSERT_EQ(ExtAudioFileSetProperty(file, kExtAudioFileProperty_ClientDataFormat, sizeof client, &client), noErr);
    StereoList oneChannel;
    oneChannel.left = {0.1f};
    oneChannel.right = {0.1f};
    AudioBufferList* list = oneChannel.list();
    list->mNumberBuffers = 1;
    EXPECT_EQ(ExtAudioFileWrite(file, 1, list), kAudio_ParamError) << "a channel is missing";
    EXPECT_EQ(ExtAudioFileDispose(file), noErr);
    auto wav = readWav(dir.file("kept.wav"));
    ASSERT_TRUE(wav);
    EXPECT_EQ(wav->frames, 0);
}

// Erasing replaces the file whatever way the path reaches it: its own
// permissions stay, a symbolic link still leads to its target, and a file
// with a second name is rewritten under both.
TEST(ExtAudioFile, ErasingKeepsPermissionsAndLinks) {
    hosttest::TempDir dir;
    const std::string own = dir.file("own.wav"), target = dir.file("target.wav"), link = dir.file("link.wav"),
                      first = dir.file("first.wav"), second = dir.file("second.wav");
    for (const auto& path : {own, target, first}) writeFile(path, 4096, 'x');
    ASSERT_EQ(::chmod(own.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(target.c_str(), link.c_str()), 0);
    ASSERT_EQ(::link(first.c_str(), second.c_str()), 0);

    for (const auto& path : {own, link, first}) {
        OSStatus status;
        ExtAudioFileRef file = create(path, kAudioFileFlags_EraseFile, &status);
        ASSERT_EQ(status, noErr) << path;
        EXPECT_EQ(ExtAudioFileDispose(file), noErr);
    }
    struct stat info {};
    ASSERT_EQ(::stat(own.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0640u);
    ASSERT_EQ(::lstat(link.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode)) << "the link was replaced by a file";
    for (const auto& path : {own, link, target, first, second}) {
        auto wav = readWav(path);
        ASSERT_TRUE(wav) << path << " is not the new, empty WAV file";
        EXPECT_EQ(wav->frames, 0) << path;
    }
}

}  // namespace
}  // namespace hostaudio
