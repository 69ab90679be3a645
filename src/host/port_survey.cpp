#include "host/port_survey.h"

#include <cstdio>

namespace kelvo {

namespace {

// A refusal's words on either side of the symbol it names. The error line puts them after
// the program name, so kelvo-info can quote them without it.
struct refusal_words {
    const char* before;
    const char* after;
};

constexpr char msg_refusal[] = "%s: error: %s%s%s\n";
constexpr refusal_words msg_assigned_audio_in{"cannot assign a value to port '",
                                              "' (it is an audio in port)"};
constexpr refusal_words msg_assigned_audio_out{"cannot assign a value to port '",
                                               "' (it is an audio out port)"};
constexpr refusal_words msg_assigned_control_out{"cannot assign a value to port '",
                                                 "' (it is a control out port)"};
constexpr refusal_words msg_unknown_port_type{
    "port '", "' has a port type this program does not understand"};
constexpr refusal_words msg_port_not_found{"port '", "' not found"};
constexpr refusal_words msg_no_audio_in{"the plugin has no audio in ports", ""};
constexpr refusal_words msg_no_audio_out{"the plugin has no audio out ports", ""};

refusal_words words_for(port_refusal refusal) {
    switch (refusal) {
        case port_refusal::assigned_audio_input:
            return msg_assigned_audio_in;
        case port_refusal::assigned_audio_output:
            return msg_assigned_audio_out;
        case port_refusal::assigned_control_output:
            return msg_assigned_control_out;
        case port_refusal::unknown_type:
            return msg_unknown_port_type;
        case port_refusal::port_not_found:
            return msg_port_not_found;
        case port_refusal::no_audio_in:
            return msg_no_audio_in;
        case port_refusal::no_audio_out:
            return msg_no_audio_out;
        case port_refusal::none:
            break;
    }
    return {"", ""};
}

survey_result refused(survey_result survey, port_refusal refusal, const char* symbol) {
    survey.refusal = refusal;
    survey.symbol = symbol;
    return survey;
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

survey_result survey_ports(const LilvPlugin* plugin, const core_uris& uris,
                           assignment_list& assignments, bool latency_compensation) {
    survey_result survey;
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    // The walk goes on past a refusal, so that the counts describe the whole plugin; the
    // first refusal is the one reported.
    for (uint32_t i = 0; i < count; ++i) {
        const port_facts port = describe_port(plugin, uris, i);
        port_assignment* const assignment = find_assignment(assignments, port.symbol);
        const port_refusal refusal =
            tally_port(port, assignment, latency_compensation, survey.tally);
        if (refusal != port_refusal::none && survey.refusal == port_refusal::none) {
            survey.refusal = refusal;
            survey.symbol = port.symbol;
        }
    }
    if (survey.refusal != port_refusal::none)
        return survey;
    for (const port_assignment& a : assignments) {
        if (!a.port)
            return refused(survey, port_refusal::port_not_found, a.symbol);
    }
    if (survey.tally.audio_inputs_all == 0)
        return refused(survey, port_refusal::no_audio_in, "");
    if (survey.tally.audio_outputs == 0)
        return refused(survey, port_refusal::no_audio_out, "");
    return survey;
}

void print_refusal(const survey_result& survey, const char* program_name) {
    if (survey.refusal == port_refusal::none)
        return;
    const refusal_words words = words_for(survey.refusal);
    std::fprintf(stderr, msg_refusal, program_name, words.before, survey.symbol, words.after);
}

std::string refusal_reason(const survey_result& survey) {
    const refusal_words words = words_for(survey.refusal);
    std::string reason = words.before;
    reason += survey.symbol;
    reason += words.after;
    return reason;
}

bool accept_survey(const survey_result& survey, port_tally& tally, const char* program_name) {
    if (survey.refusal != port_refusal::none) {
        print_refusal(survey, program_name);
        return false;
    }
    tally = survey.tally;
    return true;
}

}  // namespace kelvo
