#pragma once

#include "audio/buffers.h"
#include "cli/assignments.h"
#include "diagnostics.h"
#include "host/plugin_watch.h"
#include "host/session.h"

#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace kelvo {

/// A latency report longer than this is not believed.
constexpr double max_plausible_latency_seconds = 60;

/// True when `reported` rounds to a finite number of frames no larger than `max_frames`.
/// Finite negative values pass: they mean the plugin has not said yet.
bool plausible_latency(float reported, double max_frames);

/// Bytes a chain's storage takes.
struct chain_storage_bytes {
    std::optional<uint64_t> blocks;  ///< every float block; nothing when it does not fit in 64 bits
    uint64_t atoms = 0;              ///< the atom ports' buffers
};

/// The words that name plugin `position` (from 1) of a chain of `count` in its messages,
/// "plugin N (URI): "; empty for the only one. Throws std::bad_alloc.
std::string plugin_prefix(size_t position, size_t count, const char* uri);

/// One plugin of a chain as a front end asks for it. Borrowed: the strings and the
/// assignments must outlive the chain, whose port plans point at the assignments.
struct plugin_request {
    const char* uri = nullptr;
    assignment_list assignments;   ///< `-c` values, in the order given
    const char* preset = nullptr;  ///< a preset's URI or label, or a saved state; null for none
};

/// Plugins in order over blocks of deinterleaved floats: each takes the previous one's output
/// buffers as its input buffers. Knows no files and prints nothing: errors and warnings go to
/// the diagnostics it is made with, those of one plugin of several naming it by position and
/// URI. Driven in the order of its calls, from plan() to release_instances().
class chain {
public:
    /// Reports to `d`; marks on `watch`, when there is one, which plugin's code runs.
    explicit chain(diagnostics& d, plugin_watch* watch = nullptr) : report_{d}, watch_{watch} {}
    chain(const chain&) = delete;
    chain& operator=(const chain&) = delete;
    ~chain();

    /// Finds every plugin, refuses what cannot be driven in blocks of `block_frames` and reads
    /// the presets: everything that needs no sound yet. False after the first error.
    bool plan(std::span<const plugin_request> requests, bool latency_compensation,
              uint64_t block_frames);

    /// Chooses how `channels` channels flow through the plugins, each taking the previous
    /// one's outputs by the same rules; false after the error.
    bool lay_out(int channels);

    /// Creates every plugin's instances; false after the error.
    bool instantiate(double sample_rate);

    /// What allocate() takes.
    chain_storage_bytes storage_bytes() const;

    /// Allocates the channel buffers, the input's first, then every instance's port storage.
    /// Throws std::bad_alloc when memory runs out.
    void allocate();

    /// Connects every port, warning about values out of range, then activates the instances.
    void start();

    /// Deactivates the instances that were activated.
    void stop();

    /// Frees the buffers and the port storage, newest first.
    void release_storage();

    /// Frees the instances, last plugin first.
    void release_instances();

    /// Runs every plugin on the first `frames` frames of inputs(), in order, and leaves the
    /// result in outputs(). Between two plugins, samples that are not finite become 0, with
    /// one warning per run. Allocates nothing.
    void run(uint32_t frames);

    /// The summed latency the plugins report now, in frames; nothing after the warning that a
    /// plugin's report is implausible (not finite, or more than `max_frames`).
    std::optional<double> latency(double max_frames);

    /// The value control or CV input `symbol` of plugin `plugin` (from 0) runs with: the one
    /// set, else the preset's, else the start value; nothing when it has no such input.
    std::optional<float> control_value(size_t plugin, std::string_view symbol) const;

    /// Sets control or CV input `symbol` of plugin `plugin` (from 0) to `value` in the
    /// running instances, if any, and in those made later; nothing takes a value set back to
    /// the preset's or the start value. Between runs only. Refuses a port not found or one
    /// that takes no value with the plan's error, and warns about a value out of range once
    /// the rate is known; false after the error. Allocates nothing but for the error.
    bool set_control(size_t plugin, const char* symbol, std::optional<float> value);

    /// Measures the processor time of each plugin's runs from now on.
    void measure_time() { timing_ = true; }

    /// The processor time of each plugin's runs, in chain order.
    std::span<const std::clock_t> run_ticks() const { return ticks_; }

    std::span<std::vector<float>> inputs() { return buffers_.front(); }
    std::span<std::vector<float>> outputs() { return buffers_.back(); }
    uint32_t output_channels() const;
    uint64_t block_frames() const { return block_frames_; }
    /// True when every run must be exactly block_frames() long: some plugin requires it.
    bool fixed_blocks() const { return fixed_; }
    bool reports_latency() const;
    size_t size() const { return stages_.size(); }
    const char* uri(size_t i) const { return stages_[i]->uri; }

private:
    /// One plugin with the words that name it in its messages.
    struct stage {
        // The name is made after the record, so that it is freed first.
        stage(diagnostics& d, const char* plugin_uri, size_t position, size_t count)
            : uri{plugin_uri}, report{d, prefix}, session{report} {
            prefix = plugin_prefix(position, count, plugin_uri);
        }
        const char* uri;
        std::string prefix;  ///< "plugin N (URI): ", or empty
        plugin_diagnostics report;
        plugin_session session;
        /// Values set after the plan, which the port plan then points at: room for one per
        /// port is made after the plan, so the vector never moves, and is freed first.
        assignment_list later;
    };

    uint32_t channels_into(size_t i) const;

    diagnostics& report_;
    plugin_watch* watch_;
    std::vector<std::unique_ptr<stage>> stages_;
    std::vector<channel_buffers> buffers_;  ///< the input's, then each plugin's output
    std::vector<std::clock_t> ticks_;
    uint64_t block_frames_ = 0;
    double sample_rate_ = 0;
    int input_channels_ = 0;
    bool fixed_ = false;
    bool timing_ = false;
    bool non_finite_warned_ = false;
};

}  // namespace kelvo
