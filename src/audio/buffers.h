#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvo {

/// A table of one sample buffer per channel. It frees its buffers newest first, so that a
/// table that is only partly built unwinds in the reverse order of its allocation.
struct channel_buffers : std::vector<std::vector<float>> {
    channel_buffers() = default;
    /// Allocates the table, then each channel's buffer in order; throws std::bad_alloc.
    channel_buffers(uint32_t channels, uint64_t frames);
    channel_buffers(channel_buffers&&) noexcept = default;
    channel_buffers& operator=(channel_buffers&&) noexcept = default;
    ~channel_buffers();
};

/// The largest block the plugin interface can run: `run` takes a 32-bit frame count.
constexpr uint64_t max_block_frames = UINT32_MAX;

/// Bytes the blocks take, or nothing when the size does not fit in 64 bits.
std::optional<uint64_t> block_buffer_bytes(uint64_t block_frames, uint32_t channels,
                                           uint32_t outputs);

/// Splits the first `count` frames of the interleaved `block` into the channel buffers, from
/// frame `first` of each on.
void deinterleave_input(std::span<const float> block, std::span<std::vector<float>> channels,
                        int64_t first, int64_t count);

/// Joins `count` frames of `sources`, from frame `first` on, into the front of the
/// interleaved `block`.
void interleave_output(std::span<const std::vector<float>> sources, int64_t first, int64_t count,
                       std::span<float> block);

}  // namespace kelvo
