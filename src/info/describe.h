#pragma once

#include "host/plugin_host.h"
#include "host/port_plan.h"
#include "host/presets.h"

#include <lilv/lilv.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

/// The rate at which the command line shows the values of `lv2:sampleRate` ports.
constexpr double command_sample_rate = 48000;

/// Whether kelvo runs a plugin without any `-c`, and its words when it does not.
struct verdict {
    bool runnable = false;
    std::string reason;  ///< kelvo's error line after "error: "; empty when runnable
};

/// What the list tells of one plugin.
struct plugin_summary {
    const char* uri = "";  ///< belongs to the world
    std::string name;      ///< empty when the plugin declares none
    port_tally tally;      ///< the plan's counts, without assignments
    verdict run;
};

/// What the description tells of one port, in index order.
struct port_description {
    uint32_t index = 0;
    port_facts facts;  ///< as the plan sees the port; the symbol belongs to the world
    std::string name;
    std::optional<std::string> unit;  ///< the unit's symbol when known, else its URI
};

/// Everything `kelvo-info URI` tells of one plugin.
struct plugin_description {
    plugin_summary summary;
    std::vector<std::string> required_features;
    std::vector<std::string> optional_features;
    std::vector<std::string> unsupported_features;  ///< required, and not offered
    std::vector<preset_entry> presets;              ///< in label order
    std::vector<port_description> ports;
};

/// The summary kelvo-info lists for `plugin`. Throws std::bad_alloc when memory runs out.
plugin_summary summarize_plugin(const plugin_host& host, const LilvPlugin* plugin);

/// The whole description of `plugin`. Throws std::bad_alloc when memory runs out.
plugin_description describe_plugin(const plugin_host& host, const LilvPlugin* plugin);

/// The value kelvo starts a control input at, as it is written on the command line: at
/// command_sample_rate for a port whose bounds scale with the rate.
float command_value(const port_description& port);

/// The shortest text that reads back as `value`, as kelvo reads the value of a `-c`.
std::string float_text(float value);

/// A command line that runs kelvo on the plugin with every control input at its command
/// value, each word quoted for the shell where it needs to be.
std::string command_line(const plugin_description& description);

/// A command line that runs kelvo on the plugin from the preset `label`, quoted likewise.
std::string preset_command_line(const plugin_description& description, const std::string& label);

}  // namespace kelvo
