#include "info/format.h"

#include "info/json.h"
#include "info/utf8.h"

#include <string_view>

namespace kelvo {

namespace {

// Text for a terminal or a tab-separated line: control characters become spaces and bytes
// that are not well-formed UTF-8 the replacement character.
std::string printable(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    while (!text.empty()) {
        const code_point c = first_code_point(text);
        if (c.length == 0) {
            out += replacement_character;
            text.remove_prefix(1);
            continue;
        }
        if (is_control(c.value))
            out += ' ';
        else
            out.append(text.substr(0, c.length));
        text.remove_prefix(c.length);
    }
    return out;
}

std::string verdict_text(const verdict& v) { return v.runnable ? "yes" : "no: " + v.reason; }

const char* type_text(const port_facts& f) {
    if (f.audio)
        return "audio";
    if (f.control)
        return "control";
    if (f.cv)
        return "CV";
    return f.atom ? "atom" : "other";
}

// kelvo's survey asks for input first, so a port that claims both is an input.
const char* direction_text(const port_facts& f) {
    if (f.input)
        return "input";
    return f.output ? "output" : nullptr;
}

std::string joined(const std::vector<std::string>& texts) {
    if (texts.empty())
        return "none";
    std::string out;
    for (const std::string& t : texts) {
        if (!out.empty())
            out += ", ";
        out += printable(t);
    }
    return out;
}

void append_bound(std::string& out, const char* label, const std::optional<float>& value) {
    if (!value)
        return;
    out += ", ";
    out += label;
    out += ' ';
    out += float_text(*value);
}

void append_port_line(std::string& out, const port_description& p) {
    out += "  ";
    out += std::to_string(p.index);
    out += ' ';
    out += printable(p.facts.symbol);
    out += " \"";
    out += printable(p.name);
    out += "\": ";
    out += type_text(p.facts);
    const char* direction = direction_text(p.facts);
    out += direction ? std::string{" "} + direction : ", no direction";
    if (p.facts.optional)
        out += ", optional";
    append_bound(out, "default", p.facts.range.def);
    append_bound(out, "minimum", p.facts.range.min);
    append_bound(out, "maximum", p.facts.range.max);
    if (p.facts.sample_rate)
        out += ", bounds scale with the sample rate";
    if (p.facts.reports_latency)
        out += ", reports latency";
    if (p.unit)
        out += ", unit " + printable(*p.unit);
    out += '\n';
}

std::string channels_text(const port_tally& t) {
    std::string out = std::to_string(t.audio_inputs_required);
    if (t.audio_inputs_all != t.audio_inputs_required)
        out += " to " + std::to_string(t.audio_inputs_all);
    return out;
}

// The channel counts beyond the plugin's own inputs that kelvo takes, and how.
std::string other_channels_text(const port_tally& t) {
    const std::string in = std::to_string(t.audio_inputs_required);
    const std::string out = std::to_string(t.audio_outputs) +
                            (t.audio_outputs == 1 ? " output channel" : " output channels");
    std::string text;
    if (runs_in_groups(t))
        text = t.audio_inputs_required == 1
                   ? "any number, an instance per channel with " + out + " each"
                   : "any multiple of " + in + ", an instance per " + in + " channels with " +
                         out + " each";
    if (fans_out(t))
        text += (text.empty() ? "" : "; ") + std::string{"1, fed to all "} + in +
                " inputs, with " + out;
    return text;
}

void write_optional(json_writer& json, const std::optional<float>& value) {
    if (value)
        json.number(*value);
    else
        json.null();
}

void write_verdict(json_writer& json, const verdict& v) {
    json.key("runnable");
    json.boolean(v.runnable);
    json.key("reason");
    if (v.runnable)
        json.null();
    else
        json.string(v.reason);
}

void write_strings(json_writer& json, const std::vector<std::string>& texts) {
    json.begin_array();
    for (const std::string& t : texts)
        json.string(t);
    json.end_array();
}

void write_port(json_writer& json, const port_description& p) {
    json.begin_object();
    json.key("index");
    json.integer(p.index);
    json.key("symbol");
    json.string(p.facts.symbol);
    json.key("name");
    json.string(p.name);
    json.key("type");
    json.string(type_text(p.facts));
    json.key("direction");
    if (const char* direction = direction_text(p.facts))
        json.string(direction);
    else
        json.null();
    json.key("optional");
    json.boolean(p.facts.optional);
    json.key("default");
    write_optional(json, p.facts.range.def);
    json.key("minimum");
    write_optional(json, p.facts.range.min);
    json.key("maximum");
    write_optional(json, p.facts.range.max);
    json.key("sample_rate");
    json.boolean(p.facts.sample_rate);
    json.key("reports_latency");
    json.boolean(p.facts.reports_latency);
    json.key("unit");
    if (p.unit)
        json.string(*p.unit);
    else
        json.null();
    json.end_object();
}

}  // namespace

std::string list_text(std::span<const plugin_summary> plugins) {
    std::string out;
    for (const plugin_summary& p : plugins) {
        out += printable(p.uri);
        out += '\t';
        out += printable(p.name);
        out += '\t';
        out += std::to_string(p.tally.audio_inputs_all);
        out += '/';
        out += std::to_string(p.tally.audio_outputs);
        out += '\t';
        out += printable(verdict_text(p.run));
        out += '\n';
    }
    return out;
}

std::string list_json(std::span<const plugin_summary> plugins) {
    std::string out;
    json_writer json{out};
    json.begin_object();
    json.key("plugins");
    json.begin_array();
    for (const plugin_summary& p : plugins) {
        json.begin_object();
        json.key("uri");
        json.string(p.uri);
        json.key("name");
        json.string(p.name);
        json.key("audio_inputs");
        json.integer(p.tally.audio_inputs_all);
        json.key("audio_outputs");
        json.integer(p.tally.audio_outputs);
        write_verdict(json, p.run);
        json.end_object();
    }
    json.end_array();
    json.end_object();
    out += '\n';
    return out;
}

std::string description_text(const plugin_description& d) {
    const plugin_summary& s = d.summary;
    std::string out;
    out += "Name: " + printable(s.name) + '\n';
    out += "URI: " + printable(s.uri) + '\n';
    out += "Required features: " + joined(d.required_features) + '\n';
    out += "Optional features: " + joined(d.optional_features) + '\n';
    if (!d.unsupported_features.empty())
        out += "Required features not offered: " + joined(d.unsupported_features) + '\n';
    out += "Ports:\n";
    for (const port_description& p : d.ports)
        append_port_line(out, p);
    out += "Input channels: " + channels_text(s.tally) + '\n';
    out += "Output channels: " + std::to_string(s.tally.audio_outputs) + '\n';
    if (const std::string other = other_channels_text(s.tally); !other.empty())
        out += "Other input channels: " + other + '\n';
    out += "Runnable: " + printable(verdict_text(s.run)) + '\n';
    if (!d.presets.empty()) {
        out += "Presets:\n";
        for (const preset_entry& p : d.presets)
            out += "  " + printable(p.label) + ": " + printable(p.uri) + '\n';
        out += "Preset command: " + preset_command_line(d, d.presets.front().label) + '\n';
    }
    out += "Command: " + command_line(d) + '\n';
    return out;
}

std::string description_json(const plugin_description& d) {
    const plugin_summary& s = d.summary;
    std::string out;
    json_writer json{out};
    json.begin_object();
    json.key("uri");
    json.string(s.uri);
    json.key("name");
    json.string(s.name);
    json.key("required_features");
    write_strings(json, d.required_features);
    json.key("optional_features");
    write_strings(json, d.optional_features);
    json.key("unsupported_features");
    write_strings(json, d.unsupported_features);
    json.key("ports");
    json.begin_array();
    for (const port_description& p : d.ports)
        write_port(json, p);
    json.end_array();
    json.key("input_channels");
    json.begin_object();
    json.key("minimum");
    json.integer(s.tally.audio_inputs_required);
    json.key("maximum");
    json.integer(s.tally.audio_inputs_all);
    json.end_object();
    json.key("output_channels");
    json.integer(s.tally.audio_outputs);
    json.key("instance_per_input_group");
    json.boolean(runs_in_groups(s.tally));
    json.key("mono_to_all_inputs");
    json.boolean(fans_out(s.tally));
    write_verdict(json, s.run);
    json.key("command");
    json.string(command_line(d));
    json.key("presets");
    json.begin_array();
    for (const preset_entry& p : d.presets) {
        json.begin_object();
        json.key("label");
        json.string(p.label);
        json.key("uri");
        json.string(p.uri);
        json.key("command");
        json.string(preset_command_line(d, p.label));
        json.end_object();
    }
    json.end_array();
    json.end_object();
    out += '\n';
    return out;
}

}  // namespace kelvo
