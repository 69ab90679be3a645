#pragma once

#include "cli/assignments.h"
#include "host/plugin_host.h"

#include <lilv/lilv.h>

#include <cstdint>
#include <string>

namespace kelvo {

/// The ports the program feeds, counted by the survey.
struct port_tally {
    uint32_t audio_inputs_all = 0;
    uint32_t audio_inputs_required = 0;
    uint32_t audio_outputs = 0;    ///< required audio outputs: the output file's channels
    uint32_t control_inputs = 0;   ///< assigned, or required and left to their default
    uint32_t control_outputs = 0;  ///< required ones, and every latency reporter when compensating
    const LilvPort* latency_port = nullptr;  ///< belongs to the world
};

/// What the survey needs to know of one port.
struct port_facts {
    const LilvPort* port = nullptr;
    const char* symbol = "";
    bool audio = false;
    bool control = false;
    bool input = false;
    bool output = false;
    bool optional = false;         ///< lv2:connectionOptional
    bool reports_latency = false;  ///< lv2:reportsLatency
};

/// Why the survey refuses the plugin or an assignment: the first problem it met.
enum class port_refusal {
    none,
    assigned_audio_input,
    assigned_audio_output,
    assigned_control_output,
    unknown_type,
    port_not_found,  ///< an assignment names no port
    no_audio_in,
    no_audio_out,
};

/// What the survey found: the tally, or the first refusal and the symbol it names.
struct survey_result {
    port_tally tally;  ///< every port the walk could classify, also past a refusal
    port_refusal refusal = port_refusal::none;
    const char* symbol = "";  ///< the refused port's (world) or assignment's (argv) symbol
};

/// Counts one port into `tally` and binds `assignment` (the entry named by its symbol, or
/// null) to it; returns why the port cannot be driven, if it cannot.
port_refusal tally_port(const port_facts& port, port_assignment* assignment,
                        bool latency_compensation, port_tally& tally);

/// The facts lilv knows about the port at `index`.
port_facts describe_port(const LilvPlugin* plugin, const core_uris& uris, uint32_t index);

/// Walks every port once, binding the assignments, then checks the assignments and the
/// audio ports. Prints nothing.
survey_result survey_ports(const LilvPlugin* plugin, const core_uris& uris,
                           assignment_list& assignments, bool latency_compensation);

/// Prints the survey's refusal as the program's error line; nothing when there is none.
void print_refusal(const survey_result& survey, const char* program_name);

/// The words of the refusal's error line after "error: ", without the newline; "" for none.
/// Throws std::bad_alloc when memory runs out.
std::string refusal_reason(const survey_result& survey);

/// For the driver: keeps the survey's tally in `tally`, or prints the refusal and returns
/// false.
bool accept_survey(const survey_result& survey, port_tally& tally, const char* program_name);

}  // namespace kelvo
