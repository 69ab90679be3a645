#include "host/port_plan.h"

#include "messages.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace kelvo {

namespace {

constexpr char msg_assigned_audio_in[] =
    "cannot assign a value to port '%s' (it is an audio in port)";
constexpr char msg_assigned_audio_out[] =
    "cannot assign a value to port '%s' (it is an audio out port)";
constexpr char msg_assigned_control_out[] =
    "cannot assign a value to port '%s' (it is a control out port)";
constexpr char msg_assigned_atom[] = "cannot assign a value to port '%s' (it is an atom port)";
constexpr char msg_assigned_cv_out[] = "cannot assign a value to port '%s' (it is a CV out port)";
constexpr char msg_unknown_port_type[] =
    "port '%s' has a port type this program does not understand";
constexpr char msg_bad_atom_size[] =
    "port '%s' asks for a buffer size this program cannot give (rsz:minimumSize %s)";
constexpr char msg_port_not_found[] = "port '%s' not found";
constexpr char msg_no_audio_in[] = "the plugin has no audio in ports";
constexpr char msg_no_audio_out[] = "the plugin has no audio out ports";
constexpr char msg_broken_description[] = "plugin '%s' has a broken description: %s";

constexpr char problem_no_index[] = "a port has no lv2:index";
constexpr char problem_two_indices[] = "a port has more than one lv2:index";
constexpr char problem_bad_index[] = "a port has the lv2:index '";
constexpr char problem_repeated_index[] = "two ports have the lv2:index ";

const char* format_for(port_refusal refusal) {
    switch (refusal) {
        case port_refusal::broken_description:
            return msg_broken_description;
        case port_refusal::assigned_audio_input:
            return msg_assigned_audio_in;
        case port_refusal::assigned_audio_output:
            return msg_assigned_audio_out;
        case port_refusal::assigned_control_output:
            return msg_assigned_control_out;
        case port_refusal::assigned_atom:
            return msg_assigned_atom;
        case port_refusal::assigned_cv_output:
            return msg_assigned_cv_out;
        case port_refusal::unknown_type:
            return msg_unknown_port_type;
        case port_refusal::bad_atom_size:
            return msg_bad_atom_size;
        case port_refusal::port_not_found:
            return msg_port_not_found;
        case port_refusal::no_audio_in:
            return msg_no_audio_in;
        case port_refusal::no_audio_out:
            return msg_no_audio_out;
        case port_refusal::none:
            break;
    }
    return "";
}

// The size an atom port asks for, if it is a whole number of bytes the program can give.
std::optional<uint32_t> atom_size(const std::optional<std::string>& text) {
    if (!text)
        return 0;
    uint64_t size = 0;
    const char* p = text->c_str();
    for (; *p >= '0' && *p <= '9' && size <= max_atom_bytes; ++p)
        size = size * 10 + static_cast<uint64_t>(*p - '0');
    if (*p != '\0' || p == text->c_str() || size == 0 || size > max_atom_bytes)
        return std::nullopt;
    return static_cast<uint32_t>(size);
}

port_refusal plan_audio_port(planned_port& p, bool assigned, port_plan& plan) {
    port_tally& t = plan.tally;
    if (p.facts.input) {
        if (assigned)
            return port_refusal::assigned_audio_input;
        ++t.audio_inputs_all;
        // An optional input's slot counts from the required inputs; the plan adds them last.
        p.role = p.facts.optional ? port_role::audio_in_optional : port_role::audio_in;
        p.slot = p.facts.optional ? t.audio_inputs_all - t.audio_inputs_required - 1
                                  : t.audio_inputs_required++;
    } else if (p.facts.output) {
        if (assigned)
            return port_refusal::assigned_audio_output;
        // Optional outputs are not written, but a plugin may write them all the same.
        p.role = p.facts.optional ? port_role::audio_out_unused : port_role::audio_out;
        p.slot = p.facts.optional ? plan.unused_outputs++ : t.audio_outputs++;
    } else {
        return port_refusal::unknown_type;
    }
    return port_refusal::none;
}

port_refusal plan_control_port(planned_port& p, bool assigned, bool latency_compensation,
                               port_plan& plan) {
    port_tally& t = plan.tally;
    if (p.facts.input) {
        // Optional ones too get their value: some plugins read every control input regardless.
        p.role = port_role::control_in;
        p.slot = plan.control_values++;
        t.control_inputs += assigned || !p.facts.optional ? 1 : 0;
    } else if (p.facts.output) {
        if (assigned)
            return port_refusal::assigned_control_output;
        // Several reporters: each is counted, and the last one in index order is read; the
        // earlier ones become ordinary control outputs.
        if (latency_compensation && p.facts.reports_latency) {
            if (plan.latency_slot) {
                for (planned_port& earlier : plan.ports) {
                    if (earlier.role == port_role::latency)
                        earlier.role = port_role::control_out;
                }
            }
            p.role = port_role::latency;
            p.slot = plan.control_values++;
            plan.latency_slot = p.slot;
            ++t.control_outputs;
        } else {
            // An optional one gets a value too: some plugins write their meters regardless.
            p.role = port_role::control_out;
            p.slot = plan.control_values++;
            t.control_outputs += p.facts.optional ? 0 : 1;
        }
    } else {
        return port_refusal::unknown_type;
    }
    return port_refusal::none;
}

port_refusal plan_cv_port(planned_port& p, bool assigned, port_plan& plan) {
    if (p.facts.input) {
        p.role = port_role::cv_in;
        p.slot = plan.cv_inputs++;
    } else if (p.facts.output) {
        if (assigned)
            return port_refusal::assigned_cv_output;
        p.role = port_role::cv_out;
        p.slot = plan.cv_outputs++;
    } else {
        return port_refusal::unknown_type;
    }
    return port_refusal::none;
}

port_refusal plan_atom_port(planned_port& p, bool assigned, port_plan& plan) {
    if (!p.facts.input && !p.facts.output)
        return port_refusal::unknown_type;
    if (assigned)
        return port_refusal::assigned_atom;
    const std::optional<uint32_t> size = atom_size(p.facts.minimum_size);
    if (!size)
        return port_refusal::bad_atom_size;
    p.atom_bytes = std::max(default_atom_bytes, *size);
    plan.sequence_bytes = std::max(plan.sequence_bytes, p.atom_bytes);
    plan.atom_storage_bytes += p.atom_bytes;
    p.role = p.facts.input ? port_role::atom_in : port_role::atom_out;
    p.slot = p.facts.input ? plan.atom_inputs++ : plan.atom_outputs++;
    return port_refusal::none;
}

std::optional<float> float_of(const LilvNode* node) {
    if (!node)
        return std::nullopt;
    return lilv_node_as_float(node);
}

port_range read_range(const LilvPlugin* plugin, const LilvPort* port) {
    LilvNode* d = nullptr;
    LilvNode* lo = nullptr;
    LilvNode* hi = nullptr;
    lilv_port_get_range(plugin, port, &d, &lo, &hi);
    const node_ptr def{d}, min{lo}, max{hi};
    return {float_of(def.get()), float_of(min.get()), float_of(max.get())};
}

void refuse(port_plan& plan, port_refusal refusal, const char* subject, std::string detail = {}) {
    plan.refusal = refusal;
    plan.subject = subject;
    plan.detail = std::move(detail);
}

}  // namespace

bool runs_in_groups(const port_tally& t) {
    return t.audio_inputs_all == t.audio_inputs_required && t.audio_inputs_required >= 1;
}

bool fans_out(const port_tally& t) { return t.audio_inputs_required >= 2; }

std::optional<channel_layout> layout_for(uint32_t channels, const port_tally& t) {
    const uint32_t required = t.audio_inputs_required;
    if (required <= channels && channels <= t.audio_inputs_all)
        return channel_layout{};
    if (runs_in_groups(t) && channels % required == 0 && channels / required >= 2)
        return channel_layout{channels / required, false};
    if (channels == 1 && fans_out(t))
        return channel_layout{1, true};
    return std::nullopt;
}

bool is_settable(const port_facts& f) { return !f.audio && (f.control || f.cv) && f.input; }

port_refusal plan_port(planned_port& port, const port_assignment* assignment,
                       bool latency_compensation, port_plan& plan) {
    const port_facts& f = port.facts;
    const bool assigned = assignment != nullptr;
    port.assignment = assignment;
    if (f.audio)
        return plan_audio_port(port, assigned, plan);
    if (f.control)
        return plan_control_port(port, assigned, latency_compensation, plan);
    if (f.cv)
        return plan_cv_port(port, assigned, plan);
    if (f.atom)
        return plan_atom_port(port, assigned, plan);
    return port_refusal::unknown_type;
}

port_facts describe_port(const LilvPlugin* plugin, const core_uris& uris, uint32_t index) {
    port_facts f;
    f.port = lilv_plugin_get_port_by_index(plugin, index);
    if (!f.port)
        return f;
    if (const LilvNode* symbol = lilv_port_get_symbol(plugin, f.port))
        f.symbol = lilv_node_as_string(symbol);
    const auto is_a = [&](const node_ptr& type) {
        return lilv_port_is_a(plugin, f.port, type.get());
    };
    const auto has = [&](const node_ptr& property) {
        return lilv_port_has_property(plugin, f.port, property.get());
    };
    f.audio = is_a(uris.lv2_AudioPort);
    f.control = is_a(uris.lv2_ControlPort);
    f.cv = is_a(uris.lv2_CVPort);
    f.atom = is_a(uris.atom_AtomPort);
    f.input = is_a(uris.lv2_InputPort);
    f.output = is_a(uris.lv2_OutputPort);
    f.optional = has(uris.lv2_connectionOptional);
    f.reports_latency = has(uris.lv2_reportsLatency);
    f.sample_rate = has(uris.lv2_sampleRate);
    if (f.input && (f.control || f.cv) && !f.audio)
        f.range = read_range(plugin, f.port);
    if (f.atom) {
        const nodes_ptr sizes{lilv_port_get_value(plugin, f.port, uris.rsz_minimumSize.get())};
        if (const LilvNode* size = sizes ? lilv_nodes_get_first(sizes.get()) : nullptr)
            f.minimum_size = lilv_node_as_string(size);
    }
    return f;
}

std::optional<std::string> index_problem(const plugin_host& host, const LilvPlugin* plugin) {
    const core_uris& u = host.uris;
    const nodes_ptr ports{lilv_plugin_get_value(plugin, u.lv2_port.get())};
    const size_t count = lilv_nodes_size(ports.get());
    std::vector<bool> seen(count);
    LILV_FOREACH (nodes, i, ports.get()) {
        const LilvNode* port = lilv_nodes_get(ports.get(), i);
        const nodes_ptr indices{
            lilv_world_find_nodes(host.world.get(), port, u.lv2_index.get(), nullptr)};
        const size_t n = lilv_nodes_size(indices.get());
        if (n != 1)
            return n == 0 ? problem_no_index : problem_two_indices;
        const LilvNode* index = lilv_nodes_get_first(indices.get());
        const int value = lilv_node_is_int(index) ? lilv_node_as_int(index) : -1;
        if (value < 0 || static_cast<size_t>(value) >= count)
            return std::string{problem_bad_index} + lilv_node_as_string(index) + "'";
        if (seen[static_cast<size_t>(value)])
            return problem_repeated_index + std::to_string(value);
        seen[static_cast<size_t>(value)] = true;
    }
    return std::nullopt;
}

port_plan plan_ports(const plugin_host& host, const LilvPlugin* plugin,
                     const assignment_list& assignments, bool latency_compensation) {
    port_plan plan;
    if (const std::optional<std::string> problem = index_problem(host, plugin)) {
        refuse(plan, port_refusal::broken_description,
               lilv_node_as_string(lilv_plugin_get_uri(plugin)), *problem);
        return plan;
    }
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    plan.ports.reserve(count);
    // The walk goes on past a refusal, so that the counts describe the whole plugin; the
    // first refusal is the one reported.
    for (uint32_t i = 0; i < count; ++i) {
        planned_port& port = plan.ports.emplace_back();
        port.index = i;
        port.facts = describe_port(plugin, host.uris, i);
        const port_assignment* assignment = find_assignment(assignments, port.facts.symbol);
        const port_refusal refusal = plan_port(port, assignment, latency_compensation, plan);
        if (refusal != port_refusal::none && plan.refusal == port_refusal::none)
            refuse(plan, refusal, port.facts.symbol, port.facts.minimum_size.value_or(""));
    }
    for (planned_port& port : plan.ports) {
        if (port.role == port_role::audio_in_optional)
            port.slot += plan.tally.audio_inputs_required;
    }
    if (plan.refusal != port_refusal::none)
        return plan;
    for (const port_assignment& a : assignments) {
        const auto named = [&](const planned_port& p) {
            return std::strcmp(p.facts.symbol, a.symbol) == 0;
        };
        if (std::none_of(plan.ports.begin(), plan.ports.end(), named)) {
            refuse(plan, port_refusal::port_not_found, a.symbol);
            return plan;
        }
    }
    if (plan.tally.audio_inputs_all == 0)
        refuse(plan, port_refusal::no_audio_in, "");
    else if (plan.tally.audio_outputs == 0)
        refuse(plan, port_refusal::no_audio_out, "");
    return plan;
}

// The formats are this file's own constants, each with at most two strings to fill in.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
std::string refusal_reason(const port_plan& plan) {
    const char* const format = format_for(plan.refusal);
    const char* const a = plan.subject.c_str();
    const char* const b = plan.detail.c_str();
    std::string reason(static_cast<size_t>(std::max(std::snprintf(nullptr, 0, format, a, b), 0)),
                       '\0');
    std::snprintf(reason.data(), reason.size() + 1, format, a, b);
    return reason;
}
#pragma GCC diagnostic pop

bool accept_plan(const port_plan& plan, diagnostics& d) {
    if (plan.refusal == port_refusal::none)
        return true;
    problem kind = problem::cannot_run;  // the plugin's own ports cannot be driven
    switch (plan.refusal) {
        case port_refusal::port_not_found:
            kind = problem::no_port;
            break;
        case port_refusal::assigned_audio_input:
        case port_refusal::assigned_audio_output:
        case port_refusal::assigned_control_output:
        case port_refusal::assigned_atom:
        case port_refusal::assigned_cv_output:
            kind = problem::bad_value;
            break;
        default:
            break;
    }
    std::string reason;
    if (allocate_or_report(d, [&] { reason = refusal_reason(plan); }))
        d.error(kind, reason);
    return false;
}

planned_port* settable_port(port_plan& plan, const char* symbol, diagnostics& d) {
    const auto named = [&](const planned_port& p) {
        return std::strcmp(p.facts.symbol, symbol) == 0;
    };
    const auto port = std::find_if(plan.ports.begin(), plan.ports.end(), named);
    if (port == plan.ports.end()) {
        report_error(d, problem::no_port, msg_port_not_found, symbol);
        return nullptr;
    }
    if (is_settable(port->facts))
        return &*port;
    // Planned again on the side, the port gives the refusal it would have given at first.
    allocate_or_report(d, [&] {
        port_plan side;
        planned_port copy = *port;
        const port_assignment assignment{symbol, 0};
        refuse(side, plan_port(copy, &assignment, true, side), port->facts.symbol,
               port->facts.minimum_size.value_or(""));
        accept_plan(side, d);
    });
    return nullptr;
}

}  // namespace kelvo
