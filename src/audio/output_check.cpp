#include "audio/output_check.h"

#include "audio/vector_clones.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace kelvo {

namespace {

constexpr int32_t infinity_bits = 0x7f800000;

constexpr char msg_nan[] = "NaN detected in audio output";
constexpr char msg_infinity[] = "infinity value detected in audio output";
constexpr char msg_clipping[] = "out of range value detected in audio output, clipping";

// True the first time only: each kind of bad sample is reported once per run, on a line of
// its own.
bool first_time(bool& warned) { return !std::exchange(warned, true); }

// The rare samples: NaN, infinities, and in normal mode anything beyond full scale.
void fix_sample(float& x, bool normalize, output_check_state& s, diagnostics& d) {
    if (std::isnan(x)) {
        if (first_time(s.nan_warned))
            report_warning(d, msg_nan);
        x = 0;
        return;
    }
    if (std::isinf(x)) {
        if (first_time(s.infinity_warned))
            report_warning(d, msg_infinity);
        if (normalize)
            return;
    }
    if (!normalize && (x < -1 || x > 1)) {
        x = x < -1 ? -1.0f : 1.0f;
        if (first_time(s.clip_warned))
            report_warning(d, msg_clipping);
    }
}

// The magnitude's bits order like its value, NaN above infinity above 1.0, so one integer
// maximum finds both the peak and any sample that needs a closer look. Sixteen lanes of
// their own let the compiler keep several vector maxima going at once; as the bits are
// never negative, the signed maximum, which the x86-64 baseline has, will do.
KELVO_VECTOR_CLONES int32_t loudest_bits(const float* samples, int64_t n) {
    constexpr size_t lanes = 16;
    std::array<int32_t, lanes> lane{};
    int64_t j = 0;
    for (; j + static_cast<int64_t>(lanes) <= n; j += lanes) {
        const float* const block = samples + j;
        for (size_t k = 0; k < lanes; ++k)
            lane[k] = std::max(lane[k], std::bit_cast<int32_t>(block[k]) & 0x7fffffff);
    }
    int32_t loudest = *std::max_element(lane.begin(), lane.end());
    for (; j < n; ++j)
        loudest = std::max(loudest, std::bit_cast<int32_t>(samples[j]) & 0x7fffffff);
    return loudest;
}

}  // namespace

void check_output_block(std::span<std::vector<float>> channels, int64_t n, bool normalize,
                        output_check_state& state, diagnostics& d, int64_t from) {
    n -= from;
    for (std::vector<float>& channel : channels) {
        float* const samples = channel.data() + from;
        const int32_t loudest = loudest_bits(samples, n);
        float peak = std::max(state.peak, std::bit_cast<float>(loudest));
        // Beyond full scale in normal mode, not finite in either.
        const int32_t limit = normalize ? infinity_bits - 1 : std::bit_cast<int32_t>(1.0f);
        if (loudest > limit) {
            peak = state.peak;
            for (int64_t j = 0; j < n; ++j) {
                fix_sample(samples[j], normalize, state, d);
                const float a = std::fabs(samples[j]);
                if (std::isfinite(a) && a > peak)
                    peak = a;
            }
        }
        if (normalize)
            state.peak = peak;
    }
}

bool replace_non_finite(std::span<std::vector<float>> channels, int64_t n) {
    bool replaced = false;
    for (std::vector<float>& channel : channels) {
        float* const samples = channel.data();
        if (loudest_bits(samples, n) < infinity_bits)
            continue;
        replaced = true;
        for (int64_t j = 0; j < n; ++j)
            samples[j] = std::isfinite(samples[j]) ? samples[j] : 0.0f;
    }
    return replaced;
}

}  // namespace kelvo
