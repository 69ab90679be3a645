#include "host/plugin_host.h"

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

// Calls `visit` with each folder of a search path, empty ones too.
template <typename Visit>
void for_each_folder(std::string_view path, Visit visit) {
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(':', start), path.size());
        visit(path.substr(start, end - start));
        start = end + 1;
    }
}

bool is_relative(std::string_view folder) {
    return !folder.empty() && folder[0] != '/' && folder[0] != '~' && folder[0] != '$';
}

// lilv takes a relative folder in LV2_PATH for a URI and crashes on it, so such folders are
// given to it resolved against the working directory, as the user meant them.
bool search_absolute_folders(LilvWorld* world) {
    const char* const path = std::getenv("LV2_PATH");
    if (!path || !has_relative_folder(path))
        return true;
    char directory[PATH_MAX];
    const char* const base = getcwd(directory, sizeof directory);
    return allocate_or_report([&] {
        const std::string absolute = absolute_search_path(path, base);
        const node_ptr value{lilv_new_string(world, absolute.c_str())};
        lilv_world_set_option(world, LILV_OPTION_LV2_PATH, value.get());
    });
}

}  // namespace

bool has_relative_folder(std::string_view path) {
    bool relative = false;
    for_each_folder(path, [&](std::string_view folder) { relative |= is_relative(folder); });
    return relative;
}

std::string absolute_search_path(std::string_view path, const char* base) {
    std::string absolute;
    for_each_folder(path, [&](std::string_view folder) {
        if (folder.empty() || (is_relative(folder) && !base))
            return;
        if (!absolute.empty())
            absolute += ':';
        if (is_relative(folder))
            absolute.append(base).append("/");
        absolute.append(folder);
    });
    return absolute;
}

bool has_uri_scheme(const char* text) {
    if (!is_alpha(text[0]))
        return false;
    const char* p = text + 1;
    while (is_scheme_char(*p))
        ++p;
    return *p == ':';
}

bool open_world(plugin_host& host) {
    host.world.reset(lilv_world_new());
    if (!host.world) {
        error(msg_no_lilv);
        return false;
    }
    LilvWorld* const w = host.world.get();
    if (!search_absolute_folders(w))
        return false;
    lilv_world_load_all(w);
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

const LilvPlugin* find_plugin(const plugin_host& host, const char* uri) {
    // A text without a scheme is no plugin's URI; lilv would complain about it on its own.
    const LilvPlugin* plugin = nullptr;
    if (has_uri_scheme(uri)) {
        const node_ptr node{lilv_new_uri(host.world.get(), uri)};
        if (node)
            plugin = lilv_plugins_get_by_uri(host.plugins, node.get());
    }
    if (!plugin)
        error(msg_plugin_not_found, uri);
    return plugin;
}

}  // namespace kelvo
