#include "audio/block_loop.h"

#include "audio/output_check.h"
#include "host/session.h"
#include "messages.h"
#include "progress.h"

#include <algorithm>
#include <cmath>
#include <ctime>

namespace kelvo {

namespace {

constexpr char msg_implausible_latency[] =
    "the plugin reports an implausible latency (%g frames), latency compensation "
    "is off";
constexpr char msg_input_not_read[] = "could not read input file: %s";
constexpr char msg_total_time[] = "Total time     : %g s\n";
constexpr char msg_processing_time[] = "Processing time: %g s\n";

// The loop's running state, so that the main loop and the flush share one block step.
class block_runner {
public:
    explicit block_runner(const block_loop_io& io)
        : io_{io},
          reports_latency_{reports_latency(io.plugin)},
          block_{static_cast<int64_t>(io.block_frames)},
          in_{io.streams.input},
          out_{io.streams.output},
          max_latency_frames_{max_plausible_latency_seconds * io.sample_rate},
          start_ticks_{io.timing ? std::clock() : 0} {
        in_.attach(io.input);
        out_.attach(io.output);
    }

    bool main_loop();
    bool flush();
    bool tail();
    bool finish();

private:
    /// Runs the plugin on `frames` frames of silence and hands each stretch of its checked
    /// output to `take(from, to)`, indices into the output channel buffers; stops when it
    /// returns false.
    template <typename Take>
    bool on_silence(int64_t frames, Take take);
    void silence_inputs() {
        for (std::vector<float>& channel : io_.buffers.input_channels)
            std::fill(channel.begin(), channel.end(), 0.0f);
    }
    void run_plugin(int64_t frames);
    bool emit(int64_t frames, int64_t skip);
    void warn_implausible(float reported) const {
        warning(msg_implausible_latency, static_cast<double>(reported));
    }

    const block_loop_io& io_;
    bool reports_latency_;
    int64_t block_;
    input_stream& in_;
    output_stream& out_;
    output_check_state check_;
    latency_state latency_;
    // A plugin that runs fixed blocks gets silence after a short last block; the frames it
    // produced from that silence are the first the latency flush needs.
    int64_t last_frames_ = 0;
    int64_t carried_ = 0;
    double max_latency_frames_;
    std::clock_t run_ticks_ = 0;
    std::clock_t start_ticks_;
};

void block_runner::run_plugin(int64_t frames) {
    audio_buffers& b = io_.buffers;
    const int64_t length = io_.plugin.block.fixed ? block_ : frames;
    for (std::vector<float>& channel : b.input_channels)
        std::fill(channel.begin() + frames, channel.begin() + length, 0.0f);
    const std::clock_t before = io_.timing ? std::clock() : 0;
    run_block(io_.plugin, static_cast<uint32_t>(length));
    if (io_.timing)
        run_ticks_ += std::clock() - before;
    check_output_block(b.output_channels, frames, io_.normalize, check_);
    last_frames_ = frames;
    carried_ = length - frames;
}

// Writes (or stores) frames `skip` to `frames - 1` of the output channels.
bool block_runner::emit(int64_t frames, int64_t skip) {
    audio_buffers& b = io_.buffers;
    if (io_.normalize)
        return append(io_.whole, b.output_channels, skip, frames - skip);
    return out_.queue(b.output_channels, skip, frames - skip);
}

bool block_runner::main_loop() {
    audio_buffers& b = io_.buffers;
    int64_t frames_read = 0;
    for (;;) {
        const int64_t f = in_.read_block(b.input_channels, block_);
        if (f <= 0)
            break;
        frames_read += f;
        run_plugin(f);
        int64_t skip = 0;
        if (reports_latency_ && !latency_.off) {
            if (latency_.remaining_latency < 0) {
                const float reported = latency_report(io_.plugin);
                if (!read_latency(latency_, reported, max_latency_frames_))
                    warn_implausible(reported);
            }
            skip = skip_frames(latency_, f);
        }
        if (!emit(f, skip))
            return false;
        progress_update(frames_read);
    }
    if (sf_error(io_.input) != SF_ERR_NO_ERROR) {
        // What came before the failed read is the plugin's output all the same.
        if (!out_.write_pending())
            return false;
        error(msg_input_not_read, sf_strerror(io_.input));
        return false;
    }
    return true;
}

// Runs the plugin on silence for as many frames as it reports as latency, so the output gets
// its last frames; dropping goes on if the latency outlasted the input.
bool block_runner::flush() {
    if (!reports_latency_ || latency_.off)
        return true;
    silence_inputs();
    const float reported = latency_report(io_.plugin);
    if (!plausible_latency(reported, max_latency_frames_)) {
        warn_implausible(reported);
        return true;
    }
    const float rounded = std::roundf(reported);
    return on_silence(rounded > 0 ? static_cast<int64_t>(rounded) : 0,
                      [&](int64_t from, int64_t to) {
                          return emit(to, from + skip_frames(latency_, to - from));
                      });
}

// Runs the plugin on silence for the tail's frames, then keeps them up to the last audible
// one: a reverb rings out, and a plugin that adds nothing after the input adds nothing.
bool block_runner::tail() {
    channel_buffers& tail = io_.tail;
    const int64_t capacity = tail.empty() ? 0 : static_cast<int64_t>(tail[0].size());
    if (capacity == 0)
        return true;
    silence_inputs();
    int64_t kept = 0;
    on_silence(capacity, [&](int64_t from, int64_t to) {
        for (size_t c = 0; c < tail.size(); ++c) {
            const float* const produced = io_.buffers.output_channels[c].data();
            std::copy(produced + from, produced + to, tail[c].data() + kept);
        }
        kept += to - from;
        return true;
    });
    const int64_t audible = audible_frames(tail, kept);
    return io_.normalize ? append(io_.whole, tail, 0, audible) : out_.queue(tail, 0, audible);
}

template <typename Take>
bool block_runner::on_silence(int64_t frames, Take take) {
    // After a short block of a plugin that runs fixed blocks, what it made of the silence that
    // filled the block comes first.
    if (const int64_t c = std::min(carried_, frames); c > 0) {
        const int64_t from = last_frames_;
        last_frames_ += c;
        carried_ -= c;
        frames -= c;
        check_output_block(io_.buffers.output_channels, last_frames_, io_.normalize, check_, from);
        if (!take(from, last_frames_))
            return false;
    }
    while (frames > 0) {
        const int64_t e = std::min(frames, block_);
        run_plugin(e);
        if (!take(int64_t{0}, e))
            return false;
        frames -= e;
    }
    return true;
}

bool block_runner::finish() {
    progress_erase();
    if (io_.normalize) {
        const std::optional<float> gain =
            io_.loudness ? apply_loudness(io_.whole, *io_.loudness, io_.sample_rate, io_.input,
                                          io_.report)
                         : normalization_gain(check_.peak, io_.report);
        if (!gain || !write_whole_output(io_.whole, *gain, out_))
            return false;
    } else if (!out_.write_pending()) {
        return false;
    }
    if (io_.timing) {
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

bool process_blocks(const block_loop_io& io) {
    progress_start(program_name(), io.input_frames, io.sample_rate);
    block_runner runner{io};
    const bool done = runner.main_loop() && runner.flush() && runner.tail() && runner.finish();
    progress_erase();
    return done;
}

}  // namespace kelvo
