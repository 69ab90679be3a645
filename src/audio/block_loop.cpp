#include "audio/block_loop.h"

#include "engine/stream.h"
#include "messages.h"
#include "progress.h"

#include <ctime>

namespace kelvo {

namespace {

constexpr char msg_input_not_read[] = "could not read input file: %s";
constexpr char msg_total_time[] = "Total time     : %g s\n";
constexpr char msg_processing_time[] = "Processing time: %g s\n";
constexpr char msg_plugin_time[] = "Plugin %zu time  : %g s (%s)\n";

double seconds(std::clock_t ticks) {
    return static_cast<double>(static_cast<uint64_t>(ticks)) / CLOCKS_PER_SEC;
}

// The chain's output goes to the file, or in normalize mode into the whole output.
class file_sink final : public frame_sink {
public:
    explicit file_sink(const block_loop_io& io) : io_{io} {}
    bool take(std::span<const std::vector<float>> channels, int64_t first,
              int64_t count) override {
        return io_.normalize ? append(io_.whole, channels, first, count)
                             : io_.streams.output.queue(channels, first, count);
    }

private:
    const block_loop_io& io_;
};

bool main_loop(const block_loop_io& io, chain_stream& stream, frame_sink& out) {
    const auto block = static_cast<int64_t>(io.plugins.block_frames());
    int64_t frames_read = 0;
    for (;;) {
        const int64_t f = io.streams.input.read_block(io.plugins.inputs(), block);
        if (f <= 0)
            break;
        frames_read += f;
        if (!stream.feed(f, out))
            return false;
        progress_update(frames_read);
    }
    if (sf_error(io.input) != SF_ERR_NO_ERROR) {
        // What came before the failed read is the plugins' output all the same.
        if (!io.streams.output.write_pending())
            return false;
        error(msg_input_not_read, sf_strerror(io.input));
        return false;
    }
    return true;
}

bool finish(const block_loop_io& io, const chain_stream& stream, std::clock_t start_ticks) {
    progress_erase();
    if (io.normalize) {
        const std::optional<float> gain =
            io.loudness
                ? apply_loudness(io.whole, *io.loudness, io.sample_rate, io.input, io.report)
                : normalization_gain(stream.peak(), io.report);
        if (!gain || !write_whole_output(io.whole, *gain, io.streams.output))
            return false;
    } else if (!io.streams.output.write_pending()) {
        return false;
    }
    if (io.timing) {
        const std::span<const std::clock_t> ticks = io.plugins.run_ticks();
        std::clock_t processing = 0;
        for (const std::clock_t t : ticks)
            processing += t;
        std::fprintf(io.report, msg_total_time, seconds(std::clock() - start_ticks));
        std::fprintf(io.report, msg_processing_time, seconds(processing));
        for (size_t i = 0; ticks.size() > 1 && i < ticks.size(); ++i)
            std::fprintf(io.report, msg_plugin_time, i + 1, seconds(ticks[i]), io.plugins.uri(i));
    }
    return true;
}

}  // namespace

bool process_blocks(const block_loop_io& io) {
    progress_start(program_name(), io.input_frames, io.sample_rate);
    const std::clock_t start_ticks = io.timing ? std::clock() : 0;
    if (io.timing)
        io.plugins.measure_time();
    io.streams.input.attach(io.input);
    io.streams.output.attach(io.output);
    chain_stream stream{io.plugins, io.sample_rate, !io.normalize, printed_diagnostics()};
    file_sink out{io};
    const bool done = main_loop(io, stream, out) && stream.flush(out) &&
                      stream.tail(io.tail, out) && finish(io, stream, start_ticks);
    progress_erase();
    return done;
}

}  // namespace kelvo
