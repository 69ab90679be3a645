#include "host/presets.h"

#include "host/features.h"
#include "memory.h"
#include "messages.h"

#include <dirent.h>
#include <sys/stat.h>

#include <lv2/atom/atom.h>
#include <lv2/presets/presets.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <tuple>

namespace kelvo {

namespace {

constexpr char msg_preset_not_found[] =
    "preset '%s' not found for this plugin ('kelvo-info %s' lists its presets)";
constexpr char msg_preset_ambiguous[] = "preset label '%s' names several presets: %s";
constexpr char msg_state_unreadable[] = "could not read a plugin state from '%s'";
constexpr char msg_state_other_plugin[] = "the state in '%s' is for plugin '%s', not this one";
constexpr char msg_preset_features[] =
    "the preset requires features that this program does not support, sorry";

constexpr char rdfs_label[] = "http://www.w3.org/2000/01/rdf-schema#label";

// The presets that apply to the plugin, each loaded, with its label.
std::vector<std::pair<const LilvNode*, std::string>> labelled(const plugin_host& host,
                                                               const LilvNodes* presets) {
    LilvWorld* const world = host.world.get();
    const node_ptr label_uri{lilv_new_uri(world, rdfs_label)};
    std::vector<std::pair<const LilvNode*, std::string>> found;
    LILV_FOREACH (nodes, i, presets) {
        const LilvNode* preset = lilv_nodes_get(presets, i);
        lilv_world_load_resource(world, preset);
        const node_ptr label{lilv_world_get(world, preset, label_uri.get(), nullptr)};
        found.emplace_back(preset, label ? lilv_node_as_string(label.get()) : "");
    }
    return found;
}

nodes_ptr presets_of(const plugin_host& host, const LilvPlugin* plugin) {
    const node_ptr preset_class{lilv_new_uri(host.world.get(), LV2_PRESETS__Preset)};
    return nodes_ptr{lilv_plugin_get_related(plugin, preset_class.get())};
}

// True when every feature the preset requires is offered.
bool offered_to(const plugin_host& host, const LilvNode* preset) {
    LilvWorld* const world = host.world.get();
    const node_ptr required_feature{lilv_new_uri(world, LV2_CORE__requiredFeature)};
    const nodes_ptr required{
        lilv_world_find_nodes(world, preset, required_feature.get(), nullptr)};
    bool offered = true;
    LILV_FOREACH (nodes, i, required.get()) {
        offered = offered && offers_feature(lilv_node_as_string(lilv_nodes_get(required.get(), i)));
    }
    return offered;
}

// The files a saved state may be in: the path itself, or the Turtle files of a folder.
std::vector<std::string> state_files(const char* path) {
    struct stat st {};
    if (stat(path, &st) != 0)
        return {};
    if (!S_ISDIR(st.st_mode))
        return {path};
    std::vector<std::string> files;
    const std::unique_ptr<DIR, c_free<closedir>> dir{opendir(path)};
    while (const dirent* entry = dir ? readdir(dir.get()) : nullptr) {
        const std::string name = entry->d_name;
        if (name.size() > 4 && name.ends_with(".ttl") && name != "manifest.ttl")
            files.push_back(std::string{path} + "/" + name);
    }
    std::sort(files.begin(), files.end());
    return files;
}

state_ptr load_state_file(const plugin_host& host, const LilvPlugin* plugin, const char* path,
                          diagnostics& d,
                          urid_map& urids) {
    const char* const uri = lilv_node_as_string(lilv_plugin_get_uri(plugin));
    state_ptr other;
    for (const std::string& file : state_files(path)) {
        state_ptr state{
            lilv_state_new_from_file(host.world.get(), &urids.map_feature, nullptr, file.c_str())};
        if (state && std::strcmp(lilv_node_as_string(lilv_state_get_plugin_uri(state.get())),
                                 uri) == 0)
            return state;
        if (state && !other)
            other = std::move(state);
    }
    if (other)
        report_error(d, problem::bad_value, msg_state_other_plugin, path,
                     lilv_node_as_string(lilv_state_get_plugin_uri(other.get())));
    else
        report_error(d, problem::bad_value, msg_state_unreadable, path);
    return {};
}

}  // namespace

std::vector<preset_entry> list_presets(const plugin_host& host, const LilvPlugin* plugin) {
    const nodes_ptr presets = presets_of(host, plugin);
    std::vector<preset_entry> list;
    for (const auto& [node, label] : labelled(host, presets.get()))
        list.push_back({label, lilv_node_as_string(node)});
    std::sort(list.begin(), list.end(), [](const preset_entry& a, const preset_entry& b) {
        return std::tie(a.label, a.uri) < std::tie(b.label, b.uri);
    });
    return list;
}

state_ptr load_preset(const plugin_host& host, const LilvPlugin* plugin, const char* name,
                      urid_map& urids, diagnostics& d) {
    LilvWorld* const world = host.world.get();
    const nodes_ptr presets = presets_of(host, plugin);
    const LilvNode* chosen = nullptr;
    std::string several;
    if (!allocate_or_report(d, [&] {
            std::vector<const LilvNode*> named;
            for (const auto& [node, label] : labelled(host, presets.get())) {
                if (std::strcmp(lilv_node_as_string(node), name) == 0)
                    chosen = node;
                else if (label == name)
                    named.push_back(node);
            }
            if (!chosen && named.size() == 1)
                chosen = named[0];
            for (size_t i = 0; !chosen && named.size() > 1 && i < named.size(); ++i)
                several += (i ? ", " : "") + std::string{lilv_node_as_string(named[i])};
        }))
        return {};
    if (!several.empty()) {
        report_error(d, problem::bad_value, msg_preset_ambiguous, name, several.c_str());
        return {};
    }
    if (!chosen) {
        struct stat st {};
        if (stat(name, &st) == 0)
            return load_state_file(host, plugin, name, d, urids);
        report_error(d, problem::not_found, msg_preset_not_found, name,
                     lilv_node_as_string(lilv_plugin_get_uri(plugin)));
        return {};
    }
    if (!offered_to(host, chosen)) {
        report_error(d, problem::cannot_run, msg_preset_features);
        return {};
    }
    state_ptr state{lilv_state_new_from_world(world, &urids.map_feature, chosen)};
    if (!state)
        report_error(d, problem::bad_value, msg_state_unreadable, name);
    return state;
}

std::vector<std::pair<std::string, float>> preset_values(const LilvState* state,
                                                         urid_map& urids) {
    struct collected {
        urid_map& urids;
        std::vector<std::pair<std::string, float>> values;
        bool exhausted = false;
    } c{urids, {}};
    lilv_state_emit_port_values(
        state,
        [](const char* symbol, void* data, const void* value, uint32_t size,
           uint32_t type) noexcept {
            auto& into = *static_cast<collected*>(data);
            float v = 0;
            if (type == into.urids.map(LV2_ATOM__Float) && size == sizeof(float))
                std::memcpy(&v, value, sizeof v);
            else if (type == into.urids.map(LV2_ATOM__Double) && size == sizeof(double))
                v = static_cast<float>(*static_cast<const double*>(value));
            else if (type == into.urids.map(LV2_ATOM__Int) && size == sizeof(int32_t))
                v = static_cast<float>(*static_cast<const int32_t*>(value));
            else if (type == into.urids.map(LV2_ATOM__Long) && size == sizeof(int64_t))
                v = static_cast<float>(*static_cast<const int64_t*>(value));
            else if (type == into.urids.map(LV2_ATOM__Bool) && size == sizeof(int32_t))
                v = *static_cast<const int32_t*>(value) != 0 ? 1.0f : 0.0f;
            else
                return;
            try {
                into.values.emplace_back(symbol, v);
            } catch (const std::bad_alloc&) {
                into.exhausted = true;
            }
        },
        &c);
    if (c.exhausted)
        throw std::bad_alloc{};
    return std::move(c.values);
}

}  // namespace kelvo
