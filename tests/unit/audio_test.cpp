#include "audio/buffers.h"
#include "audio/file_streams.h"
#include "audio/normalize.h"
#include "audio/output_check.h"
#include "engine/stream.h"
#include "messages.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <fstream>
#include <iterator>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <vector>

using namespace kelvo;

namespace {

using channels = std::vector<std::vector<float>>;

constexpr float inf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(Buffers, DeinterleavesTheFirstFrames) {
    const std::vector<float> block = {0, 1000, 1, 1001, 2, 1002};
    const struct {
        int64_t first, count;
        channels expected;
    } cases[] = {
        {0, 3, {{0, 1, 2, -1}, {1000, 1001, 1002, -1}}},
        {0, 2, {{0, 1, -1, -1}, {1000, 1001, -1, -1}}},
        {2, 2, {{-1, -1, 0, 1}, {-1, -1, 1000, 1001}}},
        {0, 0, {{-1, -1, -1, -1}, {-1, -1, -1, -1}}},
        {0, -1, {{-1, -1, -1, -1}, {-1, -1, -1, -1}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.count << " at " << c.first);
        channels out(2, std::vector<float>(4, -1));
        deinterleave_input(block, out, c.first, c.count);
        EXPECT_EQ(c.expected, out);
    }
}

// One and two channels take their own loops; every count must agree with the plain layout.
TEST(Buffers, EveryChannelCountRoundTrips) {
    for (const size_t count : {1u, 2u, 3u, 6u}) {
        SCOPED_TRACE(count);
        const int64_t frames = 37;
        std::vector<float> interleaved(frames * count);
        for (size_t i = 0; i < interleaved.size(); ++i)
            interleaved[i] = static_cast<float>(i);
        channels split(count, std::vector<float>(frames + 5, -1));
        deinterleave_input(interleaved, split, 5, frames);
        for (size_t c = 0; c < count; ++c)
            for (int64_t i = 0; i < frames; ++i)
                ASSERT_EQ(static_cast<float>(i * count + c), split[c][i + 5]) << c << " " << i;
        std::vector<float> joined(interleaved.size(), -1);
        interleave_output(split, 5, frames, joined);
        EXPECT_EQ(interleaved, joined);
    }
}

TEST(Buffers, InterleavesFramesFromFirstToTheFrontOfTheBlock) {
    const channels sources = {{0, 1, 2, 3, 4, 5}, {1000, 1001, 1002, 1003, 1004, 1005}};
    const struct {
        int64_t first, count;
        std::vector<float> expected;
    } cases[] = {
        {0, 3, {0, 1000, 1, 1001, 2, 1002, -1, -1}},
        {1, 2, {1, 1001, 2, 1002, -1, -1, -1, -1}},
        {3, 3, {3, 1003, 4, 1004, 5, 1005, -1, -1}},
        {4, 2, {4, 1004, 5, 1005, -1, -1, -1, -1}},
        {2, 0, {-1, -1, -1, -1, -1, -1, -1, -1}},
        {3, -1, {-1, -1, -1, -1, -1, -1, -1, -1}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.first << " " << c.count);
        std::vector<float> block(8, -1);
        interleave_output(sources, c.first, c.count, block);
        EXPECT_EQ(c.expected, block);
    }
}

TEST(Buffers, BlockBytesAreNothingWhenTheyOverflow) {
    const uint64_t piece = file_piece_bytes;
    const struct {
        uint64_t frames;
        uint32_t channels, outputs;
        std::optional<uint64_t> bytes;
    } cases[] = {
        {512, 2, 2, 8192},
        {0, 1, 1, 0},
        {(uint64_t{1} << 62) - 1, 1, 0, UINT64_MAX - 3},
        {UINT64_MAX, 1, 1, {}},
        {uint64_t{1} << 62, 1, 0, {}},
        {max_block_frames, UINT32_MAX, UINT32_MAX, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.frames);
        EXPECT_EQ(c.bytes, block_buffer_bytes(c.frames, c.channels, c.outputs));
    }
    EXPECT_EQ(2 * piece, sound_stream_bytes(1, 1));
    EXPECT_EQ(piece - piece % 12 + piece, sound_stream_bytes(3, 1));  // whole frames only
}

TEST(OutputCheck, FixesBadSamplesAndWarnsOncePerRun) {
    const char* const nan_warning = "kelvo: warning: NaN detected in audio output\n";
    const char* const inf_warning = "kelvo: warning: infinity value detected in audio output\n";
    const char* const clip_warning =
        "kelvo: warning: out of range value detected in audio output, clipping\n";
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* what;
        bool normalize;
        channels block;
        int64_t n;
        channels expected;
        float peak;
        std::string err;
    } cases[] = {
        {"NaN", false, {{nan, 0.5f}, {-0.5f, nan}}, 2, {{0, 0.5f}, {-0.5f, 0}}, 0, nan_warning},
        {"clipping", false, {{1.5f, -1.5f}, {1, -1}}, 2, {{1, -1}, {1, -1}}, 0, clip_warning},
        {"full scale", false, {{1, -1}, {0.25f, -0.0f}}, 2, {{1, -1}, {0.25f, 0}}, 0, ""},
        {"infinity", false, {{inf, 0}, {-inf, 0}}, 2, {{1, 0}, {-1, 0}}, 0,
         std::string(inf_warning) + clip_warning},
        {"beyond n", false, {{0.5f, 3}, {0, inf}}, 1, {{0.5f, 3}, {0, inf}}, 0, ""},
        {"normalize loud", true, {{1.5f, -0.25f}, {0.5f, -2}}, 2, {{1.5f, -0.25f}, {0.5f, -2}},
         2, ""},
        {"normalize infinity", true, {{inf, 0.5f}, {-inf, -0.75f}}, 2,
         {{inf, 0.5f}, {-inf, -0.75f}}, 0.75f, inf_warning},
        {"normalize NaN", true, {{nan, 0.25f}, {0, nan}}, 2, {{0, 0.25f}, {0, 0}}, 0.25f,
         nan_warning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        output_check_state state;
        channels out;
        testing::internal::CaptureStderr();
        // Several blocks of one run, each fresh from the plugin.
        for (int block = 0; block < 3; ++block) {
            out = c.block;
            check_output_block(out, c.n, c.normalize, state, printed_diagnostics());
        }
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        EXPECT_EQ(c.peak, state.peak);
        EXPECT_EQ(c.expected, out);
    }
}

TEST(Normalize, StartsSmallUnlessTheDeclaredLengthIsModest) {
    const struct {
        int64_t declared;
        uint64_t frames;
    } cases[] = {
        {0, 0},       {1000, 1000},        {1 << 20, 1 << 20}, {(1 << 20) + 1, 1 << 20},
        {-1, 1 << 20}, {INT64_MAX, 1 << 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.declared);
        EXPECT_EQ(c.frames, initial_whole_frames(c.declared));
    }
}

TEST(Normalize, AppendGrowsAndKeepsEveryFrameInOrder) {
    for (const uint64_t capacity :
         {uint64_t{0}, uint64_t{1}, uint64_t{4}, uint64_t{100}, uint64_t{1} << 20}) {
        SCOPED_TRACE(capacity);
        whole_output whole = make_whole_output(2, capacity);
        // A chunk of several huge pages starts on a huge page, whatever the allocator gave.
        const uintptr_t start = reinterpret_cast<uintptr_t>(whole.channels[1].samples[0]);
        EXPECT_TRUE(capacity < (uint64_t{1} << 20) || start % (uintptr_t{1} << 21) == 0);
        // Blocks of input frames 0-2, 3-5, 6-8, 9-10; (first, count) as the block loop passes.
        const channels blocks[] = {{{0, 1, 2}, {1000, 1001, 1002}},
                                   {{3, 4, 5}, {1003, 1004, 1005}},
                                   {{6, 7, 8}, {1006, 1007, 1008}},
                                   {{9, 10}, {1009, 1010}}};
        const int64_t firsts[] = {1, 0, 3, 0}, counts[] = {2, 3, 0, 2};
        for (size_t b = 0; b < 4; ++b)
            ASSERT_TRUE(append(whole, blocks[b], firsts[b], counts[b]));
        ASSERT_EQ(7, whole.stored_frames);
        // Read back in pieces that end inside chunks and across them.
        for (const size_t piece_frames : {1u, 3u, 7u, 9u}) {
            std::vector<float> interleaved;
            std::vector<float> piece(piece_frames * 2);
            for (int64_t at = 0, n; (n = scale_into(whole, 1, at, piece)) > 0; at += n)
                interleaved.insert(interleaved.end(), piece.begin(), piece.begin() + n * 2);
            EXPECT_EQ((std::vector<float>{1, 1001, 2, 1002, 3, 1003, 4, 1004, 5, 1005, 9, 1009, 10,
                                          1010}),
                      interleaved);
        }
    }
}

TEST(Normalize, ScalesToFullScaleOrLeavesSilenceAlone) {
    const char* const silent =
        "kelvo: warning: the plugin produced silent output, cannot normalize\n";
    const float tiny = std::numeric_limits<float>::denorm_min();
    const struct {
        const char* what;
        channels samples;
        float peak;
        std::vector<float> expected;  // interleaved
        const char* report;
        const char* err;
    } cases[] = {
        {"quiet", {{0.5f, -0.25f}, {0.125f, 0}}, 0.5f, {1, 0.25f, -0.5f, 0},
         "Applying 2x gain (6.0206 dB) to all output channels\n", ""},
        {"loud", {{2, -1}, {0.5f, 0}}, 2, {1, 0.25f, -0.5f, 0},
         "Applying 0.5x gain (-6.0206 dB) to all output channels\n", ""},
        {"silent", {{0, inf}, {-inf, -0.0f}}, 0, {0, -1, 1, -0.0f}, "", silent},
        {"denormal", {{tiny, inf}, {-inf, -tiny}}, tiny, {tiny, -1, 1, -tiny}, "", silent},
        {"infinite", {{inf, 0.25f}, {-0.125f, 0.1f}}, 0.25f, {1, -0.5f, 1, 0.4f},
         "Applying 4x gain (12.0412 dB) to all output channels\n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        whole_output whole = make_whole_output(2, 1);
        ASSERT_TRUE(append(whole, c.samples, 0, 2));
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const float gain = normalization_gain(c.peak, stdout);
        EXPECT_EQ(c.report, testing::internal::GetCapturedStdout());
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        std::vector<float> out(4, -9);
        ASSERT_EQ(2, scale_into(whole, gain, 0, out));
        for (size_t i = 0; i < 4; ++i) {
            EXPECT_EQ(c.expected[i], out[i]) << i;
            EXPECT_EQ(std::signbit(c.expected[i]), std::signbit(out[i])) << i;
        }
    }
}

TEST(BlockLoop, DropsALongLatencyToTheExactFrame) {
    // 52 s at 384 kHz, taken off in blocks whose size a float cannot subtract exactly there.
    latency_state state;
    ASSERT_TRUE(read_latency(state, 2e7));
    int64_t dropped = 0;
    while (state.remaining_latency > 0)
        dropped += skip_frames(state, 333);
    EXPECT_EQ(20000000, dropped);
}

TEST(BlockLoop, DropsThePluginsLatencyAcrossBlocks) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const struct {
        const char* what;
        std::vector<float> reports;  // what the latency port holds after each block
        double rate;
        std::vector<int64_t> blocks;  // main loop blocks, then flush blocks
        std::vector<int64_t> skips;
        bool plausible;  // the first report
        bool off;
        float remaining;
    } cases[] = {
        {"0", {0}, 48000, {512, 388}, {0, 0}, true, false, 0},
        {"100", {100}, 48000, {512, 388, 100}, {100, 0, 0}, true, false, 0},
        {"600", {600}, 48000, {512, 388, 512, 88}, {512, 88, 0, 0}, true, false, 0},
        {"longer than the input", {300}, 48000, {100, 300}, {100, 200}, true, false, 0},
        {"10.4", {10.4f}, 48000, {512}, {10}, true, false, 0},
        {"10.5", {10.5f}, 48000, {512}, {11}, true, false, 0},
        {"negative", {-1}, 48000, {512, 512}, {0, 0}, true, false, -1},
        {"negative, then 50", {-1, 50}, 48000, {512, 512}, {0, 50}, true, false, 0},
        {"60 s", {2880000}, 48000, {512}, {512}, true, false, 2879488},
        {"NaN", {nan}, 48000, {512, 512}, {0, 0}, false, true, -1},
        {"+inf", {inf}, 48000, {512}, {0}, false, true, -1},
        {"-inf", {-inf}, 48000, {512}, {0}, false, true, -1},
        {"1e15", {1e15f}, 48000, {512}, {0}, false, true, -1},
        {"over 60 s", {2880001}, 48000, {512}, {0}, false, true, -1},
        {"600 at rate 8", {600}, 8, {512}, {0}, false, true, -1},
        {"negative, then NaN", {-1, nan}, 48000, {512, 512}, {0, 0}, true, true, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const double max_frames = max_plausible_latency_seconds * c.rate;
        EXPECT_EQ(c.plausible, plausible_latency(c.reports[0], max_frames));
        latency_state state;
        std::vector<int64_t> skips;
        for (size_t b = 0; b < c.blocks.size(); ++b) {
            const float reported = c.reports[std::min(b, c.reports.size() - 1)];
            if (!state.off && state.remaining_latency < 0) {
                const bool plausible = plausible_latency(reported, max_frames);
                EXPECT_EQ(plausible, read_latency(state, plausible ? std::optional<double>{reported}
                                                                   : std::nullopt));
            }
            skips.push_back(skip_frames(state, c.blocks[b]));
        }
        EXPECT_EQ(c.skips, skips);
        EXPECT_EQ(c.off, state.off);
        EXPECT_EQ(c.remaining, state.remaining_latency);
    }
}

namespace {

// A float WAV file of `frames` frames whose samples count up from 0, in a fresh temp folder.
class counting_file {
public:
    counting_file(int channel_count, int64_t frames) : path_{dir_ + "/in.wav"} {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = channel_count;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* const f = sf_open(path_.c_str(), SFM_WRITE, &info);
        std::vector<float> samples(static_cast<size_t>(frames * channel_count));
        for (size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<float>(i);
        sf_writef_float(f, samples.data(), frames);
        sf_close(f);
    }
    ~counting_file() {
        std::remove(path_.c_str());
        std::remove(dir_.c_str());
    }
    const std::string& path() const { return path_; }

private:
    std::string dir_ = make_dir();
    std::string path_;
    static std::string make_dir() {
        char pattern[] = "/tmp/kelvo-unit-XXXXXX";
        return mkdtemp(pattern);
    }
};

// The bytes of a file.
std::string read_whole(const std::string& path) {
    std::ifstream in{path, std::ios::binary};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

// Pieces smaller, equal to and larger than a block: the blocks and their samples must be
// what block-sized reads would have given.
TEST(FileStreams, HandsOutExactBlocksWhateverThePieceSize) {
    const struct {
        int channels;
        int64_t frames, piece, block;
    } cases[] = {
        {1, 100, 7, 10}, {2, 100, 10, 10}, {2, 100, 64, 10}, {3, 31, 5, 4}, {1, 0, 8, 4},
        {2, 10, 1, 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " " << c.frames << " " << c.piece
                                        << " " << c.block);
        const counting_file file(c.channels, c.frames);
        SF_INFO info{};
        SNDFILE* const f = sf_open(file.path().c_str(), SFM_READ, &info);
        ASSERT_NE(nullptr, f);
        input_stream in{static_cast<uint32_t>(c.channels), static_cast<uint64_t>(c.piece)};
        in.attach(f);
        channels blocks(static_cast<size_t>(c.channels), std::vector<float>(c.block));
        int64_t done = 0;
        for (int64_t n; (n = in.read_block(blocks, c.block)) > 0; done += n) {
            ASSERT_EQ(std::min(c.block, c.frames - done), n);
            for (int ch = 0; ch < c.channels; ++ch)
                for (int64_t i = 0; i < n; ++i)
                    ASSERT_EQ(static_cast<float>((done + i) * c.channels + ch), blocks[ch][i]);
        }
        EXPECT_EQ(c.frames, done);
        EXPECT_FALSE(in.failed());
        sf_close(f);
    }
}

// Blocks with frames skipped at their front, through pieces of every size: the file gets
// exactly the frames queued, in order.
TEST(FileStreams, WritesEveryQueuedFrameInOrder) {
    const channels block = {{0, 1, 2, 3, 4}, {10, 11, 12, 13, 14}};
    const struct {
        int64_t piece;
    } cases[] = {{1}, {2}, {4}, {5}, {16}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.piece);
        const counting_file file(2, 0);
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
        SNDFILE* f = sf_open(file.path().c_str(), SFM_WRITE, &info);
        ASSERT_NE(nullptr, f);
        output_stream out{2, static_cast<uint64_t>(c.piece)};
        out.attach(f);
        ASSERT_TRUE(out.queue(block, 3, 2));
        ASSERT_TRUE(out.queue(block, 0, 5));
        ASSERT_TRUE(out.queue(block, 4, 1));
        ASSERT_TRUE(out.write_pending());
        sf_close(f);
        f = sf_open(file.path().c_str(), SFM_READ, &info);
        std::vector<float> written(static_cast<size_t>(info.frames * 2));
        sf_readf_float(f, written.data(), info.frames);
        sf_close(f);
        EXPECT_EQ((std::vector<float>{3, 13, 4, 14, 0, 10, 1, 11, 2, 12, 3, 13, 4, 14, 4, 14}),
                  written);
    }
}

// 16-bit files are read and written as integers: every integer must read as the float
// libsndfile gives, and samples across full scale must be written as the integers it writes.
TEST(FileStreams, SixteenBitSamplesAreWhatLibsndfileMakesOfThem) {
    const counting_file scratch(1, 0);
    const std::string a = scratch.path() + ".a", b = scratch.path() + ".b";
    std::vector<short> integers;
    for (int x = -32768; x <= 32767; ++x)
        integers.push_back(static_cast<short>(x));
    std::vector<float> floats;  // stereo: the steps of full scale, and the halves between
    for (int k = -65535; k <= 65535; ++k)
        floats.push_back(static_cast<float>(k) / 65535);
    for (const float x : {-0.0f, 1e-30f, 0.5f / 32767, 1.5f / 32767, 1.0f, -1.0f, 0.0f})
        floats.push_back(x);
    const int formats[] = {SF_FORMAT_WAV, SF_FORMAT_W64,  SF_FORMAT_RF64,
                           SF_FORMAT_AIFF, SF_FORMAT_CAF, SF_FORMAT_AU};
    auto open = [](const std::string& path, int mode, int format) {
        SF_INFO info{};
        info.samplerate = 48000;
        info.channels = 2;
        info.format = format;
        return sf_open(path.c_str(), mode, &info);
    };
    for (const int major : formats) {
        const int format = major | SF_FORMAT_PCM_16;
        SCOPED_TRACE(testing::Message() << std::hex << major);
        ASSERT_TRUE(moves_as_pcm16(format));
        for (const uint64_t piece : {7u, 4096u}) {
            SNDFILE* f = open(a, SFM_WRITE, format);
            sf_writef_short(f, integers.data(), static_cast<sf_count_t>(integers.size() / 2));
            sf_close(f);
            f = open(a, SFM_READ, 0);
            std::vector<float> expected(integers.size());
            sf_readf_float(f, expected.data(), static_cast<sf_count_t>(expected.size() / 2));
            sf_close(f);
            f = open(a, SFM_READ, 0);
            input_stream in{2, piece, true};
            in.attach(f);
            channels read(2, std::vector<float>(integers.size() / 2));
            EXPECT_EQ(static_cast<int64_t>(read[0].size()),
                      in.read_block(read, static_cast<int64_t>(read[0].size())));
            sf_close(f);
            for (size_t i = 0; i < expected.size(); ++i)
                ASSERT_EQ(std::bit_cast<uint32_t>(expected[i]),
                          std::bit_cast<uint32_t>(read[i % 2][i / 2]))
                    << i;

            const auto frames = static_cast<int64_t>(floats.size() / 2);
            channels split(2, std::vector<float>(static_cast<size_t>(frames)));
            deinterleave_input(floats, split, 0, frames);
            f = open(a, SFM_WRITE, format);
            output_stream out{2, piece, true};
            out.attach(f);
            ASSERT_TRUE(out.queue(split, 0, frames) && out.write_pending());
            sf_close(f);
            f = open(b, SFM_WRITE, format);
            sf_writef_float(f, floats.data(), frames);
            sf_close(f);
            EXPECT_EQ(read_whole(b), read_whole(a));
        }
    }
    EXPECT_FALSE(moves_as_pcm16(SF_FORMAT_FLAC | SF_FORMAT_PCM_16));
    EXPECT_FALSE(moves_as_pcm16(SF_FORMAT_WAV | SF_FORMAT_FLOAT));
    std::remove(a.c_str());
    std::remove(b.c_str());
}
