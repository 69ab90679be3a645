// The per-sample work of every block, against a plain copy of the same bytes.

#include "audio/buffers.h"
#include "audio/normalize.h"
#include "audio/output_check.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace kelvo {
namespace {

channel_buffers make_channels(int64_t channels, int64_t frames) {
    channel_buffers out(static_cast<uint32_t>(channels), static_cast<uint64_t>(frames));
    for (auto& c : out) {
        for (size_t i = 0; i < c.size(); ++i)
            c[i] = static_cast<float>(i % 1000) / 1000.0f - 0.5f;
    }
    return out;
}

void set_throughput(benchmark::State& state, int64_t samples) {
    state.SetBytesProcessed(state.iterations() * samples * static_cast<int64_t>(sizeof(float)));
}

void BM_copy(benchmark::State& state) {
    const int64_t samples = state.range(0) * state.range(1);
    std::vector<float> from(static_cast<size_t>(samples), 0.25f);
    std::vector<float> to(from.size());
    for (auto _ : state) {
        std::memcpy(to.data(), from.data(), from.size() * sizeof(float));
        benchmark::ClobberMemory();
    }
    set_throughput(state, samples);
}

void BM_deinterleave(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    std::vector<float> block(static_cast<size_t>(channels * frames), 0.25f);
    auto out = make_channels(channels, frames);
    for (auto _ : state) {
        deinterleave_input(block, out, frames);
        benchmark::ClobberMemory();
    }
    set_throughput(state, channels * frames);
}

void BM_interleave(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    const auto in = make_channels(channels, frames);
    std::vector<float> block(static_cast<size_t>(channels * frames));
    for (auto _ : state) {
        interleave_output(in, frames, 0, 0, block);
        benchmark::ClobberMemory();
    }
    set_throughput(state, channels * frames);
}

void BM_check_output(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    const bool normalize = state.range(2) != 0;
    auto out = make_channels(channels, frames);
    output_check_state check;
    for (auto _ : state) {
        check_output_block(out, frames, normalize, check, "kelvo");
        benchmark::ClobberMemory();
    }
    set_throughput(state, channels * frames);
}

void BM_normalize(benchmark::State& state) {
    const int64_t channels = state.range(0), frames = state.range(1);
    whole_output whole{make_channels(channels, frames), frames};
    std::FILE* sink = std::tmpfile();
    for (auto _ : state) {
        normalize(whole, 1.0f, sink, "kelvo");
        benchmark::ClobberMemory();
    }
    std::fclose(sink);
    set_throughput(state, channels * frames);
}

BENCHMARK(BM_copy)->Args({2, 512})->Args({2, 4096})->Args({2, 1 << 20});
BENCHMARK(BM_deinterleave)->Args({1, 512})->Args({2, 512})->Args({2, 4096})->Args({6, 4096});
BENCHMARK(BM_interleave)->Args({1, 512})->Args({2, 512})->Args({2, 4096})->Args({6, 4096});
BENCHMARK(BM_check_output)->Args({2, 512, 0})->Args({2, 4096, 0})->Args({2, 4096, 1});
BENCHMARK(BM_normalize)->Args({2, 1 << 20});

}  // namespace
}  // namespace kelvo
