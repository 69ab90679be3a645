#pragma once

#include "audio/file_streams.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <span>
#include <vector>

namespace kelvo {

/// Frames per channel that the whole-output buffers may start with on the word of the
/// input's header alone; beyond that they grow as frames arrive.
constexpr uint64_t trusted_declared_frames = uint64_t{1} << 20;

/// The most chunks a channel can have: each one at least doubles the room.
constexpr size_t max_whole_chunks = 64;

/// One channel of the whole output, in chunks. A new chunk at least doubles the room, so
/// growing never moves a stored sample, and memory is only touched where samples are stored.
struct whole_channel {
    std::array<std::unique_ptr<float[]>, max_whole_chunks> chunks;  ///< as allocated
    std::array<float*, max_whole_chunks> samples{};  ///< where each chunk's frames start
};

/// The processed output held in memory until it can be scaled (normalize mode).
struct whole_output {
    whole_output() = default;
    whole_output(whole_output&&) noexcept = default;
    whole_output& operator=(whole_output&&) noexcept = default;
    ~whole_output();  // frees the chunks newest first

    std::vector<whole_channel> channels;  ///< one per required audio output
    std::array<int64_t, max_whole_chunks> chunk_frames{};  ///< the same for every channel
    size_t chunk_count = 0;
    int64_t capacity = 0;  ///< frames per channel the chunks hold
    int64_t stored_frames = 0;
    int64_t expected_frames = 0;  ///< what the input declares: the output will be as long
};

/// The frames per channel to start with for an input that declares `declared` frames.
uint64_t initial_whole_frames(int64_t declared);

/// Allocates `outputs` channels with room for `frames` each, for an output expected to be
/// `expected_frames` long (0 when unknown); throws std::bad_alloc when memory runs out.
whole_output make_whole_output(uint32_t outputs, uint64_t frames, int64_t expected_frames = 0);

/// Appends `count` frames of every channel, from frame `first` on, growing the buffers when
/// they are full. False after the out-of-memory error.
bool append(whole_output& whole, std::span<const std::vector<float>> channels, int64_t first,
            int64_t count);

/// Reports the gain that brings `peak` to full scale on `report` and returns it; a silent
/// output is left as it is (gain 1) with a warning.
float normalization_gain(float peak, FILE* report);

/// Scales frames `from` on of the stored output by `gain` (infinities go to full scale by
/// their sign) and interleaves as many as fit into `piece`; returns how many it took.
int64_t scale_into(const whole_output& whole, float gain, int64_t from, std::span<float> piece);

/// Writes the stored output, scaled by `gain`, through `out` a piece at a time; false after
/// a write error.
bool write_whole_output(const whole_output& whole, float gain, output_stream& out);

}  // namespace kelvo
