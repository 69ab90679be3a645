#include "audio/buffers.h"

#include "memory.h"

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
    // Each channel has an interleaved and a separate copy of the block.
    const uint64_t per_frame = (uint64_t{channels} + outputs) * 2 * sizeof(float);
    return checked_product(block_frames, per_frame);
}

audio_buffers make_audio_buffers(uint64_t block_frames, uint32_t channels, uint32_t outputs) {
    audio_buffers b;
    b.input_block.resize(block_frames * channels);
    b.output_block.resize(block_frames * outputs);
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

void deinterleave_input(std::span<const float> block, std::span<std::vector<float>> channels,
                        int64_t n) {
    const size_t count = channels.size();
    for (size_t c = 0; c < count; ++c) {
        float* const out = channels[c].data();
        const float* in = block.data() + c;
        for (int64_t i = 0; i < n; ++i, in += count)
            out[i] = *in;
    }
}

void interleave_output(std::span<const std::vector<float>> sources, int64_t count,
                       int64_t offset, int64_t start, std::span<float> block) {
    const size_t channels = sources.size();
    for (size_t c = 0; c < channels; ++c) {
        const float* const in = sources[c].data() + offset;
        float* out = block.data() + c;
        for (int64_t i = start; i < count; ++i, out += channels)
            *out = in[i];
    }
}

}  // namespace kelvo
