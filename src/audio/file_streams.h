#pragma once

#include <sndfile.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kelvo {

/// The most interleaved bytes one libsndfile call reads or writes. libsndfile buffers
/// nothing itself, so a call per block would be a system call per block; pieces this large
/// make the calls rare while the plugin still sees the blocks it asked for.
constexpr uint64_t file_piece_bytes = uint64_t{1} << 18;

/// Frames of `channels` interleaved samples in one piece; at least one.
uint64_t piece_frames(uint32_t channels);

/// True for the 16-bit formats that libsndfile moves between file and memory in one call as
/// integers, but through a small buffer of its own, a system call per 8 KiB, as floats. The
/// streams read and write those as integers and convert them as libsndfile does.
bool moves_as_pcm16(int format);

/// The input, read from its file a piece at a time and handed out a block at a time. It owns
/// its piece, which is never zeroed: a frame is read into it before it is handed out.
class input_stream {
public:
    input_stream() = default;
    /// Allocates a piece of `frames` frames of `channels` samples, read as 16-bit integers
    /// when `pcm16` is set, with pages in place for the first `used`; throws std::bad_alloc.
    input_stream(uint32_t channels, uint64_t frames, bool pcm16 = false, uint64_t used = 0);
    /// Reads from `file` from now on; the stream does not own it.
    void attach(SNDFILE* file) { file_ = file; }
    /// Fills the first `frames` frames of every channel buffer, reading pieces as needed,
    /// and returns how many it filled: fewer only at the end of the input or after a read
    /// error.
    int64_t read_block(std::span<std::vector<float>> channels, int64_t frames);
    /// A read reported an error. Nothing more is read: libsndfile forgets an error at the
    /// next read, and sf_error must still tell it when the blocks run out.
    bool failed() const { return failed_; }

private:
    SNDFILE* file_ = nullptr;
    std::unique_ptr<float[]> piece_;
    uint32_t channels_ = 0;
    int64_t capacity_ = 0;   // frames the piece holds
    int64_t position_ = 0;   // frames of the piece already handed out
    int64_t available_ = 0;  // frames the last read put in the piece
    bool pcm16_ = false;
    bool failed_ = false;
};

/// The output, gathered a piece at a time and written to its file when the piece is full.
/// It owns its piece, which is never zeroed: only frames gathered into it are written.
class output_stream {
public:
    output_stream() = default;
    /// Allocates a piece of `frames` frames of `channels` samples, written as 16-bit integers
    /// when `pcm16` is set, with pages in place for the first `used`; throws std::bad_alloc.
    output_stream(uint32_t channels, uint64_t frames, bool pcm16 = false, uint64_t used = 0);
    /// Writes to `file` from now on; the stream does not own it.
    void attach(SNDFILE* file) { file_ = file; }
    /// Queues `count` frames of `sources` from frame `first` on, and writes every piece that
    /// fills. False after the write error.
    bool queue(std::span<const std::vector<float>> sources, int64_t first, int64_t count);
    /// Writes the frames still pending; false after the write error.
    bool write_pending();
    /// Writes pieces that `fill(piece)` fills with interleaved frames and counts, until it
    /// gives none; false after the write error. Nothing may be pending.
    template <typename Fill>
    bool write_pieces(Fill fill) {
        for (;;) {
            pending_ = fill(std::span<float>(piece_.get(), piece_samples()));
            if (pending_ <= 0)
                return true;
            if (!write_pending())
                return false;
        }
    }

private:
    size_t piece_samples() const { return static_cast<size_t>(capacity_) * channels_; }

    SNDFILE* file_ = nullptr;
    std::unique_ptr<float[]> piece_;
    uint32_t channels_ = 0;
    int64_t capacity_ = 0;  // frames the piece holds
    int64_t pending_ = 0;   // frames in the piece not written yet
    bool pcm16_ = false;
};

/// The two pieces between the sound files and the channel blocks.
struct sound_streams {
    input_stream input;
    output_stream output;
};

/// Bytes of the pieces of streams with these channels.
uint64_t sound_stream_bytes(uint32_t input_channels, uint32_t output_channels);

/// Allocates the input's piece, then the output's, for files in these libsndfile formats and
/// of about `expected_frames` frames; throws std::bad_alloc.
sound_streams make_sound_streams(uint32_t input_channels, int input_format,
                                 uint32_t output_channels, int output_format,
                                 uint64_t expected_frames);

}  // namespace kelvo
