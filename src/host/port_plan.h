#pragma once

#include "cli/assignments.h"
#include "host/plugin_host.h"

#include <lilv/lilv.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

/// The audio ports the program feeds, and the control ports as the user sees them.
struct port_tally {
    uint32_t audio_inputs_all = 0;
    uint32_t audio_inputs_required = 0;
    uint32_t audio_outputs = 0;    ///< required audio outputs: the output file's channels
    uint32_t control_inputs = 0;   ///< assigned, or required and left to their default
    uint32_t control_outputs = 0;  ///< required ones, and every latency reporter when compensating
};

/// A port's declared range, as lilv read it.
struct port_range {
    std::optional<float> def;
    std::optional<float> min;
    std::optional<float> max;
};

/// What lilv says of one port.
struct port_facts {
    const LilvPort* port = nullptr;
    const char* symbol = "";  ///< belongs to the world
    bool audio = false;
    bool control = false;
    bool cv = false;
    bool atom = false;
    bool input = false;
    bool output = false;
    bool optional = false;         ///< lv2:connectionOptional
    bool reports_latency = false;  ///< lv2:reportsLatency
    bool sample_rate = false;      ///< lv2:sampleRate: the bounds are fractions of the rate
    port_range range;              ///< read for control and CV inputs only
    std::optional<std::string> minimum_size;  ///< an atom port's rsz:minimumSize, as written
};

/// True for a port a value can be given to: a control or CV input.
bool is_settable(const port_facts& f);

/// What the program does with a port.
enum class port_role : uint8_t {
    unconnected,
    audio_in,
    audio_in_optional,  ///< fed by a channel left over after the required inputs, if any
    audio_out,
    audio_out_unused,  ///< an optional output, given scratch: some plugins write it regardless
    control_in,
    control_out,
    latency,  ///< the control output whose report the block loop reads
    atom_in,
    atom_out,
    cv_in,
    cv_out,
};

/// One port, decided once; storage, binding, the messages and kelvo-info read it.
struct planned_port {
    uint32_t index = 0;
    port_facts facts;
    port_role role = port_role::unconnected;
    uint32_t slot = 0;        ///< channel (audio), value (control, latency) or buffer (atom, CV)
    uint32_t atom_bytes = 0;  ///< an atom port's buffer: the default, or more if it asks
    const port_assignment* assignment = nullptr;  ///< the user's value, for an input
    std::optional<float> preset;                   ///< the preset's value, for a control input
};

/// Why the plugin or an assignment cannot be driven: the first problem met.
enum class port_refusal {
    none,
    broken_description,
    assigned_audio_input,
    assigned_audio_output,
    assigned_control_output,
    assigned_atom,
    assigned_cv_output,
    unknown_type,
    bad_atom_size,
    port_not_found,  ///< an assignment names no port
    no_audio_in,
    no_audio_out,
};

/// The smallest atom buffer, and the largest a port may ask for.
constexpr uint32_t default_atom_bytes = 8192;
constexpr uint32_t max_atom_bytes = uint32_t{64} << 20;

/// Every port, what it is connected to, and the storage that needs.
struct port_plan {
    std::vector<planned_port> ports;  ///< in index order
    port_tally tally;                 ///< every port the walk classified, also past a refusal
    uint32_t control_values = 0;      ///< control inputs and outputs connected
    uint32_t atom_inputs = 0;
    uint32_t atom_outputs = 0;
    uint32_t cv_inputs = 0;
    uint32_t cv_outputs = 0;
    uint32_t unused_outputs = 0;  ///< optional audio outputs, whose audio is not written
    uint32_t sequence_bytes = default_atom_bytes;  ///< the largest atom buffer
    uint64_t atom_storage_bytes = 0;               ///< all atom buffers together
    std::optional<uint32_t> latency_slot;          ///< the value the latency port writes
    port_refusal refusal = port_refusal::none;
    std::string subject;  ///< the refused port's or assignment's symbol, or the plugin's URI
    std::string detail;   ///< what is wrong, where the message says more than the subject
};

/// How the channels of a file meet the plugin's audio inputs.
struct channel_layout {
    uint32_t instances = 1;  ///< side by side, each on the next required inputs' channels
    bool fan_out = false;    ///< the file's one channel feeds every required input
};

/// True when the plugin runs on any multiple of its audio inputs, an instance per group: it
/// has some, none of them optional.
bool runs_in_groups(const port_tally& tally);

/// True when a file of one channel can feed every required audio input.
bool fans_out(const port_tally& tally);

/// The layout for a file of `channels`: as many channels as the plugin has inputs, required
/// first; else one instance per as many channels as it has inputs, none of them optional;
/// else one channel to every required input. Nothing when none of these fits.
std::optional<channel_layout> layout_for(uint32_t channels, const port_tally& tally);

/// Decides `port`'s role and slot within `plan`, given the user's value for it (or null);
/// returns why it cannot be driven, if it cannot.
port_refusal plan_port(planned_port& port, const port_assignment* assignment,
                       bool latency_compensation, port_plan& plan);

/// What lilv says of the port at `index`.
port_facts describe_port(const LilvPlugin* plugin, const core_uris& uris, uint32_t index);

/// What is wrong with the ports' indices, which lilv trusts when it counts the ports; nothing
/// when every port has one integer index and they run from 0 without gaps or repeats.
std::optional<std::string> index_problem(const plugin_host& host, const LilvPlugin* plugin);

/// Walks every port once, then checks the assignments and the audio ports. Prints nothing;
/// throws std::bad_alloc when memory runs out.
port_plan plan_ports(const plugin_host& host, const LilvPlugin* plugin,
                     const assignment_list& assignments, bool latency_compensation);

/// The words of the plan's refusal after "error: "; empty when there is none. Throws
/// std::bad_alloc when memory runs out.
std::string refusal_reason(const port_plan& plan);

/// False after reporting the refusal, if there is one.
bool accept_plan(const port_plan& plan, diagnostics& d);

/// The control or CV input `symbol` names, for a value given after the plan; else nothing,
/// after the error plan_ports gives for that assignment.
planned_port* settable_port(port_plan& plan, const char* symbol, diagnostics& d);

}  // namespace kelvo
