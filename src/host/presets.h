#pragma once

#include "c_free.h"
#include "host/plugin_host.h"
#include "host/urid_map.h"

#include <lilv/lilv.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace kelvo {

using state_ptr = std::unique_ptr<LilvState, c_free<lilv_state_free>>;

/// One of a plugin's presets.
struct preset_entry {
    std::string label;  ///< empty when the preset has none
    std::string uri;
};

/// The plugin's presets, installed or the user's own, in label order. Throws
/// std::bad_alloc when memory runs out.
std::vector<preset_entry> list_presets(const plugin_host& host, const LilvPlugin* plugin);

/// The preset `name` names for the plugin: the URI of one of its presets, else the exact label
/// of one, else a state saved in the file or bundle folder at that path. Nothing, after the
/// error, when there is none, when a label names several, when the state is for another
/// plugin, or when the preset requires a feature that is not offered.
state_ptr load_preset(const plugin_host& host, const LilvPlugin* plugin, const char* name,
                      urid_map& urids, diagnostics& d);

/// The port values of `state`, by symbol, as floats.
std::vector<std::pair<std::string, float>> preset_values(const LilvState* state,
                                                         urid_map& urids);

}  // namespace kelvo
