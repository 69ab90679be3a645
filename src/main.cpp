// kelvo: applies LV2 plugins, in a chain, to a sound file, offline, in one pass.

#include "audio/block_loop.h"
#include "audio/file_streams.h"
#include "audio/loudness.h"
#include "audio/normalize.h"
#include "audio/output_format.h"
#include "audio/sound_files.h"
#include "cli/options.h"
#include "cli/signal_guard.h"
#include "engine/chain.h"
#include "memory.h"
#include "messages.h"

#include <sndfile.h>

#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

namespace kelvo {
namespace {

/// Everything one run acquires. Released in the order release_run() shows, then the
/// destructor frees the rest (the worlds, then the settings and their assignments).
struct run {
    run_settings settings;  // strings borrowed from argv
    plugin_watch watch;  // lent to the plugins, read by the signal handlers
    signal_guard guard;
    // The worlds and plugins first, their instances after the input.
    chain plugins{printed_diagnostics(), &watch};
    SF_INFO input_info{};
    sound_file input;
    int output_format = 0;
    int sound_fd = -1;  // where the sound goes when it goes to standard output
    sound_streams streams;
    whole_output whole;
    channel_buffers tail;
    output_replacement replacement;
    sound_file output;
    int exit_status = 0;
};

double sample_rate(const run& r) { return r.input_info.samplerate; }

// libsndfile gives SF_COUNT_MAX for a stream whose length it cannot tell.
int64_t declared_frames(const run& r) {
    return r.input_info.frames < SF_COUNT_MAX ? r.input_info.frames : 0;
}

// How long the output will be, about: what the input declares, else as long as can be.
uint64_t expected_frames(const run& r) {
    const int64_t declared = declared_frames(r);
    return declared > 0 ? static_cast<uint64_t>(declared) : UINT64_MAX;
}

// The most frames the tail may add.
uint64_t tail_frames(const run& r) {
    const double seconds = std::max(r.settings.tail_seconds, 0.0);
    return static_cast<uint64_t>(std::llround(seconds * sample_rate(r)));
}

// --normalize and --loudness hold the whole output until its gain is known.
bool holds_whole_output(const run_settings& s) { return s.normalize || s.loudness; }

bool open_input_file(run& r) {
    r.input = open_input(r.settings.input_path, r.input_info);
    return r.input.get() != nullptr;
}

// Refuses, before touching memory, a block the plugin cannot run or that cannot fit: an
// overcommitting kernel would otherwise kill the process instead of failing the allocation.
bool storage_fits(const run& r, uint64_t whole_frames) {
    const auto channels = static_cast<uint32_t>(r.input_info.channels);
    const uint32_t outputs = r.plugins.output_channels();
    const chain_storage_bytes plugin_bytes = r.plugins.storage_bytes();
    const std::optional<uint64_t>& block_bytes = plugin_bytes.blocks;
    const uint64_t piece_bytes = sound_stream_bytes(channels, outputs);
    const auto whole_bytes =
        checked_product(whole_frames + tail_frames(r), uint64_t{outputs} * sizeof(float));
    const uint64_t memory = physical_memory_bytes();
    const uint64_t planned = plugin_bytes.atoms + piece_bytes;
    return r.settings.block_frames <= max_block_frames && block_bytes && whole_bytes &&
           *whole_bytes <= memory - std::min(memory, planned) &&
           *block_bytes <= memory - std::min(memory, planned) - *whole_bytes;
}

bool allocate_storage(run& r) {
    const uint64_t whole_frames =
        holds_whole_output(r.settings) ? initial_whole_frames(r.input_info.frames) : 0;
    if (!storage_fits(r, whole_frames)) {
        report_out_of_memory();
        return false;
    }
    const uint32_t outputs = r.plugins.output_channels();
    // Built in locals: a failure unwinds them newest first before the message is printed.
    return allocate_or_report([&] {
        const auto channels = static_cast<uint32_t>(r.input_info.channels);
        sound_streams streams = make_sound_streams(channels, r.input_info.format, outputs,
                                                   r.output_format, expected_frames(r));
        whole_output whole = holds_whole_output(r.settings)
                                 ? make_whole_output(outputs, whole_frames, declared_frames(r))
                                 : whole_output{};
        channel_buffers tail = tail_frames(r) > 0 ? channel_buffers(outputs, tail_frames(r))
                                                  : channel_buffers{};
        // Last, as it keeps what it allocates: nothing after it can fail.
        r.plugins.allocate();
        r.streams = std::move(streams);
        r.whole = std::move(whole);
        r.tail = std::move(tail);
    });
}

bool choose_format(run& r) {
    const std::optional<int> format = choose_output_format(
        {r.settings.format, r.settings.bits, r.settings.quality.has_value()}, r.input_info.format,
        static_cast<int>(r.plugins.output_channels()), r.input_info.samplerate);
    r.output_format = format.value_or(0);
    return format.has_value();
}

// From here on a signal that ends the run must leave no temporary file behind, and a crash in
// the plugin's code is told as such. Its memory comes before the world's, and goes after it.
bool guard_signals(run& r) {
    const plugin_list& plugins = r.settings.plugins;
    return allocate_or_report([&] {
        r.guard.install(program_name(), r.watch, plugins.size(), [&](size_t k) {
            return plugin_prefix(k, plugins.size(), plugins[k - 1].uri);
        });
    });
}

bool create_output_file(run& r) {
    if (!r.settings.format)
        warn_about_misleading_name(r.settings.output_path, r.output_format);
    // A signal between the temporary file's creation and the guard's learning of it would
    // leave the file behind: it waits.
    const signals_held held;
    r.output = open_output(r.settings.output_path, r.sound_fd, r.settings.input_path, r.input_info,
                           r.output_format, r.plugins.output_channels(), r.replacement);
    r.guard.watch_output(r.replacement.temporary_path(),
                         r.output.get() && !r.replacement.temporary_path());
    return r.output.get() != nullptr &&
           set_quality(r.output.get(), r.output_format,
                       r.settings.quality.value_or(default_quality));
}

bool process(run& r) {
    // With the sound on standard output, the report lines must not end up inside it.
    FILE* const report = std::strcmp(r.settings.output_path, "-") == 0 ? stderr : stdout;
    const run_settings& s = r.settings;
    const std::optional<loudness_target> loudness =
        s.loudness ? std::optional{loudness_target{*s.loudness,
                                                   s.true_peak.value_or(default_true_peak)}}
                   : std::nullopt;
    const block_loop_io io{s.timing,       holds_whole_output(s), r.input.get(),
                           r.output.get(), r.plugins,             r.streams,
                           r.whole,        r.tail,                sample_rate(r),
                           declared_frames(r), report,            loudness ? &*loudness : nullptr};
    return process_blocks(io);
}

/// The phases in order; the first that fails has printed its message.
int drive(run& r, int argc, char** argv) {
    switch (parse_command_line(argc, argv, r.settings)) {
        case parse_outcome::stop_success:
            return 0;
        case parse_outcome::stop_failure:
            return 1;
        case parse_outcome::proceed:
            break;
    }
    run_settings& s = r.settings;
    if (s.block_frames == 0)
        s.block_frames = default_block_frames;
    if (!check_format_request({s.format, s.bits, s.quality.has_value()}))
        return 1;
    if (!guard_signals(r))
        return 1;
    r.sound_fd = set_aside_standard_output(s.output_path);
    const bool ready =
        r.plugins.plan(s.plugins, s.latency_compensation, s.block_frames) &&
        open_input_file(r) &&
        r.plugins.lay_out(r.input_info.channels) && choose_format(r) &&
        r.plugins.instantiate(sample_rate(r)) && allocate_storage(r) && create_output_file(r);
    if (!ready)
        return 1;
    r.plugins.start();
    return process(r) ? 0 : 1;
}

/// Releases, newest first, what must be released in order or may report a failure.
void release_run(run& r) {
    r.plugins.stop();
    if (!close_output(r.output))
        r.exit_status = 1;
    if (r.sound_fd >= 0)
        close(std::exchange(r.sound_fd, -1));
    r.streams = {};
    r.plugins.release_storage();
    r.whole = {};
    r.tail = {};
    r.plugins.release_instances();
    // Only now, with no plugin code left to run, may the finished file take the output's place.
    if (!finish_output(r.replacement, r.exit_status == 0))
        r.exit_status = 1;
    r.guard.watch_output(nullptr, false);
    close_input(r.input);
}

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
    kelvo::run r;
    r.exit_status = kelvo::drive(r, argc, argv);
    kelvo::release_run(r);
    return r.exit_status;
}
