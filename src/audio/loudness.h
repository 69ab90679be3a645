#pragma once

#include "audio/normalize.h"

#include <sndfile.h>

#include <cstdint>
#include <cstdio>
#include <optional>
#include <span>
#include <vector>

namespace kelvo {

/// The range `--loudness` takes, in LUFS: the absolute gate to full scale.
constexpr double min_loudness = -70;
constexpr double max_loudness = 0;

/// The range `--true-peak` takes, in dBTP, and its value when not given.
constexpr double min_true_peak = -20;
constexpr double max_true_peak = 0;
constexpr double default_true_peak = -1;

/// What `--loudness` asks of the output.
struct loudness_target {
    double lufs;          ///< integrated loudness to reach
    double ceiling_dbtp;  ///< the true peak stays at or below this
};

/// How each output channel counts in the loudness, as libebur128's channel names: left and
/// right for mono and stereo, the standard's weights for 5.1 and 7.1 (the LFE left out, the
/// surround channels +1.5 dB) from `file_map` (libsndfile's channel map of the file, empty
/// when unknown) or else the usual WAV order, and 1.0 for every channel of any other count.
std::vector<int> loudness_channels(uint32_t channels, std::span<const int> file_map);

/// The integrated loudness and the true peak of a stored output.
struct loudness_measurement {
    double lufs = 0;       ///< -HUGE_VAL when no block is above the absolute gate
    double true_peak = 0;  ///< linear: the largest of every channel's
};

/// Measures the stored output at `sample_rate`, each channel counted as `channels` says.
/// Infinite samples are set to full scale by their sign first, as they will be written.
/// Throws std::bad_alloc when memory runs out.
loudness_measurement measure_loudness(whole_output& whole, double sample_rate,
                                      std::span<const int> channels);

/// The gain that brings a measured output to a target, and what it gives.
struct loudness_gain {
    bool measurable = false;  ///< some block is above the absolute gate
    bool capped = false;      ///< the ceiling, not the target, set the gain
    float gain = 1;           ///< what the samples are multiplied by
    double gain_db = 0;       ///< 20 log10(gain)
    double lufs_after = 0;
    double true_peak_after_dbtp = 0;
};

/// The one gain for `m` and `t`: the target's, lowered where the true peak would pass the
/// ceiling. A gain of 1 when nothing is measurable.
loudness_gain plan_loudness_gain(const loudness_measurement& m, const loudness_target& t);

/// Measures the stored output, prints the gain line on `report` and the warnings, and
/// returns the gain to write with; nothing after the out-of-memory error. The channel map,
/// where libsndfile knows one, comes from `input`.
std::optional<float> apply_loudness(whole_output& whole, const loudness_target& target,
                                    double sample_rate, SNDFILE* input, FILE* report);

}  // namespace kelvo
