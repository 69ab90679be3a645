#include "info/describe.h"

#include "host/features.h"
#include "host/session.h"

#include <lv2/units/units.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <string_view>

namespace kelvo {

namespace {

std::string text_of(const LilvNode* node) {
    return node ? lilv_node_as_string(node) : std::string{};
}

// In order: lilv's follows where its nodes lie in memory, which changes with the bundles
// loaded.
std::vector<std::string> sorted_texts_of(const LilvNodes* nodes) {
    std::vector<std::string> texts;
    LILV_FOREACH (nodes, i, nodes) {
        texts.push_back(text_of(lilv_nodes_get(nodes, i)));
    }
    std::sort(texts.begin(), texts.end());
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
                                   const LilvPlugin* plugin, const planned_port& port) {
    port_description d;
    d.index = port.index;
    d.facts = port.facts;
    const node_ptr name{lilv_port_get_name(plugin, d.facts.port)};
    d.name = text_of(name.get());
    d.unit = unit_of(host, units, plugin, d.facts.port);
    return d;
}

// kelvo's own order: the features first, then the ports.
verdict judge(bool features_offered, const port_plan& plan) {
    if (!features_offered)
        return {false, features_reason()};
    if (plan.refusal != port_refusal::none)
        return {false, refusal_reason(plan)};
    return {true, {}};
}

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

namespace {

plugin_summary summarize(const LilvPlugin* plugin, const port_plan& plan,
                         const std::vector<std::string>& unsupported) {
    plugin_summary s;
    s.uri = lilv_node_as_string(lilv_plugin_get_uri(plugin));
    const node_ptr name{lilv_plugin_get_name(plugin)};
    s.name = text_of(name.get());
    s.tally = plan.tally;
    s.run = judge(unsupported.empty(), plan);
    return s;
}

}  // namespace

plugin_summary summarize_plugin(const plugin_host& host, const LilvPlugin* plugin) {
    return summarize(plugin, plan_ports(host, plugin, {}, true),
                     unsupported_features(host, plugin));
}

plugin_description describe_plugin(const plugin_host& host, const LilvPlugin* plugin) {
    plugin_description d;
    const port_plan plan = plan_ports(host, plugin, {}, true);
    d.unsupported_features = unsupported_features(host, plugin);
    d.summary = summarize(plugin, plan, d.unsupported_features);
    d.presets = list_presets(host, plugin);
    const nodes_ptr required{lilv_plugin_get_required_features(plugin)};
    d.required_features = sorted_texts_of(required.get());
    const nodes_ptr optional{lilv_plugin_get_optional_features(plugin)};
    d.optional_features = sorted_texts_of(optional.get());
    LilvWorld* const w = host.world.get();
    const unit_uris units{node_ptr{lilv_new_uri(w, LV2_UNITS__unit)},
                          node_ptr{lilv_new_uri(w, LV2_UNITS__symbol)}};
    for (const planned_port& port : plan.ports)
        d.ports.push_back(describe_one_port(host, units, plugin, port));
    return d;
}

float command_value(const port_description& port) {
    const float value = start_value(port.facts.range);
    return port.facts.sample_rate ? static_cast<float>(value * command_sample_rate) : value;
}

std::string float_text(float value) {
    char digits[32];
    const auto [end, ec] = std::to_chars(digits, digits + sizeof digits, value);
    return std::string(digits, end);
}

std::string command_line(const plugin_description& description) {
    std::string command = "kelvo -i input.wav -o output.wav";
    for (const port_description& port : description.ports) {
        if (!is_settable(port.facts))
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

std::string preset_command_line(const plugin_description& description, const std::string& label) {
    return "kelvo -i input.wav -o output.wav -p " + shell_word(label) + ' ' +
           shell_word(description.summary.uri);
}

}  // namespace kelvo
