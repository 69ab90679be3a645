#pragma once

#include "cli/assignments.h"
#include "host/features.h"
#include "host/owners.h"
#include "host/plugin_host.h"
#include "host/port_plan.h"

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

/// The plugin's side of a run: the world, the plugin, its port plan, the features it is
/// offered, the instance and its activation. The audio side asks it to run blocks.
struct plugin_session {
    plugin_host host;
    const LilvPlugin* plugin = nullptr;  ///< belongs to the world
    port_plan plan;
    block_length block;
    std::unique_ptr<host_features> features;  // plugins keep pointers into it: never moves
    instance_ptr instance;
    port_storage storage;
    bool active = false;
};

/// Opens the world and finds the plugin named `uri`; false after the error.
bool select_plugin(plugin_session& s, const char* uri);

/// Refuses, with its error, a plugin that needs what is not offered, cannot take blocks of
/// `block_frames`, or whose ports or `assignments` cannot be driven; else plans its ports.
bool plan_session(plugin_session& s, const assignment_list& assignments, bool latency_compensation,
                  uint64_t block_frames);

/// Creates the instance at `sample_rate` with the features, binds its worker and restores
/// its default state; false after the error.
bool instantiate(plugin_session& s, double sample_rate);

/// Storage for every port the plan connects besides audio, control values at their start:
/// the default, else the minimum, else the maximum, else 0, then the user's value. Throws
/// std::bad_alloc when memory runs out.
port_storage make_port_storage(const port_plan& plan, uint64_t block_frames);

/// The value an unassigned control input starts at.
float start_value(const port_range& range);

/// Warns when `value` lies outside the range; bounds of an `lv2:sampleRate` port are given
/// in fractions of `sample_rate`.
void check_range(const port_range& range, bool sample_rate_bounds, double sample_rate, float value,
                 const char* symbol);

/// Connects every port the plan feeds: audio to the channel buffers (spare input channels to
/// the optional inputs, in port order), the rest to the storage. Warns about user values out
/// of range.
void connect_ports(plugin_session& s, std::span<std::vector<float>> inputs,
                   std::span<std::vector<float>> outputs, double sample_rate);

void activate(plugin_session& s);

/// Runs the plugin on `frames` frames: fresh atom buffers, then `run`, then the responses of
/// the work it asked for.
void run_block(plugin_session& s, uint32_t frames);

/// Where the latency port writes; null without one.
const float* latency_report(const plugin_session& s);

void deactivate(plugin_session& s);

/// Frees the port storage.
void release_storage(plugin_session& s);

/// Frees the instance, then what it was offered.
void release_instance(plugin_session& s);

}  // namespace kelvo
