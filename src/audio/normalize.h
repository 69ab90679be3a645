#pragma once

#include "audio/buffers.h"
#include "audio/file_streams.h"
#include "audio/output_check.h"

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

namespace kelvo {

/// Frames per channel that the whole-output buffers may start with on the word of the
/// input's header alone; beyond that they grow as frames arrive.
constexpr uint64_t trusted_declared_frames = uint64_t{1} << 20;

/// The processed output held in memory until it can be scaled (normalize mode).
struct whole_output {
    channel_buffers channels;  ///< one per required audio output
    int64_t stored_frames = 0;
};

/// The frames per channel to start with for an input that declares `declared` frames.
uint64_t initial_whole_frames(int64_t declared);

/// Allocates `outputs` channels of `frames` each; throws std::bad_alloc when memory runs out.
whole_output make_whole_output(uint32_t outputs, uint64_t frames);

/// Appends frames `start` to `count - 1` of every channel, growing the buffers when they are
/// full. False after the out-of-memory error.
bool append(whole_output& whole, std::span<const std::vector<float>> channels, int64_t count,
            int64_t start, const char* program_name);

/// Scales the stored output to full scale, reporting the gain on `report`.
void normalize(whole_output& whole, float peak, FILE* report, const char* program_name);

/// Writes the stored output through `out`, a piece at a time; false after a write error.
bool write_whole_output(const whole_output& whole, output_stream& out, const char* program_name);

}  // namespace kelvo
