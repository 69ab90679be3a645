// Arbitrary float data through the output check, and in normalize mode on through the
// whole-output store and the gain. The first byte picks the channels (1 to 4), the mode and
// the whole-output's starting capacity, the second the block size, the third the frames the
// first block drops as latency; the rest are interleaved samples.

#include "audio/normalize.h"
#include "audio/output_check.h"
#include "messages.h"
#include "require.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

constexpr float untouched = 1234.5f;  // beyond the frames a block is asked to check

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

// What the check must leave of one sample.
float checked(float x, bool normalize) {
    if (std::isnan(x))
        return 0;
    if (normalize)
        return x;
    return std::clamp(x, -1.0f, 1.0f);
}

struct expected_flags {
    bool nan = false;
    bool infinity = false;
    bool clip = false;
    float peak = 0;
};

void check_block(std::vector<std::vector<float>>& channels, int64_t n, bool normalize,
                 kelvo::output_check_state& state, expected_flags& e) {
    std::vector<std::vector<float>> before = channels;
    kelvo::check_output_block(channels, n, normalize, state, kelvo::printed_diagnostics());
    for (size_t c = 0; c < channels.size(); ++c) {
        for (size_t j = 0; j < channels[c].size(); ++j) {
            const float x = before[c][j];
            const float y = channels[c][j];
            if (static_cast<int64_t>(j) >= n) {
                require(same_bits(x, y));
                continue;
            }
            require(same_bits(y, checked(x, normalize)));
            e.nan |= std::isnan(x);
            e.infinity |= std::isinf(x);
            e.clip |= !normalize && (x < -1 || x > 1);
            if (normalize && std::isfinite(y))
                e.peak = std::max(e.peak, std::fabs(y));
        }
    }
    require(state.nan_warned == e.nan && state.infinity_warned == e.infinity &&
            state.clip_warned == e.clip);
    if (normalize)
        require(same_bits(state.peak, e.peak));
}

// The whole output read back scaled by `gain`, interleaved, through pieces of `piece_frames`.
std::vector<float> read_back(const kelvo::whole_output& whole, float gain, size_t piece_frames) {
    const auto channels = static_cast<int64_t>(whole.channels.size());
    std::vector<float> out;
    std::vector<float> piece(piece_frames * whole.channels.size());
    for (int64_t at = 0, n; (n = kelvo::scale_into(whole, gain, at, piece)) > 0; at += n)
        out.insert(out.end(), piece.begin(), piece.begin() + n * channels);
    return out;
}

void check_normalized(const std::vector<float>& written, const std::vector<float>& stored,
                      float peak) {
    const float gain = peak == 0 ? 0 : 1.0f / peak;
    const bool scaled = peak != 0 && std::isfinite(gain);
    require(written.size() == stored.size());
    for (size_t i = 0; i < stored.size(); ++i) {
        const float x = stored[i];
        const float y = written[i];
        require(std::isfinite(y));
        if (std::isinf(x))
            require(y == (std::signbit(x) ? -1.0f : 1.0f));
        else
            require(same_bits(y, scaled ? x * gain : x));
        if (scaled)
            require(std::fabs(y) <= 1.0f + 1e-6f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static FILE* const report = std::fopen("/dev/null", "w");
    if (size < 3)
        return 0;
    const auto channels = static_cast<size_t>((data[0] & 3) + 1);
    const bool normalize = (data[0] & 4) != 0;
    const uint64_t initial_frames = data[0] >> 3;
    const auto block = static_cast<size_t>(data[1]) + 1;
    const auto first_skip = static_cast<int64_t>(data[2]);
    const size_t frames = (size - 3) / (sizeof(float) * channels);
    std::vector<float> samples(frames * channels);
    if (frames > 0)
        std::memcpy(samples.data(), data + 3, samples.size() * sizeof(float));

    kelvo::output_check_state state;
    expected_flags expected;
    kelvo::whole_output whole =
        kelvo::make_whole_output(static_cast<uint32_t>(channels), initial_frames);
    std::vector<float> stored;  // interleaved, what the whole output must hold
    std::vector<std::vector<float>> buffers(channels, std::vector<float>(block, untouched));
    for (size_t start = 0; start < frames; start += block) {
        const size_t n = std::min(block, frames - start);
        for (size_t c = 0; c < channels; ++c) {
            for (size_t j = 0; j < n; ++j)
                buffers[c][j] = samples[(start + j) * channels + c];
        }
        check_block(buffers, static_cast<int64_t>(n), normalize, state, expected);
        if (!normalize)
            continue;
        const int64_t skip = start == 0 ? first_skip : 0;
        require(kelvo::append(whole, buffers, skip, static_cast<int64_t>(n) - skip));
        for (auto j = static_cast<size_t>(skip); j < n; ++j) {
            for (size_t c = 0; c < channels; ++c)
                stored.push_back(buffers[c][j]);
        }
    }
    if (!normalize)
        return 0;
    require(whole.stored_frames == static_cast<int64_t>(stored.size() / channels));
    // Pieces of one frame and of an odd size cross every chunk boundary.
    const float gain = kelvo::normalization_gain(state.peak, report);
    check_normalized(read_back(whole, gain, 1), stored, state.peak);
    check_normalized(read_back(whole, gain, block % 7 + 1), stored, state.peak);
    return 0;
}
