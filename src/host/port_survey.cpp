#include "host/port_survey.h"

#include <cstdio>

namespace kelvo {

namespace {

constexpr char msg_assigned_audio_in[] =
    "%s: error: cannot assign a value to port '%s' (it is an audio in port)\n";
constexpr char msg_assigned_audio_out[] =
    "%s: error: cannot assign a value to port '%s' (it is an audio out port)\n";
constexpr char msg_assigned_control_out[] =
    "%s: error: cannot assign a value to port '%s' (it is a control out port)\n";
constexpr char msg_unknown_port_type[] =
    "%s: error: port '%s' has a port type this program does not understand\n";
constexpr char msg_port_not_found[] = "%s: error: port '%s' not found\n";
constexpr char msg_no_audio_in[] = "%s: error: the plugin has no audio in ports\n";
constexpr char msg_no_audio_out[] = "%s: error: the plugin has no audio out ports\n";

void print_refusal(port_refusal refusal, const char* symbol, const char* program_name) {
    switch (refusal) {
        case port_refusal::assigned_audio_input:
            std::fprintf(stderr, msg_assigned_audio_in, program_name, symbol);
            break;
        case port_refusal::assigned_audio_output:
            std::fprintf(stderr, msg_assigned_audio_out, program_name, symbol);
            break;
        case port_refusal::assigned_control_output:
            std::fprintf(stderr, msg_assigned_control_out, program_name, symbol);
            break;
        case port_refusal::unknown_type:
            std::fprintf(stderr, msg_unknown_port_type, program_name, symbol);
            break;
        case port_refusal::none:
            break;
    }
}

port_refusal tally_audio_port(const port_facts& p, bool assigned, port_tally& t) {
    if (p.input) {
        if (assigned)
            return port_refusal::assigned_audio_input;
        ++t.audio_inputs_all;
        if (!p.optional)
            ++t.audio_inputs_required;
    } else if (p.output) {
        if (assigned)
            return port_refusal::assigned_audio_output;
        if (!p.optional)
            ++t.audio_outputs;
    } else {
        return port_refusal::unknown_type;
    }
    return port_refusal::none;
}

port_refusal tally_control_port(const port_facts& p, port_assignment* assignment,
                                bool latency_compensation, port_tally& t) {
    if (p.input) {
        if (assignment) {
            assignment->port = p.port;
            ++t.control_inputs;
        } else if (!p.optional) {
            ++t.control_inputs;
        }
    } else if (p.output) {
        if (assignment)
            return port_refusal::assigned_control_output;
        // Several reporters: each is counted, and the last one in index order is watched.
        if (latency_compensation && p.reports_latency) {
            t.latency_port = p.port;
            ++t.control_outputs;
        } else if (!p.optional) {
            ++t.control_outputs;
        }
    } else {
        return port_refusal::unknown_type;
    }
    return port_refusal::none;
}

}  // namespace

port_refusal tally_port(const port_facts& port, port_assignment* assignment,
                        bool latency_compensation, port_tally& tally) {
    if (port.audio)
        return tally_audio_port(port, assignment != nullptr, tally);
    if (port.control)
        return tally_control_port(port, assignment, latency_compensation, tally);
    return port_refusal::unknown_type;
}

port_facts describe_port(const LilvPlugin* plugin, const core_uris& uris, uint32_t index) {
    port_facts f;
    f.port = lilv_plugin_get_port_by_index(plugin, index);
    if (const LilvNode* symbol = lilv_port_get_symbol(plugin, f.port))
        f.symbol = lilv_node_as_string(symbol);
    f.audio = lilv_port_is_a(plugin, f.port, uris.lv2_AudioPort.get());
    f.control = lilv_port_is_a(plugin, f.port, uris.lv2_ControlPort.get());
    f.input = lilv_port_is_a(plugin, f.port, uris.lv2_InputPort.get());
    f.output = lilv_port_is_a(plugin, f.port, uris.lv2_OutputPort.get());
    f.optional = lilv_port_has_property(plugin, f.port, uris.lv2_connectionOptional.get());
    f.reports_latency = lilv_port_has_property(plugin, f.port, uris.lv2_reportsLatency.get());
    return f;
}

bool survey_ports(const LilvPlugin* plugin, const core_uris& uris, assignment_list& assignments,
                  bool latency_compensation, port_tally& tally, const char* program_name) {
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    for (uint32_t i = 0; i < count; ++i) {
        const port_facts port = describe_port(plugin, uris, i);
        port_assignment* const assignment = find_assignment(assignments, port.symbol);
        const port_refusal refusal = tally_port(port, assignment, latency_compensation, tally);
        if (refusal != port_refusal::none) {
            print_refusal(refusal, port.symbol, program_name);
            return false;
        }
    }
    for (const port_assignment& a : assignments) {
        if (!a.port) {
            std::fprintf(stderr, msg_port_not_found, program_name, a.symbol);
            return false;
        }
    }
    if (tally.audio_inputs_all == 0) {
        std::fprintf(stderr, msg_no_audio_in, program_name);
        return false;
    }
    if (tally.audio_outputs == 0) {
        std::fprintf(stderr, msg_no_audio_out, program_name);
        return false;
    }
    return true;
}

}  // namespace kelvo
