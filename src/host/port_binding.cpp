#include "host/port_binding.h"

#include <cmath>
#include <cstdio>

namespace kelvo {

namespace {

constexpr char msg_out_of_range_both[] =
    "%s: warning: out of range value for port '%s' (min: %g, max: %g)\n";
constexpr char msg_out_of_range_min[] = "%s: warning: out of range value for port '%s' (min: %g)\n";
constexpr char msg_out_of_range_max[] = "%s: warning: out of range value for port '%s' (max: %g)\n";

port_assignment* assignment_for(assignment_list& list, const LilvPort* port) {
    for (port_assignment& a : list) {
        if (a.port == port)
            return &a;
    }
    return nullptr;
}

// The file's channels left over after the required inputs feed optional audio inputs, in
// port order.
void connect_spare_channels(LilvInstance* instance, const LilvPlugin* plugin,
                            const core_uris& uris, std::span<std::vector<float>> channels,
                            size_t next_input) {
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    for (uint32_t i = 0; i < count && next_input < channels.size(); ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        if (lilv_port_has_property(plugin, port, uris.lv2_connectionOptional.get()) &&
            lilv_port_is_a(plugin, port, uris.lv2_AudioPort.get()) &&
            lilv_port_is_a(plugin, port, uris.lv2_InputPort.get())) {
            lilv_instance_connect_port(instance, i, channels[next_input++].data());
        }
    }
}

}  // namespace

port_range read_range(const LilvPlugin* plugin, const LilvPort* port) {
    LilvNode* d = nullptr;
    LilvNode* lo = nullptr;
    LilvNode* hi = nullptr;
    lilv_port_get_range(plugin, port, &d, &lo, &hi);
    const node_ptr def{d}, min{lo}, max{hi};
    port_range range;
    if (def)
        range.def = lilv_node_as_float(def.get());
    if (min)
        range.min = lilv_node_as_float(min.get());
    if (max)
        range.max = lilv_node_as_float(max.get());
    return range;
}

control_storage make_control_storage(const port_tally& tally, uint64_t assignment_count) {
    control_storage storage;
    if (tally.control_inputs > assignment_count)
        storage.defaults.resize(tally.control_inputs - assignment_count);
    storage.scratch.resize(tally.control_outputs);
    return storage;
}

float start_value(const port_range& range) {
    if (range.def)
        return *range.def;
    if (range.min)
        return *range.min;
    if (range.max)
        return *range.max;
    return 0;
}

void check_range(const port_range& range, bool sample_rate_bounds, double sample_rate,
                 float value, const char* symbol, const char* program_name) {
    const double scale = sample_rate_bounds ? sample_rate : 1.0;
    const double v = value;
    if (range.min && range.max) {
        const double lo = *range.min * scale;
        const double hi = *range.max * scale;
        if (lo > v || v > hi)
            std::fprintf(stderr, msg_out_of_range_both, program_name, symbol, lo, hi);
    } else if (range.min) {
        const double lo = *range.min * scale;
        if (lo > v)
            std::fprintf(stderr, msg_out_of_range_min, program_name, symbol, lo);
    } else if (range.max) {
        const double hi = *range.max * scale;
        if (v > hi)
            std::fprintf(stderr, msg_out_of_range_max, program_name, symbol, hi);
    }
}

void bind_ports(LilvInstance* instance, const LilvPlugin* plugin, const core_uris& uris,
                const port_tally& tally, assignment_list& assignments,
                const port_targets& targets, double sample_rate, const char* program_name) {
    size_t next_input = 0;
    size_t next_output = 0;
    size_t next_default = 0;
    size_t next_scratch = 0;
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    for (uint32_t i = 0; i < count; ++i) {
        const LilvPort* port = lilv_plugin_get_port_by_index(plugin, i);
        const bool optional =
            lilv_port_has_property(plugin, port, uris.lv2_connectionOptional.get());
        if (lilv_port_is_a(plugin, port, uris.lv2_AudioPort.get())) {
            if (optional)
                continue;
            if (lilv_port_is_a(plugin, port, uris.lv2_InputPort.get()))
                lilv_instance_connect_port(instance, i,
                                           targets.input_channels[next_input++].data());
            else
                lilv_instance_connect_port(instance, i,
                                           targets.output_channels[next_output++].data());
        } else if (lilv_port_is_a(plugin, port, uris.lv2_InputPort.get())) {
            if (port_assignment* a = assignment_for(assignments, port)) {
                const bool rate_bounds =
                    lilv_port_has_property(plugin, port, uris.lv2_sampleRate.get());
                check_range(read_range(plugin, port), rate_bounds, sample_rate, a->value,
                            a->symbol, program_name);
                lilv_instance_connect_port(instance, i, &a->value);
            } else if (!optional) {
                float& slot = targets.controls.defaults[next_default++];
                slot = start_value(read_range(plugin, port));
                lilv_instance_connect_port(instance, i, &slot);
            }
        } else if (port == tally.latency_port) {
            lilv_instance_connect_port(instance, i, targets.latency_value);
        } else if (!optional) {
            lilv_instance_connect_port(instance, i, &targets.controls.scratch[next_scratch++]);
        }
    }
    connect_spare_channels(instance, plugin, uris, targets.input_channels, next_input);
}

}  // namespace kelvo
