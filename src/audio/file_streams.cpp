#include "audio/file_streams.h"

#include "audio/buffers.h"
#include "messages.h"

#include <algorithm>
#include <utility>

namespace kelvo {

namespace {

constexpr char msg_output_not_written[] = "could not write output file: %s";

// Room for `frames` frames of `channels` samples, left as the allocator gives it.
std::unique_ptr<float[]> make_piece(uint32_t channels, uint64_t frames) {
    return std::make_unique_for_overwrite<float[]>(frames * channels);
}

}  // namespace

uint64_t piece_frames(uint32_t channels) {
    const uint64_t frame_bytes = std::max<uint64_t>(1, uint64_t{channels} * sizeof(float));
    return std::max<uint64_t>(1, file_piece_bytes / frame_bytes);
}

input_stream::input_stream(uint32_t channels, uint64_t frames)
    : piece_{make_piece(channels, frames)},
      channels_{channels},
      capacity_{static_cast<int64_t>(frames)} {}

int64_t input_stream::read_block(std::span<std::vector<float>> channels, int64_t frames) {
    int64_t filled = 0;
    while (filled < frames) {
        if (position_ == available_) {
            if (failed_)
                break;
            const sf_count_t got = sf_readf_float(file_, piece_.get(), capacity_);
            failed_ = sf_error(file_) != SF_ERR_NO_ERROR;
            if (got <= 0)
                break;
            position_ = 0;
            available_ = got;
        }
        const int64_t n = std::min(frames - filled, available_ - position_);
        const float* const from = piece_.get() + static_cast<size_t>(position_) * channels_;
        deinterleave_input(std::span(from, static_cast<size_t>(n) * channels_), channels, filled,
                           n);
        position_ += n;
        filled += n;
    }
    return filled;
}

output_stream::output_stream(uint32_t channels, uint64_t frames)
    : piece_{make_piece(channels, frames)},
      channels_{channels},
      capacity_{static_cast<int64_t>(frames)} {}

bool output_stream::queue(std::span<const std::vector<float>> sources, int64_t first,
                          int64_t count) {
    for (int64_t done = 0; done < count;) {
        const int64_t n = std::min(count - done, capacity_ - pending_);
        float* const to = piece_.get() + static_cast<size_t>(pending_) * channels_;
        interleave_output(sources, first + done, n,
                          std::span(to, static_cast<size_t>(n) * channels_));
        pending_ += n;
        done += n;
        if (pending_ == capacity_ && !write_pending())
            return false;
    }
    return true;
}

bool output_stream::write_pending() {
    const int64_t n = std::exchange(pending_, 0);
    if (n == 0 || sf_writef_float(file_, piece_.get(), n) == n)
        return true;
    error(msg_output_not_written, sf_strerror(file_));
    return false;
}

uint64_t sound_stream_bytes(uint32_t input_channels, uint32_t output_channels) {
    return (piece_frames(input_channels) * input_channels +
            piece_frames(output_channels) * output_channels) *
           sizeof(float);
}

sound_streams make_sound_streams(uint32_t input_channels, uint32_t output_channels) {
    sound_streams streams;
    streams.input = input_stream(input_channels, piece_frames(input_channels));
    streams.output = output_stream(output_channels, piece_frames(output_channels));
    return streams;
}

}  // namespace kelvo
