#include "host/plugin_host.h"

#include "host/search_path.h"
#include "memory.h"
#include "messages.h"

#include <lv2/atom/atom.h>
#include <lv2/core/lv2.h>
#include <lv2/options/options.h>
#include <lv2/resize-port/resize-port.h>
#include <lv2/state/state.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace kelvo {

namespace {

constexpr char msg_no_lilv[] = "could not initialize Lilv";
constexpr char msg_plugin_not_found[] = "plugin '%s' not found";

bool is_alpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

bool is_scheme_char(char c) {
    return is_alpha(c) || (c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.';
}

// The search path lilv loads when it is told nothing: read from the library when it was
// built, since lilv does not tell; null when it could not be read.
#ifdef KELVO_LILV_DEFAULT_PATH
constexpr const char* lilv_default_path = KELVO_LILV_DEFAULT_PATH;
#else
constexpr const char* lilv_default_path = nullptr;
#endif

// Set to anything, makes every run load every bundle of the search path.
constexpr char full_load_variable[] = "KELVO_FULL_LOAD";

// lilv takes a relative folder in LV2_PATH for a URI and crashes on it, so such folders are
// given to it resolved against the working directory, as the user meant them. `path` becomes
// the search path lilv will load, or stays empty when that is not known.
bool choose_search_path(LilvWorld* world, std::string& path, diagnostics& d) {
    return allocate_or_report(d, [&] {
        const char* const given = std::getenv("LV2_PATH");
        if (!given || !has_relative_folder(given)) {
            path = given ? given : lilv_default_path ? lilv_default_path : "";
            return;
        }
        char directory[PATH_MAX];
        path = absolute_search_path(given, getcwd(directory, sizeof directory));
        const node_ptr value{lilv_new_string(world, path.c_str())};
        lilv_world_set_option(world, LILV_OPTION_LV2_PATH, value.get());
    });
}

bool new_world(plugin_host& host, std::string& path, diagnostics& d) {
    host.world.reset(lilv_world_new());
    if (!host.world) {
        return report_error(d, problem::cannot_run, msg_no_lilv);
    }
    return choose_search_path(host.world.get(), path, d);
}

bool has_plugin(LilvWorld* world, const char* uri) {
    const node_ptr node{lilv_new_uri(world, uri)};
    return node && lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), node.get());
}

// What loading only the bundles that may mention the plugin came to.
enum class partial_load { skipped, found, not_found, failed };

// Loads those bundles in the order a full load would. lilv reads the rest of a plugin's
// description from its bundle and the presets from the bundles that name it, so nothing the
// run asks about is left out.
partial_load load_bundles_for(LilvWorld* world, const std::string& path, const world_scope& scope,
                              diagnostics& d) {
    if (path.empty() || std::getenv(full_load_variable) || !has_uri_scheme(scope.plugin_uri))
        return partial_load::skipped;
    bool relative = false;
    bool found = false;
    const bool loaded = allocate_or_report(d, [&] {
        auto load = [world](const char* bundle) {
            const node_ptr uri{lilv_new_file_uri(world, nullptr, bundle)};
            if (uri)
                lilv_world_load_bundle(world, uri.get());
        };
        relative = !for_each_bundle_for(path, scope.plugin_uri, scope.vocabularies, load);
        if (relative)
            return;
        if (scope.vocabularies)
            lilv_world_load_specifications(world);
        found = has_plugin(world, scope.plugin_uri);
    });
    if (relative)
        return partial_load::skipped;
    return !loaded ? partial_load::failed : found ? partial_load::found : partial_load::not_found;
}

// The plugin list and the terms the host asks about, once the bundles are loaded.
bool make_core_uris(plugin_host& host) {
    LilvWorld* const w = host.world.get();
    host.plugins = lilv_world_get_all_plugins(w);
    core_uris& u = host.uris;
    u.lv2_InputPort.reset(lilv_new_uri(w, LV2_CORE__InputPort));
    u.lv2_OutputPort.reset(lilv_new_uri(w, LV2_CORE__OutputPort));
    u.lv2_AudioPort.reset(lilv_new_uri(w, LV2_CORE__AudioPort));
    u.lv2_ControlPort.reset(lilv_new_uri(w, LV2_CORE__ControlPort));
    u.lv2_connectionOptional.reset(lilv_new_uri(w, LV2_CORE__connectionOptional));
    u.lv2_reportsLatency.reset(lilv_new_uri(w, LV2_CORE__reportsLatency));
    u.lv2_sampleRate.reset(lilv_new_uri(w, LV2_CORE__sampleRate));
    u.lv2_CVPort.reset(lilv_new_uri(w, LV2_CORE__CVPort));
    u.atom_AtomPort.reset(lilv_new_uri(w, LV2_ATOM__AtomPort));
    u.rsz_minimumSize.reset(lilv_new_uri(w, LV2_RESIZE_PORT__minimumSize));
    u.lv2_port.reset(lilv_new_uri(w, LV2_CORE__port));
    u.lv2_index.reset(lilv_new_uri(w, LV2_CORE__index));
    u.opts_requiredOption.reset(lilv_new_uri(w, LV2_OPTIONS__requiredOption));
    u.state_state.reset(lilv_new_uri(w, LV2_STATE__state));
    return true;
}

}  // namespace

bool has_uri_scheme(const char* text) {
    if (!is_alpha(text[0]))
        return false;
    const char* p = text + 1;
    while (is_scheme_char(*p))
        ++p;
    return *p == ':';
}

bool open_world(plugin_host& host, diagnostics& d, const world_scope& scope) {
    std::string path;
    if (!new_world(host, path, d))
        return false;
    switch (scope.plugin_uri ? load_bundles_for(host.world.get(), path, scope, d)
                             : partial_load::skipped) {
        case partial_load::failed:
            return false;
        case partial_load::found:
            return make_core_uris(host);
        case partial_load::not_found:
            // The plugin's error, or a plugin this scan cannot see, comes from a world that
            // loaded everything, as it always did.
            if (!new_world(host, path, d))
                return false;
            break;
        case partial_load::skipped:
            break;
    }
    lilv_world_load_all(host.world.get());
    return make_core_uris(host);
}

const LilvPlugin* find_plugin(const plugin_host& host, const char* uri, diagnostics& d) {
    // A text without a scheme is no plugin's URI; lilv would complain about it on its own.
    const LilvPlugin* plugin = nullptr;
    if (has_uri_scheme(uri)) {
        const node_ptr node{lilv_new_uri(host.world.get(), uri)};
        if (node)
            plugin = lilv_plugins_get_by_uri(host.plugins, node.get());
    }
    if (!plugin)
        report_error(d, problem::not_found, msg_plugin_not_found, uri);
    return plugin;
}

}  // namespace kelvo
