#pragma once

#include "audio/buffers.h"
#include "audio/file_streams.h"
#include "audio/loudness.h"
#include "audio/normalize.h"
#include "host/session.h"

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <span>
#include <vector>

namespace kelvo {

/// A latency report longer than this is not believed.
constexpr double max_plausible_latency_seconds = 60;

/// Latency compensation across the blocks of a run: not read, then dropping, then done.
struct latency_state {
    /// Frames still to drop; negative until the plugin reports. A double, so that taking a
    /// block at a time off a latency of more than 2^24 frames stays exact.
    double remaining_latency = -1;
    bool off = false;  ///< set by an implausible report: nothing more is dropped
};

/// True when `reported` rounds to a finite number of frames no larger than `max_frames`.
/// Finite negative values pass: they mean the plugin has not said yet.
bool plausible_latency(float reported, double max_frames);

/// Takes the plugin's report while the latency is unread; turns compensation off and returns
/// false when the report is implausible.
bool read_latency(latency_state& state, float reported, double max_frames);

/// The quietest sample of a tail that is kept: -96 dBFS.
constexpr float audible_level = 1.5848932e-5f;

/// How many of the first `frames` frames to keep so that the last one kept has a sample at or
/// above audible_level in some channel (an infinite one counts).
int64_t audible_frames(std::span<const std::vector<float>> channels, int64_t frames);

/// The frames to drop from the front of a block of `frames` (all of them while dropping).
int64_t skip_frames(latency_state& state, int64_t frames);

/// Everything the block loop works with; all of it belongs to the run.
struct block_loop_io {
    uint64_t block_frames;
    bool timing;     ///< measure processor time and report it
    bool normalize;  ///< hold the output and scale it at the end: to full scale, or as below
    SNDFILE* input;
    SNDFILE* output;
    plugin_session& plugin;
    sound_streams& streams;  ///< the pieces between the files and the blocks
    audio_buffers& buffers;
    whole_output& whole;  ///< used in normalize mode only
    channel_buffers& tail;  ///< room for the most tail frames to keep; empty without one
    double sample_rate;
    int64_t input_frames;  ///< what the input's header declares; 0 or less when unknown
    FILE* report;          ///< where the gain and timing lines go
    const loudness_target* loudness = nullptr;  ///< scale to a loudness instead; null if not
};

/// Reads, runs, checks and writes every block, flushes the latency tail, normalizes and
/// reports timing. False after a read, write or memory error, which stops it at once.
bool process_blocks(const block_loop_io& io);

}  // namespace kelvo
