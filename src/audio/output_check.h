#pragma once

#include "diagnostics.h"

#include <cstdint>
#include <span>
#include <vector>

namespace kelvo {

/// Carried across every block of a run.
struct output_check_state {
    bool nan_warned = false;
    bool infinity_warned = false;
    bool clip_warned = false;
    float peak = 0;  ///< largest finite magnitude seen (normalize mode only)
};

/// Fixes frames `from` to n - 1 of every channel in place: NaN becomes 0; in normal mode samples
/// are clipped to full scale, in normalize mode the peak is measured instead and infinities
/// are left for normalization. Each kind of bad sample warns once per run, to `d`.
void check_output_block(std::span<std::vector<float>> channels, int64_t n, bool normalize,
                        output_check_state& state, diagnostics& d, int64_t from = 0);

/// Replaces every sample of the first `n` frames that is NaN or infinite by 0; true when
/// there was one. One pass over samples that are all finite.
bool replace_non_finite(std::span<std::vector<float>> channels, int64_t n);

}  // namespace kelvo
