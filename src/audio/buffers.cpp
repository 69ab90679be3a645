#include "audio/buffers.h"

#include "audio/vector_clones.h"
#include "memory.h"

#include <algorithm>

namespace kelvo {

// Delegating first makes the object whole, so a throw while filling it runs the destructor.
channel_buffers::channel_buffers(uint32_t channels, uint64_t frames) : channel_buffers() {
    reserve(channels);
    for (uint32_t c = 0; c < channels; ++c)
        emplace_back(frames);
}

channel_buffers::~channel_buffers() {
    while (!empty())
        pop_back();
}

std::optional<uint64_t> block_buffer_bytes(uint64_t block_frames, uint32_t channels,
                                           uint32_t outputs) {
    return checked_product(block_frames, (uint64_t{channels} + outputs) * sizeof(float));
}

// One and two channels, the common cases, get loops with a constant stride, which the
// compiler turns into vector shuffles.
KELVO_VECTOR_CLONES void deinterleave_input(std::span<const float> block,
                                            std::span<std::vector<float>> channels, int64_t first,
                                            int64_t count) {
    const size_t width = channels.size();
    const float* const in = block.data();
    if (count <= 0)
        return;
    if (width == 1) {
        std::copy_n(in, count, channels[0].data() + first);
    } else if (width == 2) {
        float* const left = channels[0].data() + first;
        float* const right = channels[1].data() + first;
        for (int64_t i = 0; i < count; ++i) {
            left[i] = in[2 * i];
            right[i] = in[2 * i + 1];
        }
    } else {
        for (size_t c = 0; c < width; ++c) {
            float* const out = channels[c].data() + first;
            for (int64_t i = 0; i < count; ++i)
                out[i] = in[static_cast<size_t>(i) * width + c];
        }
    }
}

KELVO_VECTOR_CLONES void interleave_output(std::span<const std::vector<float>> sources,
                                           int64_t first, int64_t count, std::span<float> block) {
    const size_t channels = sources.size();
    float* const out = block.data();
    if (count <= 0)
        return;
    if (channels == 1) {
        std::copy_n(sources[0].data() + first, count, out);
    } else if (channels == 2) {
        const float* const left = sources[0].data() + first;
        const float* const right = sources[1].data() + first;
        for (int64_t i = 0; i < count; ++i) {
            out[2 * i] = left[i];
            out[2 * i + 1] = right[i];
        }
    } else {
        for (size_t c = 0; c < channels; ++c) {
            const float* const in = sources[c].data() + first;
            for (int64_t i = 0; i < count; ++i)
                out[static_cast<size_t>(i) * channels + c] = in[i];
        }
    }
}

}  // namespace kelvo
