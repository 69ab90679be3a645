#pragma once

#include "host/owners.h"

#include <lilv/lilv.h>

#include <string>
#include <string_view>

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

/// Creates the world, loads every installed bundle and makes the URIs.
bool open_world(plugin_host& host);

/// The plugin whose URI is exactly `uri`, or null after the not-found error.
const LilvPlugin* find_plugin(const plugin_host& host, const char* uri);

/// True when one of the folders of the search path `path` (separated by colons) is relative.
bool has_relative_folder(std::string_view path);

/// `path` with every relative folder resolved against `base`, or left out when `base` is
/// null; empty folders are left out too.
std::string absolute_search_path(std::string_view path, const char* base);

/// True when `text` starts with a URI scheme and its colon, as an absolute URI does.
bool has_uri_scheme(const char* text);

}  // namespace kelvo
