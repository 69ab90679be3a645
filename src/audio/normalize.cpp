#include "audio/normalize.h"

#include "audio/vector_clones.h"
#include "memory.h"

#include <sys/mman.h>

#include <algorithm>
#include <bit>
#include <cmath>

namespace kelvo {

namespace {

constexpr char msg_silent[] = "the plugin produced silent output, cannot normalize";
constexpr char msg_gain[] = "Applying %gx gain (%g dB) to all output channels\n";

constexpr uintptr_t huge_page = uintptr_t{1} << 21;
constexpr int64_t huge_page_frames = huge_page / sizeof(float);

// Asks for huge pages under the frames of a chunk that the input's header says will be
// filled, where the system grants them: a page fault per 2 MiB rather than per 4 KiB. Only
// those frames: a huge page is in memory whole once a sample is stored in it.
void advise_huge_pages(const whole_output& whole, float* samples, int64_t chunk_start,
                       int64_t frames) {
    const int64_t filled = std::min(frames, whole.expected_frames - chunk_start);
    if (filled <= 0)
        return;
    const auto start = reinterpret_cast<uintptr_t>(samples);
    const uintptr_t first = (start + huge_page - 1) & ~(huge_page - 1);
    const uintptr_t last =
        (start + static_cast<uintptr_t>(filled) * sizeof(float)) & ~(huge_page - 1);
    if (first < last)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
}

// Not zeroed: the pages of a large chunk stay untouched until samples are stored there. A
// chunk of several huge pages starts on a huge page's boundary, so that none of its frames
// lies in a part page before the first: the spare frames in front are never touched.
void add_chunk(whole_output& whole, int64_t frames) {
    const bool align = frames >= 2 * huge_page_frames;
    for (whole_channel& channel : whole.channels) {
        std::unique_ptr<float[]>& chunk = channel.chunks[whole.chunk_count];
        chunk.reset(new float[static_cast<size_t>(frames + (align ? huge_page_frames : 0))]);
        const auto at = reinterpret_cast<uintptr_t>(chunk.get());
        float* const samples =
            align ? chunk.get() + ((huge_page - at % huge_page) % huge_page) / sizeof(float)
                  : chunk.get();
        channel.samples[whole.chunk_count] = samples;
        advise_huge_pages(whole, samples, whole.capacity, frames);
    }
    whole.chunk_frames[whole.chunk_count++] = frames;
    whole.capacity += frames;
}

// Room for `needed` frames per channel: a chunk that at least doubles the room, but never
// plans more than the machine's memory.
bool grow(whole_output& whole, int64_t needed) {
    const uint64_t frame_bytes = whole.channels.size() * sizeof(float);
    const auto memory_frames = static_cast<int64_t>(physical_memory_bytes() / frame_bytes);
    if (needed > memory_frames || whole.chunk_count == max_whole_chunks) {
        report_out_of_memory();
        return false;
    }
    const int64_t frames =
        std::max(needed - whole.capacity, std::min(whole.capacity, memory_frames - needed));
    return allocate_or_report([&] { add_chunk(whole, frames); });
}

// Infinities go to full scale by their sign; the peak never counted them. The choice is
// made on the bits, which the compiler can do for a vector of samples at once.
float scaled(float x, float gain) {
    const auto bits = std::bit_cast<uint32_t>(x);
    const uint32_t infinite = 0u - static_cast<uint32_t>((bits & 0x7fffffffu) == 0x7f800000u);
    const uint32_t full_scale = (bits & 0x80000000u) | std::bit_cast<uint32_t>(1.0f);
    const auto product = std::bit_cast<uint32_t>(x * gain);
    return std::bit_cast<float>((full_scale & infinite) | (product & ~infinite));
}

// The channels scaled in one pass; more are taken a group at a time.
constexpr size_t max_scaled_channels = 8;

// Frames 0 to `n - 1` of the channels `in`, scaled, into the interleaved `out` that has
// `stride` channels. One and two channels, the common cases, get loops with a constant
// stride.
KELVO_VECTOR_CLONES void scale_stretch(std::span<const float* const> in, size_t stride,
                                       int64_t n, float gain, float* out) {
    if (stride == 1) {
        for (int64_t i = 0; i < n; ++i)
            out[i] = scaled(in[0][i], gain);
    } else if (stride == 2 && in.size() == 2) {
        for (int64_t i = 0; i < n; ++i) {
            out[2 * i] = scaled(in[0][i], gain);
            out[2 * i + 1] = scaled(in[1][i], gain);
        }
    } else {
        for (size_t c = 0; c < in.size(); ++c) {
            for (int64_t i = 0; i < n; ++i)
                out[static_cast<size_t>(i) * stride + c] = scaled(in[c][i], gain);
        }
    }
}

// Calls `visit(chunk, first frame in it, frame of the output, frames)` for each stretch of
// frames `from` to `from + count - 1` that lies in one chunk.
template <typename Visit>
void for_each_stretch(const whole_output& whole, int64_t from, int64_t count, Visit visit) {
    int64_t chunk_start = 0;
    for (size_t k = 0; k < whole.chunk_count && count > 0; ++k) {
        const int64_t chunk_end = chunk_start + whole.chunk_frames[k];
        if (from < chunk_end) {
            const int64_t n = std::min(count, chunk_end - from);
            visit(k, from - chunk_start, from, n);
            from += n;
            count -= n;
        }
        chunk_start = chunk_end;
    }
}

}  // namespace

// Chunks go newest first, channel by channel from the last, as they were allocated; every
// slot is visited, so a chunk half added when memory ran out goes too.
whole_output::~whole_output() {
    for (size_t k = max_whole_chunks; k > 0; --k) {
        for (size_t c = channels.size(); c > 0; --c)
            channels[c - 1].chunks[k - 1].reset();
    }
}

uint64_t initial_whole_frames(int64_t declared) {
    if (declared >= 0 && static_cast<uint64_t>(declared) <= trusted_declared_frames)
        return static_cast<uint64_t>(declared);
    return trusted_declared_frames;
}

whole_output make_whole_output(uint32_t outputs, uint64_t frames, int64_t expected_frames) {
    whole_output whole;
    whole.expected_frames = expected_frames;
    whole.channels.resize(outputs);
    if (frames > 0)
        add_chunk(whole, static_cast<int64_t>(frames));
    return whole;
}

bool append(whole_output& whole, std::span<const std::vector<float>> channels, int64_t first,
            int64_t count) {
    if (count <= 0)
        return true;
    const int64_t needed = whole.stored_frames + count;
    if (!whole.channels.empty() && needed > whole.capacity && !grow(whole, needed))
        return false;
    for_each_stretch(whole, whole.stored_frames, count, [&](size_t k, int64_t at, int64_t frame,
                                                        int64_t frames) {
        const int64_t source = first + frame - whole.stored_frames;
        for (size_t c = 0; c < channels.size(); ++c)
            std::copy_n(channels[c].data() + source, frames, whole.channels[c].samples[k] + at);
    });
    whole.stored_frames = needed;
    return true;
}

float normalization_gain(float peak, FILE* report) {
    const float gain = peak == 0 ? 0 : 1.0f / peak;
    // A denormal peak has no finite reciprocal: the output is as good as silent.
    if (peak == 0 || !std::isfinite(gain)) {
        warning(msg_silent);
        return 1;
    }
    std::fprintf(report, msg_gain, static_cast<double>(gain),
                 20.0 * static_cast<double>(std::log10(gain)));
    return gain;
}

int64_t scale_into(const whole_output& whole, float gain, int64_t from, std::span<float> piece) {
    const size_t count = whole.channels.size();
    const int64_t frames =
        std::min(whole.stored_frames - from, static_cast<int64_t>(piece.size() / count));
    std::array<const float*, max_scaled_channels> sources{};
    for (size_t first = 0; first < count; first += max_scaled_channels) {
        const size_t group = std::min(count - first, max_scaled_channels);
        for_each_stretch(whole, from, frames, [&](size_t k, int64_t at, int64_t frame, int64_t n) {
            for (size_t c = 0; c < group; ++c)
                sources[c] = whole.channels[first + c].samples[k] + at;
            float* const out = piece.data() + static_cast<size_t>(frame - from) * count + first;
            scale_stretch(std::span(sources).first(group), count, n, gain, out);
        });
    }
    return std::max<int64_t>(frames, 0);
}

bool write_whole_output(const whole_output& whole, float gain, output_stream& out) {
    int64_t position = 0;
    return out.write_pieces([&](std::span<float> piece) {
        const int64_t n = scale_into(whole, gain, position, piece);
        position += n;
        return n;
    });
}

}  // namespace kelvo
