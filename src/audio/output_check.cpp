#include "audio/output_check.h"

#include "progress.h"

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

constexpr char msg_nan[] = "%s: warning: NaN detected in audio output\n";
constexpr char msg_infinity[] = "%s: warning: infinity value detected in audio output\n";
constexpr char msg_clipping[] =
    "%s: warning: out of range value detected in audio output, clipping\n";

// True the first time only: each kind of bad sample is reported once per run, on a line of
// its own.
bool first_time(bool& warned) {
    if (std::exchange(warned, true))
        return false;
    progress_erase();
    return true;
}

// The rare samples: NaN, infinities, and in normal mode anything beyond full scale.
void fix_sample(float& x, bool normalize, output_check_state& s, const char* program_name) {
    if (std::isnan(x)) {
        if (first_time(s.nan_warned))
            std::fprintf(stderr, msg_nan, program_name);
        x = 0;
        return;
    }
    if (std::isinf(x)) {
        if (first_time(s.infinity_warned))
            std::fprintf(stderr, msg_infinity, program_name);
        if (normalize)
            return;
    }
    if (!normalize && (x < -1 || x > 1)) {
        x = x < -1 ? -1.0f : 1.0f;
        if (first_time(s.clip_warned))
            std::fprintf(stderr, msg_clipping, program_name);
    }
}

// The magnitude's bits order like its value, NaN above infinity above 1.0, so one integer
// maximum finds both the peak and any sample that needs a closer look. Sixteen lanes of
// their own let the compiler keep several vector maxima going at once; as the bits are
// never negative, the signed maximum, which the x86-64 baseline has, will do.
int32_t loudest_bits(const float* samples, int64_t n) {
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
                        output_check_state& state, const char* program_name) {
    for (std::vector<float>& channel : channels) {
        float* const samples = channel.data();
        const int32_t loudest = loudest_bits(samples, n);
        float peak = std::max(state.peak, std::bit_cast<float>(loudest));
        // Beyond full scale in normal mode, not finite in either.
        const int32_t limit = normalize ? infinity_bits - 1 : std::bit_cast<int32_t>(1.0f);
        if (loudest > limit) {
            peak = state.peak;
            for (int64_t j = 0; j < n; ++j) {
                fix_sample(samples[j], normalize, state, program_name);
                const float a = std::fabs(samples[j]);
                if (std::isfinite(a) && a > peak)
                    peak = a;
            }
        }
        if (normalize)
            state.peak = peak;
    }
}

}  // namespace kelvo
