#include "audio/block_loop.h"

#include "audio/file_streams.h"
#include "audio/output_check.h"
#include "progress.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace kelvo {

namespace {

constexpr char msg_implausible_latency[] =
    "%s: warning: the plugin reports an implausible latency (%g frames), latency compensation "
    "is off\n";
constexpr char msg_input_not_read[] = "%s: error: could not read input file: %s\n";
constexpr char msg_total_time[] = "Total time     : %g s\n";
constexpr char msg_processing_time[] = "Processing time: %g s\n";

// The loop's running state, so that the main loop and the flush share one block step.
class block_runner {
public:
    explicit block_runner(const block_loop_io& io)
        : io_{io},
          s_{io.settings},
          in_{io.input, io.buffers.input_block, channel_count(io.buffers.input_channels)},
          out_{io.output, io.buffers.output_block, channel_count(io.buffers.output_channels)},
          max_latency_frames_{max_plausible_latency_seconds * io.sample_rate},
          start_ticks_{s_.timing ? std::clock() : 0} {}

    bool main_loop();
    bool flush();
    bool finish();

private:
    void run_plugin(int64_t frames);
    bool emit(int64_t frames, int64_t skip);
    static uint32_t channel_count(const channel_buffers& channels) {
        return static_cast<uint32_t>(channels.size());
    }
    void warn_implausible(float reported) const {
        progress_erase();
        std::fprintf(stderr, msg_implausible_latency, s_.program_name,
                     static_cast<double>(reported));
    }

    const block_loop_io& io_;
    const run_settings& s_;
    input_stream in_;
    output_stream out_;
    output_check_state check_;
    latency_state latency_;
    double max_latency_frames_;
    std::clock_t run_ticks_ = 0;
    std::clock_t start_ticks_;
};

void block_runner::run_plugin(int64_t frames) {
    audio_buffers& b = io_.buffers;
    const std::clock_t before = s_.timing ? std::clock() : 0;
    lilv_instance_run(io_.instance, static_cast<uint32_t>(frames));
    if (s_.timing)
        run_ticks_ += std::clock() - before;
    check_output_block(b.output_channels, frames, s_.normalize, check_, s_.program_name);
}

// Writes (or stores) frames `skip` to `frames - 1` of the output channels.
bool block_runner::emit(int64_t frames, int64_t skip) {
    audio_buffers& b = io_.buffers;
    if (s_.normalize)
        return append(io_.whole, b.output_channels, frames, skip, s_.program_name);
    return queue_frames(out_, b.output_channels, frames, 0, skip, s_.program_name);
}

bool block_runner::main_loop() {
    audio_buffers& b = io_.buffers;
    const auto block = static_cast<int64_t>(s_.block_frames);
    int64_t frames_read = 0;
    for (;;) {
        const int64_t f = read_block(in_, b.input_channels, block);
        if (f <= 0)
            break;
        frames_read += f;
        run_plugin(f);
        int64_t skip = 0;
        if (io_.latency_value && !latency_.off) {
            if (latency_.remaining_latency < 0 &&
                !read_latency(latency_, *io_.latency_value, max_latency_frames_))
                warn_implausible(*io_.latency_value);
            skip = skip_frames(latency_, f);
        }
        if (!emit(f, skip))
            return false;
        progress_update(frames_read);
    }
    if (sf_error(io_.input) != SF_ERR_NO_ERROR) {
        // What came before the failed read is the plugin's output all the same.
        if (!write_pending(out_, s_.program_name))
            return false;
        progress_erase();
        std::fprintf(stderr, msg_input_not_read, s_.program_name, sf_strerror(io_.input));
        return false;
    }
    return true;
}

// Runs the plugin on silence for as many frames as it reports as latency, so the output gets
// its last frames; dropping goes on if the latency outlasted the input.
bool block_runner::flush() {
    if (!io_.latency_value || latency_.off)
        return true;
    for (std::vector<float>& channel : io_.buffers.input_channels)
        std::fill(channel.begin(), channel.end(), 0.0f);
    const float reported = *io_.latency_value;
    if (!plausible_latency(reported, max_latency_frames_)) {
        warn_implausible(reported);
        return true;
    }
    const float rounded = std::roundf(reported);
    for (auto tail = rounded > 0 ? static_cast<int64_t>(rounded) : 0; tail > 0;) {
        const int64_t e = std::min(tail, static_cast<int64_t>(s_.block_frames));
        run_plugin(e);
        if (!emit(e, skip_frames(latency_, e)))
            return false;
        tail -= e;
    }
    return true;
}

bool block_runner::finish() {
    progress_erase();
    if (s_.normalize) {
        const float gain = normalization_gain(check_.peak, io_.report, s_.program_name);
        if (!write_whole_output(io_.whole, gain, out_, s_.program_name))
            return false;
    } else if (!write_pending(out_, s_.program_name)) {
        return false;
    }
    if (s_.timing) {
        const std::clock_t total = std::clock() - start_ticks_;
        std::fprintf(io_.report, msg_total_time,
                     static_cast<double>(static_cast<uint64_t>(total)) / CLOCKS_PER_SEC);
        std::fprintf(io_.report, msg_processing_time,
                     static_cast<double>(static_cast<uint64_t>(run_ticks_)) / CLOCKS_PER_SEC);
    }
    return true;
}

}  // namespace

bool plausible_latency(float reported, double max_frames) {
    const float rounded = std::roundf(reported);
    return std::isfinite(rounded) && rounded <= max_frames;
}

bool read_latency(latency_state& state, float reported, double max_frames) {
    if (!plausible_latency(reported, max_frames)) {
        state.off = true;
        return false;
    }
    state.remaining_latency = reported;
    return true;
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

bool process_blocks(const block_loop_io& io) {
    progress_start(io.settings.program_name, io.input_frames, io.sample_rate);
    block_runner runner{io};
    const bool done = runner.main_loop() && runner.flush() && runner.finish();
    progress_erase();
    return done;
}

}  // namespace kelvo
