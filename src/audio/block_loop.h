#pragma once

#include "audio/buffers.h"
#include "audio/file_streams.h"
#include "audio/loudness.h"
#include "audio/normalize.h"
#include "engine/chain.h"

#include <sndfile.h>

#include <cstdint>
#include <cstdio>

namespace kelvo {

/// Everything the block loop works with; all of it belongs to the run.
struct block_loop_io {
    bool timing;     ///< measure processor time and report it
    bool normalize;  ///< hold the output and scale it at the end: to full scale, or as below
    SNDFILE* input;
    SNDFILE* output;
    chain& plugins;
    sound_streams& streams;  ///< the pieces between the files and the blocks
    whole_output& whole;     ///< used in normalize mode only
    channel_buffers& tail;   ///< room for the most tail frames to keep; empty without one
    double sample_rate;
    int64_t input_frames;  ///< what the input's header declares; 0 or less when unknown
    FILE* report;          ///< where the gain and timing lines go
    const loudness_target* loudness = nullptr;  ///< scale to a loudness instead; null if not
};

/// Reads, runs, checks and writes every block, flushes the latency tail, normalizes and
/// reports timing. False after a read, write or memory error, which stops it at once.
bool process_blocks(const block_loop_io& io);

}  // namespace kelvo
