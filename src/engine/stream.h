#pragma once

#include "audio/output_check.h"
#include "diagnostics.h"
#include "engine/chain.h"

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

namespace kelvo {

/// Latency compensation across the blocks of a run: not read, then dropping, then done.
struct latency_state {
    /// Frames still to drop; negative until the plugins report. A double, so that taking a
    /// block at a time off a latency of more than 2^24 frames stays exact.
    double remaining_latency = -1;
    bool off = false;  ///< set by an implausible report: nothing more is dropped
};

/// Takes the chain's latency, `total`, or turns compensation off when there is none (an
/// implausible report); returns whether there was one.
bool read_latency(latency_state& state, std::optional<double> total);

/// The quietest sample of a tail that is kept: -96 dBFS.
constexpr float audible_level = 1.5848932e-5f;

/// How many of the first `frames` frames to keep so that the last one kept has a sample at or
/// above audible_level in some channel (an infinite one counts).
int64_t audible_frames(std::span<const std::vector<float>> channels, int64_t frames);

/// The frames to drop from the front of a block of `frames` (all of them while dropping).
int64_t skip_frames(latency_state& state, int64_t frames);

/// Where a stream's output goes.
class frame_sink {
public:
    /// Takes `count` frames of every channel from frame `first` on; false stops the stream,
    /// after the sink has reported why.
    virtual bool take(std::span<const std::vector<float>> channels, int64_t first,
                      int64_t count) = 0;

protected:
    ~frame_sink() = default;
};

/// Runs a chain over a signal a block at a time, as the command line writes it: the latency
/// the plugins report is dropped from the start and made up at the end by running on silence,
/// a tail may follow, and the output is checked (NaN to 0; clipped at full scale unless
/// `clip` is off, when the peak is measured instead). Allocates nothing.
class chain_stream {
public:
    chain_stream(chain& plugins, double sample_rate, bool clip, diagnostics& d);

    /// Runs the first `frames` frames of the chain's inputs, at most a block, which the caller
    /// filled, and hands the output to `out`.
    bool feed(int64_t frames, frame_sink& out);

    /// Runs the chain on silence for as many frames as the plugins report as latency, so the
    /// output gets its last frames; dropping goes on if the latency outlasted the input.
    bool flush(frame_sink& out);

    /// Runs the chain on silence to fill `room`, then hands on its frames up to the last
    /// audible one: a reverb rings out, and a chain that adds nothing after the input adds
    /// nothing. Empty room: no tail.
    bool tail(std::span<std::vector<float>> room, frame_sink& out);

    /// The largest finite magnitude of the output so far, when not clipping.
    float peak() const { return check_.peak; }

private:
    template <typename Take>
    bool on_silence(int64_t frames, Take take);
    void silence_inputs();
    void run_chain(int64_t frames);

    chain& plugins_;
    diagnostics& report_;
    bool clip_;
    bool reports_latency_;
    int64_t block_;
    double max_latency_frames_;
    output_check_state check_;
    latency_state latency_;
    // A chain that runs fixed blocks gets silence after a short block; the frames it produced
    // from that silence are the first the latency flush needs.
    int64_t last_frames_ = 0;
    int64_t carried_ = 0;
};

}  // namespace kelvo
