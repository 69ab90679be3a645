// The per-sample work of every block, against a plain copy of the same bytes. Every benchmark
// counts samples (frames x channels) as its items, so the rates compare across channel counts.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "audio/buffers.h"
#include "audio/normalize.h"
#include "audio/output_check.h"
#include "messages.h"

namespace kelvo {
namespace {

// A ramp inside full scale: nothing for the output check to fix.
channel_buffers make_channels(int64_t channels, int64_t frames) {
    channel_buffers out(static_cast<uint32_t>(channels), static_cast<uint64_t>(frames));
    for (auto& c : out) {
        for (size_t i = 0; i < c.size(); ++i) c[i] = static_cast<float>(i % 1000) / 1000.0f - 0.5f;
    }
    return out;
}

// One NaN, one infinity and one sample beyond full scale per channel, spread over the block.
void spoil(channel_buffers& channels) {
    for (auto& c : channels) {
        c[c.size() / 7] = std::numeric_limits<float>::quiet_NaN();
        c[c.size() / 2] = -std::numeric_limits<float>::infinity();
        c[c.size() - 1] = 1.5f;
    }
}

void set_samples(benchmark::State& state, int64_t samples_per_iteration) {
    state.SetItemsProcessed(state.iterations() * samples_per_iteration);
}

void BM_copy(benchmark::State& state) {
    const int64_t samples = state.range(0) * state.range(1);
    std::vector<float> from(static_cast<size_t>(samples), 0.25f);
    std::vector<float> to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size() * sizeof(float));
        benchmark::ClobberMemory();
    }
    set_samples(state, samples);
}

void BM_deinterleave(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    std::vector<float> block(static_cast<size_t>(channels * frames), 0.25f);
    auto out = make_channels(channels, frames);
    for (auto _ : state) {
        deinterleave_input(block, out, 0, frames);
        benchmark::ClobberMemory();
    }
    set_samples(state, channels * frames);
}

void BM_interleave(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    const auto in = make_channels(channels, frames);
    std::vector<float> block(static_cast<size_t>(channels * frames));
    for (auto _ : state) {
        interleave_output(in, 0, frames, block);
        benchmark::ClobberMemory();
    }
    set_samples(state, channels * frames);
}

// Arguments: channels, frames, normalize mode (0 or 1), dirty data (0 or 1).
void BM_check_output(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    const bool normalize = state.range(2) != 0;
    const bool dirty = state.range(3) != 0;
    auto out = make_channels(channels, frames);
    // As in a run past its first bad block: every warning already given, so none is printed.
    output_check_state check{.nan_warned = true, .infinity_warned = true, .clip_warned = true};
    for (auto _ : state) {
        // The check repairs the block in place: spoil it again so every pass takes the fixing
        // path. Three stores per channel cost nothing beside the scan.
        if (dirty) spoil(out);
        check_output_block(out, frames, normalize, check, printed_diagnostics());
        benchmark::ClobberMemory();
    }
    set_samples(state, channels * frames);
}

void BM_normalize(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    whole_output whole = make_whole_output(static_cast<uint32_t>(channels), 1);
    const auto source = make_channels(channels, frames);
    append(whole, source, 0, frames);
    std::vector<float> piece(static_cast<size_t>(channels) * 65536);
    // Scaling into interleaved pieces, as the write-out does; a gain of 1/2 is exact and is
    // not the 1 a kernel might skip.
    for (auto _ : state) {
        for (int64_t at = 0, n; (n = scale_into(whole, 0.5f, at, piece)) > 0; at += n)
            benchmark::DoNotOptimize(piece.data());
        benchmark::ClobberMemory();
    }
    set_samples(state, channels * frames);
}

void channel_counts(benchmark::internal::Benchmark* b) {
    for (const int64_t channels : {1, 2, 6}) {
        for (const int64_t frames : {512, 4096}) b->Args({channels, frames});
    }
}

void check_cases(benchmark::internal::Benchmark* b) {
    for (const int64_t normalize : {0, 1}) {
        for (const int64_t dirty : {0, 1}) {
            for (const int64_t frames : {512, 4096}) b->Args({2, frames, normalize, dirty});
        }
    }
}

BENCHMARK(BM_copy)
    ->ArgNames({"channels", "frames"})
    ->Args({2, 512})
    ->Args({2, 4096})
    ->Args({2, 1 << 20});
BENCHMARK(BM_deinterleave)->ArgNames({"channels", "frames"})->Apply(channel_counts);
BENCHMARK(BM_interleave)->ArgNames({"channels", "frames"})->Apply(channel_counts);
BENCHMARK(BM_check_output)
    ->ArgNames({"channels", "frames", "normalize", "dirty"})
    ->Apply(check_cases);
BENCHMARK(BM_normalize)->ArgNames({"channels", "frames"})->Args({2, 1 << 14})->Args({2, 1 << 20});

}  // namespace
}  // namespace kelvo
