#include "audio/buffers.h"

#include "audio/file_streams.h"
#include "memory.h"

#include <algorithm>

namespace kelvo {

namespace {

// Assigning `{}` would only clear a vector; taking a new one frees the storage now.
void release(std::vector<float>& samples) { samples = std::vector<float>(); }

void release(channel_buffers& channels) {
    for (std::vector<float>& channel : channels)
        release(channel);
    channels = channel_buffers();
}

}  // namespace

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
    // A block of every channel, plus one interleaved piece each way.
    const uint64_t per_frame = (uint64_t{channels} + outputs) * sizeof(float);
    const std::optional<uint64_t> blocks = checked_product(block_frames, per_frame);
    const uint64_t pieces = (piece_frames(channels) * channels + piece_frames(outputs) * outputs) *
                            sizeof(float);
    if (!blocks || *blocks > UINT64_MAX - pieces)
        return std::nullopt;
    return *blocks + pieces;
}

audio_buffers make_audio_buffers(uint64_t block_frames, uint32_t channels, uint32_t outputs) {
    audio_buffers b;
    b.input_block.resize(piece_frames(channels) * channels);
    b.output_block.resize(piece_frames(outputs) * outputs);
    b.input_channels = channel_buffers(channels, block_frames);
    b.output_channels = channel_buffers(outputs, block_frames);
    return b;
}

void release(audio_buffers& buffers) {
    release(buffers.input_block);
    release(buffers.output_block);
    release(buffers.input_channels);
    release(buffers.output_channels);
}

// One and two channels, the common cases, get loops with a constant stride, which the
// compiler turns into vector shuffles.
void deinterleave_input(std::span<const float> block, std::span<std::vector<float>> channels,
                        int64_t n, int64_t offset) {
    const size_t count = channels.size();
    const float* const in = block.data();
    if (n <= 0)
        return;
    if (count == 1) {
        std::copy_n(in, n, channels[0].data() + offset);
    } else if (count == 2) {
        float* const left = channels[0].data() + offset;
        float* const right = channels[1].data() + offset;
        for (int64_t i = 0; i < n; ++i) {
            left[i] = in[2 * i];
            right[i] = in[2 * i + 1];
        }
    } else {
        for (size_t c = 0; c < count; ++c) {
            float* const out = channels[c].data() + offset;
            for (int64_t i = 0; i < n; ++i)
                out[i] = in[static_cast<size_t>(i) * count + c];
        }
    }
}

void interleave_output(std::span<const std::vector<float>> sources, int64_t count,
                       int64_t offset, int64_t start, std::span<float> block) {
    const size_t channels = sources.size();
    const int64_t n = count - start;
    float* const out = block.data();
    if (n <= 0)
        return;
    if (channels == 1) {
        std::copy_n(sources[0].data() + offset + start, n, out);
    } else if (channels == 2) {
        const float* const left = sources[0].data() + offset + start;
        const float* const right = sources[1].data() + offset + start;
        for (int64_t i = 0; i < n; ++i) {
            out[2 * i] = left[i];
            out[2 * i + 1] = right[i];
        }
    } else {
        for (size_t c = 0; c < channels; ++c) {
            const float* const in = sources[c].data() + offset + start;
            for (int64_t i = 0; i < n; ++i)
                out[static_cast<size_t>(i) * channels + c] = in[i];
        }
    }
}

}  // namespace kelvo
