#pragma once

#include "cli/assignments.h"
#include "host/features.h"
#include "host/owners.h"
#include "host/plugin_host.h"
#include "host/plugin_watch.h"
#include "host/port_plan.h"
#include "host/presets.h"

#include <lilv/lilv.h>

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace kelvo {

/// One atom port's buffer: 8-byte aligned, as atoms must be, and left untouched but for the
/// header, since a port may ask for megabytes it never fills.
struct atom_buffer {
    std::unique_ptr<uint64_t[]> words;
    uint32_t bytes = 0;
};

/// What the ports other than audio are connected to, sized from the plan.
struct port_storage {
    std::vector<float> values;           ///< one per connected control port
    std::vector<std::vector<float>> blocks;  ///< a block per CV input, CV output and unused
                                             ///< audio output, in that order
    std::vector<atom_buffer> atom_inputs;
    std::vector<atom_buffer> atom_outputs;
};

/// One instance, with what it is offered and what its ports are connected to; destroyed
/// newest first.
struct plugin_instance {
    std::unique_ptr<host_features> features;  // plugins keep pointers into it: never moves
    instance_ptr instance;
    port_storage storage;
};

/// One plugin of a chain: the world, the plugin, its port plan, the features it is offered,
/// its instances and their activation. Its errors and warnings go to `report`.
struct plugin_session {
    explicit plugin_session(diagnostics& d) : report{d} {}
    plugin_session(const plugin_session&) = delete;
    plugin_session& operator=(const plugin_session&) = delete;

    diagnostics& report;
    plugin_host host;
    const LilvPlugin* plugin = nullptr;  ///< belongs to the world
    port_plan plan;
    block_length block;
    channel_layout layout;
    std::unique_ptr<urid_map> urids;  ///< one table for the run, from the plan on
    std::unique_ptr<plugin_log> log;  ///< one for the plugin, made with the URI table
    state_ptr preset;                 ///< what -p chose; instances made again get it too
    size_t host_urids = 0;            ///< the URIs the host and the preset mapped, before any
                                      ///< instance mapped its own
    std::vector<plugin_instance> instances;
    bool active = false;
    plugin_watch* watch = nullptr;  ///< marked around every call into the plugin; null: untracked
    uint32_t position = 1;          ///< the plugin's place in the run, as the watch shows it
};

/// Opens the world and finds the plugin named `uri`; false after the error.
bool select_plugin(plugin_session& s, const char* uri);

/// Refuses, with its error, a plugin that needs what is not offered, cannot take blocks of
/// `block_frames`, or whose ports or `assignments` cannot be driven; else plans its ports.
bool plan_session(plugin_session& s, const assignment_list& assignments, bool latency_compensation,
                  uint64_t block_frames);

/// Finds and reads the preset `name` (nothing to do when null) and takes its port values;
/// false after the error. Warns once about values for ports the plugin does not have.
bool choose_preset(plugin_session& s, const char* name);

/// The output's channels: every instance's required audio outputs.
uint32_t output_channels(const plugin_session& s);

/// Creates the instances at `sample_rate` with their features, binds their workers and
/// restores their default state; false after the error.
bool instantiate(plugin_session& s, double sample_rate);

/// Storage for every port the plan connects besides audio, control values at their start:
/// the default, else the minimum, else the maximum, else 0, then the user's value. Throws
/// std::bad_alloc when memory runs out.
port_storage make_port_storage(const port_plan& plan, uint64_t block_frames);

/// The value an unassigned control input starts at.
float start_value(const port_range& range);

/// The value a control or CV input starts at: the user's, else the preset's, else the start
/// value.
float initial_value(const planned_port& p);

/// Warns when `value` lies outside the range; bounds of an `lv2:sampleRate` port are given
/// in fractions of `sample_rate`.
void check_range(const port_range& range, bool sample_rate_bounds, double sample_rate, float value,
                 const char* symbol, diagnostics& d);

/// Connects every port the plan feeds, in every instance: audio to the channel buffers of the
/// layout (spare input channels to the optional inputs, in port order), the rest to the
/// instance's storage. Warns about user values out of range.
void connect_ports(plugin_session& s, std::span<std::vector<float>> inputs,
                   std::span<std::vector<float>> outputs, double sample_rate);

void activate(plugin_session& s);

/// Runs every instance on `frames` frames: fresh atom buffers, then `run`, then the responses
/// of the work it asked for.
void run_block(plugin_session& s, uint32_t frames);

/// True when the plugin reports its latency.
bool reports_latency(const plugin_session& s);

/// The largest latency an instance reports (NaN if one reports NaN).
float latency_report(const plugin_session& s);

void deactivate(plugin_session& s);

/// Frees the port storage, newest first.
void release_storage(plugin_session& s);

/// Frees the instances, newest first, then the URIs they mapped, then what they were offered.
void release_instances(plugin_session& s);

}  // namespace kelvo
