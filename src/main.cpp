// kelvo: applies one LV2 plugin to a sound file, offline, in one pass.

#include "audio/block_loop.h"
#include "audio/buffers.h"
#include "audio/normalize.h"
#include "audio/sound_files.h"
#include "cli/assignments.h"
#include "cli/options.h"
#include "host/owners.h"
#include "host/plugin_host.h"
#include "host/port_binding.h"
#include "host/port_survey.h"
#include "memory.h"

#include <lilv/lilv.h>
#include <sndfile.h>

#include <cstdio>
#include <cstring>

namespace kelvo {
namespace {

/// Everything one run acquires, in the order it is acquired; destroyed in reverse.
struct run {
    run_settings settings;  // strings borrowed from argv
    assignment_list assignments;
    plugin_host host;
    const LilvPlugin* plugin = nullptr;  // borrowed from the world
    port_tally tally;
    SF_INFO input_info{};
    sound_file input;
    instance_ptr instance;
    audio_buffers buffers;
    control_storage controls;
    whole_output whole;
    sound_file output;
    float latency_value = 0;  // the latency port writes here during run
    bool active = false;
    int exit_status = 0;
};

const char* name(const run& r) { return r.settings.program_name; }

double sample_rate(const run& r) { return r.input_info.samplerate; }

// libsndfile gives SF_COUNT_MAX for a stream whose length it cannot tell.
int64_t declared_frames(const run& r) {
    return r.input_info.frames < SF_COUNT_MAX ? r.input_info.frames : 0;
}

bool select_plugin(run& r) {
    r.plugin = find_plugin(r.host, r.settings.plugin_uri, name(r));
    return r.plugin != nullptr;
}

bool open_input_file(run& r) {
    r.input = open_input(r.settings.input_path, r.input_info, name(r));
    return r.input.get() != nullptr;
}

bool instantiate_plugin(run& r) {
    r.instance = instantiate(r.plugin, sample_rate(r), name(r));
    return r.instance != nullptr;
}

// Refuses, before touching memory, a block the plugin cannot run or that cannot fit: an
// overcommitting kernel would otherwise kill the process instead of failing the allocation.
bool storage_fits(const run& r, uint64_t whole_frames) {
    const auto channels = static_cast<uint32_t>(r.input_info.channels);
    const uint32_t outputs = r.tally.audio_outputs;
    const auto block_bytes = block_buffer_bytes(r.settings.block_frames, channels, outputs);
    const auto whole_bytes = checked_product(whole_frames, uint64_t{outputs} * sizeof(float));
    const uint64_t memory = physical_memory_bytes();
    return r.settings.block_frames <= max_block_frames && block_bytes && whole_bytes &&
           *whole_bytes <= memory && *block_bytes <= memory - *whole_bytes;
}

bool allocate_storage(run& r) {
    const uint64_t whole_frames =
        r.settings.normalize ? initial_whole_frames(r.input_info.frames) : 0;
    if (!storage_fits(r, whole_frames)) {
        report_out_of_memory(name(r));
        return false;
    }
    // Built in locals: a failure unwinds them newest first before the message is printed.
    return allocate_or_report(
        [&] {
            audio_buffers buffers =
                make_audio_buffers(r.settings.block_frames,
                                   static_cast<uint32_t>(r.input_info.channels),
                                   r.tally.audio_outputs);
            control_storage controls = make_control_storage(r.tally, r.assignments.size());
            whole_output whole = r.settings.normalize
                                     ? make_whole_output(r.tally.audio_outputs, whole_frames,
                                                         declared_frames(r))
                                     : whole_output{};
            r.buffers = std::move(buffers);
            r.controls = std::move(controls);
            r.whole = std::move(whole);
        },
        name(r));
}

bool create_output_file(run& r) {
    r.output = open_output(r.settings.output_path, r.settings.input_path, r.input_info,
                           r.tally.audio_outputs, name(r));
    return r.output.get() != nullptr;
}

void connect_ports(run& r) {
    const port_targets targets{r.buffers.input_channels, r.buffers.output_channels, r.controls,
                               &r.latency_value};
    bind_ports(r.instance.get(), r.plugin, r.host.uris, r.tally, r.assignments, targets,
               sample_rate(r), name(r));
}

void activate(run& r) {
    lilv_instance_activate(r.instance.get());
    r.active = true;
}

bool process(run& r) {
    // With the sound on standard output, the report lines must not end up inside it.
    FILE* const report = std::strcmp(r.settings.output_path, "-") == 0 ? stderr : stdout;
    const block_loop_io io{r.settings,
                           r.input.get(),
                           r.output.get(),
                           r.instance.get(),
                           r.buffers,
                           r.whole,
                           r.tally.latency_port ? &r.latency_value : nullptr,
                           sample_rate(r),
                           declared_frames(r),
                           report};
    return process_blocks(io);
}

/// The phases in order; the first that fails has printed its message.
int drive(run& r, int argc, char** argv) {
    switch (parse_command_line(argc, argv, r.settings, r.assignments)) {
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
    const bool ready =
        open_world(r.host, name(r)) && select_plugin(r) && check_features(r.plugin, name(r)) &&
        accept_survey(survey_ports(r.plugin, r.host.uris, r.assignments, s.latency_compensation),
                      r.tally, name(r)) &&
        open_input_file(r) &&
        check_channels(r.input_info.channels, r.tally.audio_inputs_required,
                       r.tally.audio_inputs_all, name(r)) &&
        instantiate_plugin(r) && allocate_storage(r) && create_output_file(r);
    if (!ready)
        return 1;
    connect_ports(r);
    activate(r);
    return process(r) ? 0 : 1;
}

/// Releases, newest first, what must be released in order or may report a failure; the
/// destructor of the run frees the rest (the world, then the assignments).
void release_run(run& r) {
    if (r.active) {
        lilv_instance_deactivate(r.instance.get());
        r.active = false;
    }
    if (!close_output(r.output, name(r)))
        r.exit_status = 1;
    release(r.buffers);
    r.controls = {};
    r.whole = {};
    r.instance.reset();
    close_input(r.input, name(r));
}

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
    kelvo::run r;
    r.exit_status = kelvo::drive(r, argc, argv);
    kelvo::release_run(r);
    return r.exit_status;
}
