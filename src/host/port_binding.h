#pragma once

#include "cli/assignments.h"
#include "host/port_survey.h"

#include <lilv/lilv.h>

#include <optional>
#include <span>
#include <vector>

namespace kelvo {

/// Where the control ports without an assignment are connected.
struct control_storage {
    std::vector<float> defaults;  ///< one per required control input left unassigned
    std::vector<float> scratch;   ///< one per counted control output; nothing reads it
};

/// Storage sized for `tally`; throws std::bad_alloc when memory runs out.
control_storage make_control_storage(const port_tally& tally, uint64_t assignment_count);

/// A port's declared range, as lilv read it.
struct port_range {
    std::optional<float> def;
    std::optional<float> min;
    std::optional<float> max;
};

/// The port's range as lilv reads it from the plugin's description.
port_range read_range(const LilvPlugin* plugin, const LilvPort* port);

/// The value an unassigned control input starts at: the default, else the minimum, else the
/// maximum, else 0.
float start_value(const port_range& range);

/// Warns when `value` lies outside the range; bounds of an `lv2:sampleRate` port are given
/// in fractions of `sample_rate`.
void check_range(const port_range& range, bool sample_rate_bounds, double sample_rate,
                 float value, const char* symbol, const char* program_name);

/// Everything the ports are connected to.
struct port_targets {
    std::span<std::vector<float>> input_channels;
    std::span<std::vector<float>> output_channels;
    control_storage& controls;
    float* latency_value;
};

/// Connects every port the program feeds. Never fails; may print range warnings.
void bind_ports(LilvInstance* instance, const LilvPlugin* plugin, const core_uris& uris,
                const port_tally& tally, assignment_list& assignments,
                const port_targets& targets, double sample_rate, const char* program_name);

}  // namespace kelvo
