#include "audio/file_streams.h"

#include "audio/buffers.h"
#include "messages.h"

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace kelvo {

namespace {

constexpr char msg_output_not_written[] = "could not write output file: %s";

// Room for `frames` frames of `channels` samples, left as the allocator gives it. The pages
// of the first `used` frames are put in place at once: one system call is cheaper than a
// page fault for each.
std::unique_ptr<float[]> make_piece(uint32_t channels, uint64_t frames, uint64_t used) {
    auto piece = std::make_unique_for_overwrite<float[]>(frames * channels);
    const uintptr_t page = 4096;
    const auto start = reinterpret_cast<uintptr_t>(piece.get());
    const uintptr_t first = (start + page - 1) & ~(page - 1);
    const uintptr_t last =
        (start + std::min(frames, used) * channels * sizeof(float)) & ~(page - 1);
    if (first < last)
        madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE);
    return piece;
}

// libsndfile's scale factors for 16-bit samples: a float is read as x / 32768 and written as
// lrintf(x * 32767), both exact in float arithmetic.
constexpr float pcm16_read_scale = 1.0f / 32768;
constexpr float pcm16_write_scale = 32767;

#ifdef __SSE2__
constexpr bool vectors = true;  // the x86-64 baseline has them
#else
constexpr bool vectors = false;
#endif

// Turns the `n` 16-bit integers at the front of `samples` into floats, in place: from the
// back, so that no integer is overwritten before it is read.
void pcm16_to_float(float* samples, size_t n) {
    const auto* bytes = reinterpret_cast<const char*>(samples);
    size_t i = n;
    for (; i % 8 != 0 || (!vectors && i > 0); --i) {
        int16_t x;
        std::memcpy(&x, bytes + 2 * (i - 1), sizeof x);
        samples[i - 1] = x * pcm16_read_scale;
    }
#ifdef __SSE2__
    const __m128 scale = _mm_set1_ps(pcm16_read_scale);
    for (; i > 0; i -= 8) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + 2 * (i - 8)));
        // Each integer into the top half of a 32-bit lane, then shifted down with its sign.
        const __m128i low = _mm_srai_epi32(_mm_unpacklo_epi16(x, x), 16);
        const __m128i high = _mm_srai_epi32(_mm_unpackhi_epi16(x, x), 16);
        _mm_storeu_ps(samples + i - 8, _mm_mul_ps(_mm_cvtepi32_ps(low), scale));
        _mm_storeu_ps(samples + i - 4, _mm_mul_ps(_mm_cvtepi32_ps(high), scale));
    }
#endif
}

// Turns the `n` floats of `samples` into 16-bit integers at its front, in place, from the
// front. The conversion rounds to nearest as lrintf does; the samples are within full scale,
// which the output check ensures, so no integer overflows.
void float_to_pcm16(float* samples, size_t n) {
    auto* bytes = reinterpret_cast<char*>(samples);
    size_t i = 0;
#ifdef __SSE2__
    const __m128 scale = _mm_set1_ps(pcm16_write_scale);
    for (; i + 8 <= n; i += 8) {
        const __m128i low = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(samples + i), scale));
        const __m128i high = _mm_cvtps_epi32(_mm_mul_ps(_mm_loadu_ps(samples + i + 4), scale));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + 2 * i), _mm_packs_epi32(low, high));
    }
#endif
    for (; i < n; ++i) {
        const auto x = static_cast<int16_t>(std::lrintf(samples[i] * pcm16_write_scale));
        std::memcpy(bytes + 2 * i, &x, sizeof x);
    }
}

}  // namespace

bool moves_as_pcm16(int format) {
    switch (format & SF_FORMAT_TYPEMASK) {
        case SF_FORMAT_WAV:
        case SF_FORMAT_WAVEX:
        case SF_FORMAT_W64:
        case SF_FORMAT_RF64:
        case SF_FORMAT_AIFF:
        case SF_FORMAT_CAF:
        case SF_FORMAT_AU:
            return (format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16;
        default:
            return false;
    }
}

uint64_t piece_frames(uint32_t channels) {
    const uint64_t frame_bytes = std::max<uint64_t>(1, uint64_t{channels} * sizeof(float));
    return std::max<uint64_t>(1, file_piece_bytes / frame_bytes);
}

input_stream::input_stream(uint32_t channels, uint64_t frames, bool pcm16, uint64_t used)
    : piece_{make_piece(channels, frames, used)},
      channels_{channels},
      capacity_{static_cast<int64_t>(frames)},
      pcm16_{pcm16} {}

int64_t input_stream::read_block(std::span<std::vector<float>> channels, int64_t frames) {
    int64_t filled = 0;
    while (filled < frames) {
        if (position_ == available_) {
            if (failed_)
                break;
            const sf_count_t got =
                pcm16_ ? sf_readf_short(file_, reinterpret_cast<short*>(piece_.get()), capacity_)
                       : sf_readf_float(file_, piece_.get(), capacity_);
            failed_ = sf_error(file_) != SF_ERR_NO_ERROR;
            if (got <= 0)
                break;
            if (pcm16_)
                pcm16_to_float(piece_.get(), static_cast<size_t>(got) * channels_);
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

output_stream::output_stream(uint32_t channels, uint64_t frames, bool pcm16, uint64_t used)
    : piece_{make_piece(channels, frames, used)},
      channels_{channels},
      capacity_{static_cast<int64_t>(frames)},
      pcm16_{pcm16} {}

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
    if (n == 0)
        return true;
    sf_count_t written = 0;
    if (pcm16_) {
        float_to_pcm16(piece_.get(), static_cast<size_t>(n) * channels_);
        written = sf_writef_short(file_, reinterpret_cast<const short*>(piece_.get()), n);
    } else {
        written = sf_writef_float(file_, piece_.get(), n);
    }
    if (written == n)
        return true;
    error(msg_output_not_written, sf_strerror(file_));
    return false;
}

uint64_t sound_stream_bytes(uint32_t input_channels, uint32_t output_channels) {
    return (piece_frames(input_channels) * input_channels +
            piece_frames(output_channels) * output_channels) *
           sizeof(float);
}

sound_streams make_sound_streams(uint32_t input_channels, int input_format,
                                 uint32_t output_channels, int output_format,
                                 uint64_t expected_frames) {
    sound_streams streams;
    streams.input = input_stream(input_channels, piece_frames(input_channels),
                                 moves_as_pcm16(input_format), expected_frames);
    streams.output = output_stream(output_channels, piece_frames(output_channels),
                                   moves_as_pcm16(output_format), expected_frames);
    return streams;
}

}  // namespace kelvo
