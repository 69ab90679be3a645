#include "info/describe.h"

#include <lv2/units/units.h>

#include <charconv>
#include <cstring>
#include <string_view>

namespace kelvo {

namespace {

std::string text_of(const LilvNode* node) {
    return node ? lilv_node_as_string(node) : std::string{};
}

std::vector<std::string> texts_of(const LilvNodes* nodes) {
    std::vector<std::string> texts;
    LILV_FOREACH (nodes, i, nodes) {
        texts.push_back(text_of(lilv_nodes_get(nodes, i)));
    }
    return texts;
}

// The two terms of the LV2 units vocabulary a description asks about.
struct unit_uris {
    node_ptr units_unit;
    node_ptr units_symbol;
};

// The unit's own symbol when the world knows it ("dB" for units:db once the units bundle is
// loaded), else the unit's URI or literal; nothing for an unnamed unit.
std::optional<std::string> unit_of(const plugin_host& host, const unit_uris& uris,
                                   const LilvPlugin* plugin, const LilvPort* port) {
    const nodes_ptr units{lilv_port_get_value(plugin, port, uris.units_unit.get())};
    const LilvNode* unit = units ? lilv_nodes_get_first(units.get()) : nullptr;
    if (!unit)
        return std::nullopt;
    if (lilv_node_is_uri(unit) || lilv_node_is_blank(unit)) {
        const node_ptr symbol{
            lilv_world_get(host.world.get(), unit, uris.units_symbol.get(), nullptr)};
        if (symbol)
            return text_of(symbol.get());
        if (lilv_node_is_blank(unit))
            return std::nullopt;
    }
    return text_of(unit);
}

port_description describe_one_port(const plugin_host& host, const unit_uris& units,
                                   const LilvPlugin* plugin, uint32_t index) {
    port_description d;
    d.index = index;
    d.facts = describe_port(plugin, host.uris, index);
    const node_ptr name{lilv_port_get_name(plugin, d.facts.port)};
    d.name = text_of(name.get());
    d.range = read_range(plugin, d.facts.port);
    d.sample_rate = lilv_port_has_property(plugin, d.facts.port, host.uris.lv2_sampleRate.get());
    d.unit = unit_of(host, units, plugin, d.facts.port);
    return d;
}

// kelvo's own order: the features first, then the survey.
verdict judge(const LilvPlugin* plugin, const survey_result& survey) {
    if (requires_features(plugin))
        return {false, features_reason()};
    if (survey.refusal != port_refusal::none)
        return {false, refusal_reason(survey)};
    return {true, {}};
}

bool is_control_input(const port_facts& f) { return !f.audio && f.control && f.input; }

bool is_shell_safe(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           (c != '\0' && std::strchr("@%+=:,./-_", c) != nullptr);
}

bool is_control_byte(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// The word as the shell reads it back: bare when it can be, in single quotes otherwise, and
// in $'...' when it holds control characters, so that the command stays on one line.
std::string shell_word(std::string_view word) {
    bool safe = !word.empty();
    bool controls = false;
    for (const char c : word) {
        safe = safe && is_shell_safe(c);
        controls = controls || is_control_byte(c);
    }
    if (safe)
        return std::string{word};
    std::string quoted = controls ? "$'" : "'";
    for (const char c : word) {
        if (!controls && c == '\'') {
            quoted += "'\\''";
        } else if (controls && (c == '\'' || c == '\\')) {
            quoted += '\\';
            quoted += c;
        } else if (is_control_byte(c)) {
            constexpr char hex[] = "0123456789abcdef";
            const auto byte = static_cast<unsigned char>(c);
            quoted += "\\x";
            quoted += hex[byte >> 4];
            quoted += hex[byte & 0xF];
        } else {
            quoted += c;
        }
    }
    quoted += '\'';
    return quoted;
}

}  // namespace

plugin_summary summarize_plugin(const plugin_host& host, const LilvPlugin* plugin) {
    plugin_summary s;
    s.uri = lilv_node_as_string(lilv_plugin_get_uri(plugin));
    const node_ptr name{lilv_plugin_get_name(plugin)};
    s.name = text_of(name.get());
    assignment_list no_assignments;
    const survey_result survey = survey_ports(plugin, host.uris, no_assignments, true);
    s.tally = survey.tally;
    s.run = judge(plugin, survey);
    return s;
}

plugin_description describe_plugin(const plugin_host& host, const LilvPlugin* plugin) {
    plugin_description d;
    d.summary = summarize_plugin(host, plugin);
    const nodes_ptr required{lilv_plugin_get_required_features(plugin)};
    d.required_features = texts_of(required.get());
    const nodes_ptr optional{lilv_plugin_get_optional_features(plugin)};
    d.optional_features = texts_of(optional.get());
    LilvWorld* const w = host.world.get();
    const unit_uris units{node_ptr{lilv_new_uri(w, LV2_UNITS__unit)},
                          node_ptr{lilv_new_uri(w, LV2_UNITS__symbol)}};
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    for (uint32_t i = 0; i < count; ++i)
        d.ports.push_back(describe_one_port(host, units, plugin, i));
    return d;
}

float command_value(const port_description& port) {
    const float value = start_value(port.range);
    return port.sample_rate ? static_cast<float>(value * command_sample_rate) : value;
}

std::string float_text(float value) {
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    return std::string(digits, end);
}

std::string command_line(const plugin_description& description) {
    std::string command = "kelvo -i input.wav -o output.wav";
    for (const port_description& port : description.ports) {
        if (!is_control_input(port.facts))
            continue;
        const std::string assignment =
            std::string{port.facts.symbol} + ':' + float_text(command_value(port));
        command += " -c ";
        command += shell_word(assignment);
    }
    command += ' ';
    command += shell_word(description.summary.uri);
    return command;
}

}  // namespace kelvo
