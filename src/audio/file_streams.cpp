#include "audio/file_streams.h"

#include "audio/buffers.h"
#include "audio/sound_files.h"

#include <algorithm>

namespace kelvo {

namespace {

int64_t capacity(std::span<const float> piece, uint32_t channels) {
    return static_cast<int64_t>(piece.size() / channels);
}

}  // namespace

uint64_t piece_frames(uint32_t channels) {
    const uint64_t frame_bytes = std::max<uint64_t>(1, uint64_t{channels} * sizeof(float));
    return std::max<uint64_t>(1, file_piece_bytes / frame_bytes);
}

int64_t read_block(input_stream& in, std::span<std::vector<float>> channels, int64_t frames) {
    int64_t filled = 0;
    while (filled < frames) {
        if (in.position == in.available) {
            if (in.failed)
                break;
            const sf_count_t got =
                sf_readf_float(in.file, in.piece.data(), capacity(in.piece, in.channels));
            in.failed = sf_error(in.file) != SF_ERR_NO_ERROR;
            if (got <= 0)
                break;
            in.position = 0;
            in.available = got;
        }
        const int64_t n = std::min(frames - filled, in.available - in.position);
        deinterleave_input(in.piece.subspan(static_cast<size_t>(in.position) * in.channels),
                           channels, n, filled);
        in.position += n;
        filled += n;
    }
    return filled;
}

bool queue_frames(output_stream& out, std::span<const std::vector<float>> sources, int64_t count,
                  int64_t offset, int64_t start) {
    const int64_t room = capacity(out.piece, out.channels);
    for (int64_t i = start; i < count;) {
        const int64_t n = std::min(count - i, room - out.pending);
        interleave_output(sources, i + n, offset, i,
                          out.piece.subspan(static_cast<size_t>(out.pending) * out.channels));
        out.pending += n;
        i += n;
        if (out.pending == room && !write_pending(out))
            return false;
    }
    return true;
}

bool write_pending(output_stream& out) {
    const int64_t n = out.pending;
    out.pending = 0;
    return n == 0 || write_frames(out.file, out.piece.data(), n);
}

}  // namespace kelvo
