#include "engine/stream.h"

#include <algorithm>
#include <cmath>

namespace kelvo {

bool read_latency(latency_state& state, std::optional<double> total) {
    if (!total) {
        state.off = true;
        return false;
    }
    state.remaining_latency = *total;
    return true;
}

int64_t audible_frames(std::span<const std::vector<float>> channels, int64_t frames) {
    for (int64_t i = frames; i > 0; --i) {
        for (const std::vector<float>& channel : channels) {
            if (!(std::fabs(channel[static_cast<size_t>(i - 1)]) < audible_level))
                return i;
        }
    }
    return 0;
}

int64_t skip_frames(latency_state& state, int64_t frames) {
    if (state.off || !(state.remaining_latency > 0))
        return 0;
    if (state.remaining_latency >= static_cast<double>(frames)) {
        state.remaining_latency -= static_cast<double>(frames);
        return frames;
    }
    const auto skip = static_cast<int64_t>(std::round(state.remaining_latency));
    state.remaining_latency = 0;
    return std::min(skip, frames);
}

chain_stream::chain_stream(chain& plugins, double sample_rate, bool clip, diagnostics& d)
    : plugins_{plugins},
      report_{d},
      clip_{clip},
      reports_latency_{plugins.reports_latency()},
      block_{static_cast<int64_t>(plugins.block_frames())},
      max_latency_frames_{max_plausible_latency_seconds * sample_rate} {}

void chain_stream::silence_inputs() {
    for (std::vector<float>& channel : plugins_.inputs())
        std::fill(channel.begin(), channel.end(), 0.0f);
}

void chain_stream::run_chain(int64_t frames) {
    const int64_t length = plugins_.fixed_blocks() ? block_ : frames;
    for (std::vector<float>& channel : plugins_.inputs())
        std::fill(channel.begin() + frames, channel.begin() + length, 0.0f);
    plugins_.run(static_cast<uint32_t>(length));
    check_output_block(plugins_.outputs(), frames, !clip_, check_, report_);
    last_frames_ = frames;
    carried_ = length - frames;
}

bool chain_stream::feed(int64_t frames, frame_sink& out) {
    run_chain(frames);
    int64_t skip = 0;
    if (reports_latency_ && !latency_.off) {
        if (latency_.remaining_latency < 0)
            read_latency(latency_, plugins_.latency(max_latency_frames_));
        skip = skip_frames(latency_, frames);
    }
    return out.take(plugins_.outputs(), skip, frames - skip);
}

bool chain_stream::flush(frame_sink& out) {
    if (!reports_latency_ || latency_.off)
        return true;
    silence_inputs();
    const std::optional<double> total = plugins_.latency(max_latency_frames_);
    if (!total)
        return true;
    const double rounded = std::round(*total);
    return on_silence(rounded > 0 ? static_cast<int64_t>(rounded) : 0,
                      [&](int64_t from, int64_t to) {
                          const int64_t first = from + skip_frames(latency_, to - from);
                          return out.take(plugins_.outputs(), first, to - first);
                      });
}

bool chain_stream::tail(std::span<std::vector<float>> room, frame_sink& out) {
    const int64_t capacity = room.empty() ? 0 : static_cast<int64_t>(room[0].size());
    if (capacity == 0)
        return true;
    silence_inputs();
    int64_t kept = 0;
    on_silence(capacity, [&](int64_t from, int64_t to) {
        std::span<std::vector<float>> produced = plugins_.outputs();
        for (size_t c = 0; c < room.size(); ++c)
            std::copy(produced[c].data() + from, produced[c].data() + to, room[c].data() + kept);
        kept += to - from;
        return true;
    });
    return out.take(room, 0, audible_frames(room, kept));
}

template <typename Take>
bool chain_stream::on_silence(int64_t frames, Take take) {
    // After a short block of a chain that runs fixed blocks, what it made of the silence that
    // filled the block comes first.
    if (const int64_t c = std::min(carried_, frames); c > 0) {
        const int64_t from = last_frames_;
        last_frames_ += c;
        carried_ -= c;
        frames -= c;
        check_output_block(plugins_.outputs(), last_frames_, !clip_, check_, report_, from);
        if (!take(from, last_frames_))
            return false;
    }
    while (frames > 0) {
        const int64_t e = std::min(frames, block_);
        run_chain(e);
        if (!take(int64_t{0}, e))
            return false;
        frames -= e;
    }
    return true;
}

}  // namespace kelvo
