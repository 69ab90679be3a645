#pragma once

#include <cstdint>

namespace kelvo {

// The self-erasing progress line on standard error. There is one standard error, so there
// is one line per process; everything here does nothing unless standard error is a terminal.

/// Starts the clock for a run through `total_frames` input frames (0 when unknown).
void progress_start(const char* program_name, int64_t total_frames, double sample_rate);

/// Notes `done` input frames processed. From one second into the run, it redraws the line at
/// most ten times a second.
void progress_update(int64_t done);

/// Takes the line off the terminal, so that a message can be printed in its place. The next
/// update draws it again.
void progress_erase();

}  // namespace kelvo
