#pragma once

#include "diagnostics.h"
#include "host/owners.h"

#include <lilv/lilv.h>

namespace kelvo {

/// The terms the host asks lilv about, in creation order; destroyed in reverse.
struct core_uris {
    node_ptr lv2_InputPort;
    node_ptr lv2_OutputPort;
    node_ptr lv2_AudioPort;
    node_ptr lv2_ControlPort;
    node_ptr lv2_connectionOptional;
    node_ptr lv2_reportsLatency;
    node_ptr lv2_sampleRate;
    node_ptr lv2_CVPort;
    node_ptr atom_AtomPort;
    node_ptr rsz_minimumSize;
    node_ptr lv2_port;
    node_ptr lv2_index;
    node_ptr opts_requiredOption;
    node_ptr state_state;
};

/// The lilv world and what belongs to it. The world is declared first, so it is freed
/// after the nodes made in it.
struct plugin_host {
    world_ptr world;
    const LilvPlugins* plugins = nullptr;  ///< belongs to the world
    core_uris uris;
};

/// What a world is loaded for.
struct world_scope {
    const char* plugin_uri = nullptr;  ///< the one plugin asked about; null for every plugin
    bool vocabularies = false;         ///< the LV2 vocabulary bundles too, which name units
};

/// Creates the world, loads the installed bundles `scope` needs and makes the URIs. For one
/// plugin that is the bundles that may mention it, or every bundle when that does not find
/// it: whatever lilv then reports about the plugin is what a load of every bundle reports.
bool open_world(plugin_host& host, diagnostics& d, const world_scope& scope = {});

/// The plugin whose URI is exactly `uri`, or null after the not-found error.
const LilvPlugin* find_plugin(const plugin_host& host, const char* uri, diagnostics& d);

/// True when `text` starts with a URI scheme and its colon, as an absolute URI does.
bool has_uri_scheme(const char* text);

}  // namespace kelvo
