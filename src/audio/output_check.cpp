#include "audio/output_check.h"

#include "progress.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <utility>

namespace kelvo {

namespace {

constexpr uint32_t infinity_bits = 0x7f800000u;

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

}  // namespace

void check_output_block(std::span<std::vector<float>> channels, int64_t n, bool normalize,
                        output_check_state& state, const char* program_name) {
    for (std::vector<float>& channel : channels) {
        float* const samples = channel.data();
        // The magnitude's bits order like its value, NaN above infinity above 1.0, so one
        // integer maximum, which the compiler vectorizes, finds both the peak and any sample
        // that needs a closer look: beyond full scale in normal mode, not finite in either.
        uint32_t loudest = 0;
        for (int64_t j = 0; j < n; ++j)
            loudest = std::max(loudest, std::bit_cast<uint32_t>(samples[j]) & 0x7fffffffu);
        float peak = std::max(state.peak, std::bit_cast<float>(loudest));
        const uint32_t limit = normalize ? infinity_bits - 1 : std::bit_cast<uint32_t>(1.0f);
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
