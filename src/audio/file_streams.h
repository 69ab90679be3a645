#pragma once

#include <sndfile.h>

#include <cstdint>
#include <span>
#include <vector>

namespace kelvo {

/// The most interleaved bytes one libsndfile call reads or writes. libsndfile buffers
/// nothing itself, so a call per block would be a system call per block; pieces this large
/// make the calls rare while the plugin still sees the blocks it asked for.
constexpr uint64_t file_piece_bytes = uint64_t{1} << 18;

/// Frames of `channels` interleaved samples in one piece; at least one.
uint64_t piece_frames(uint32_t channels);

/// The input, read a piece at a time and handed out a block at a time.
struct input_stream {
    SNDFILE* file = nullptr;
    std::span<float> piece;  ///< interleaved, a whole number of frames
    uint32_t channels = 0;
    int64_t position = 0;   ///< frames of the piece already handed out
    int64_t available = 0;  ///< frames the last read put in the piece
    /// A read reported an error. Nothing more is read: libsndfile forgets an error at the
    /// next read, and sf_error must still tell it when the blocks run out.
    bool failed = false;
};

/// Fills the first `frames` frames of every channel buffer, reading pieces as needed, and
/// returns how many it filled: fewer only at the end of the input or after a read error.
int64_t read_block(input_stream& in, std::span<std::vector<float>> channels, int64_t frames);

/// The output, gathered a piece at a time.
struct output_stream {
    SNDFILE* file = nullptr;
    std::span<float> piece;  ///< interleaved, a whole number of frames
    uint32_t channels = 0;
    int64_t pending = 0;  ///< frames in the piece not written yet
};

/// Queues frames `start` to `count - 1` of `sources`, read from `offset` on, and writes
/// every piece that fills. False after the write error.
bool queue_frames(output_stream& out, std::span<const std::vector<float>> sources, int64_t count,
                  int64_t offset, int64_t start);

/// Writes the frames still pending; false after the write error.
bool write_pending(output_stream& out);

}  // namespace kelvo
