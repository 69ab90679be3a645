#include "host/session.h"

#include "memory.h"

#include <lv2/atom/atom.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_instantiate_failed[] = "failed to instantiate the plugin";
constexpr char msg_state_not_restored[] = "could not restore the plugin's default state";
constexpr char msg_preset_not_restored[] = "could not restore the preset's state";
constexpr char msg_preset_ports_missing[] =
    "the preset sets ports the plugin does not have, which are left out: %s";
constexpr char msg_out_of_range_both[] = "out of range value for port '%s' (min: %g, max: %g)";
constexpr char msg_out_of_range_min[] = "out of range value for port '%s' (min: %g)";
constexpr char msg_out_of_range_max[] = "out of range value for port '%s' (max: %g)";

// lilv restores a state through the plugin's state interface but drops what the plugin's
// restore returns. It is handed a copy of the instance whose descriptor gives this interface
// instead, and whose handle is this record: it calls the plugin's and keeps the status.
struct restore_watch {
    LV2_Handle handle;
    const LV2_State_Interface* plugin;
    LV2_State_Status status;
};

LV2_State_Status watched_restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                                 LV2_State_Handle state, uint32_t flags,
                                 const LV2_Feature* const* features) noexcept {
    auto* const watch = static_cast<restore_watch*>(handle);
    watch->status = watch->plugin->restore(watch->handle, retrieve, state, flags, features);
    return watch->status;
}

const LV2_State_Interface watched_interface{nullptr, watched_restore};

const void* watched_extension_data(const char* uri) noexcept {
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &watched_interface : nullptr;
}

// Restores the plugin's part of `state` through its state interface, if it has one; the port
// values are the storage's business.
bool restore_state(const plugin_session& s, plugin_instance& p, const LilvState* state) {
    const plugin_call call{s.watch, s.position};
    const auto* iface = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(p.instance.get(), LV2_STATE__interface));
    if (!iface || !iface->restore)
        return true;
    LV2_Descriptor descriptor = *p.instance->lv2_descriptor;
    descriptor.extension_data = watched_extension_data;
    restore_watch watch{lilv_instance_get_handle(p.instance.get()), iface, LV2_STATE_SUCCESS};
    LilvInstance watched = *p.instance;
    watched.lv2_descriptor = &descriptor;
    watched.lv2_handle = &watch;
    lilv_state_restore(state, &watched, nullptr, nullptr, 0, p.features->list.data());
    // Work the restore asked for is done, and answered, before the first run.
    p.features->work.deliver(false);
    return watch.status == LV2_STATE_SUCCESS;
}

// Restores the default state the plugin's description gives, if it gives one.
bool restore_default_state(const plugin_session& s, plugin_instance& p) {
    const LilvNode* uri = lilv_plugin_get_uri(s.plugin);
    LilvWorld* const world = s.host.world.get();
    if (!lilv_world_ask(world, uri, s.host.uris.state_state.get(), nullptr))
        return true;
    const state_ptr state{lilv_state_new_from_world(world, &s.urids->map_feature, uri)};
    return state && restore_state(s, p, state.get());
}

// Creates one instance with its features; false after the error.
bool instantiate_one(const plugin_session& s, double sample_rate, plugin_instance& p) {
    diagnostics& d = s.report;
    if (!allocate_or_report(d, [&] {
            p.features = std::make_unique<host_features>(*s.urids, *s.log, s.plugin, sample_rate,
                                                         s.block, s.plan.sequence_bytes);
        }))
        return false;
    host_features& f = *p.features;
    const LV2_Worker_Interface* worker_interface = nullptr;
    {
        const plugin_call call{s.watch, s.position};
        p.instance.reset(lilv_plugin_instantiate(s.plugin, sample_rate, f.list.data()));
        if (p.instance)
            worker_interface = static_cast<const LV2_Worker_Interface*>(
                lilv_instance_get_extension_data(p.instance.get(), LV2_WORKER__interface));
    }
    if (!p.instance || (!worker_interface && requires_feature(s.plugin, LV2_WORKER__schedule)))
        return report_error(d, problem::cannot_run, msg_instantiate_failed);
    if (worker_interface && !allocate_or_report(d, [&] {
            f.work.bind(lilv_instance_get_handle(p.instance.get()), worker_interface);
        }))
        return false;
    if (!restore_default_state(s, p))
        return report_error(d, problem::cannot_run, msg_state_not_restored);
    if (s.preset && !restore_state(s, p, s.preset.get()))
        return report_error(d, problem::cannot_run, msg_preset_not_restored);
    // A plugin told that a URI has no number may carry on as if nothing were wrong.
    if (f.urids.exhausted()) {
        report_no_memory(d);
        return false;
    }
    return true;
}

// The file channel that feeds the audio input `p` of instance `i`, or none.
std::optional<size_t> input_channel(const plugin_session& s, const planned_port& p, uint32_t i,
                                    size_t channels) {
    if (p.role == port_role::audio_in_optional)
        return p.slot < channels && s.layout.instances == 1 && !s.layout.fan_out
                   ? std::optional<size_t>{p.slot}
                   : std::nullopt;
    return s.layout.fan_out ? 0 : size_t{i} * s.plan.tally.audio_inputs_required + p.slot;
}

// Takes the preset's value for the control input `symbol`; false when there is no such port.
bool take_preset_value(port_plan& plan, const std::string& symbol, float value) {
    for (planned_port& p : plan.ports) {
        if (symbol == p.facts.symbol && is_settable(p.facts)) {
            p.preset = value;
            return true;
        }
    }
    return false;
}

}  // namespace

bool select_plugin(plugin_session& s, const char* uri) {
    if (!open_world(s.host, s.report, {.plugin_uri = uri}))
        return false;
    s.plugin = find_plugin(s.host, uri, s.report);
    return s.plugin != nullptr;
}

bool plan_session(plugin_session& s, const assignment_list& assignments, bool latency_compensation,
                  uint64_t block_frames) {
    diagnostics& d = s.report;
    if (!check_features(s.host, s.plugin, d))
        return false;
    const std::optional<block_length> block = plan_block_length(s.plugin, block_frames, d);
    if (!block)
        return false;
    s.block = *block;
    return allocate_or_report(d, [&] {
               s.plan = plan_ports(s.host, s.plugin, assignments, latency_compensation);
               s.urids = make_urid_map();
               s.log = std::make_unique<plugin_log>(*s.urids, d);
               s.host_urids = s.urids->size();
           }) &&
           accept_plan(s.plan, d);
}

bool choose_preset(plugin_session& s, const char* name) {
    if (!name)
        return true;
    s.preset = load_preset(s.host, s.plugin, name, *s.urids, s.report);
    if (!s.preset)
        return false;
    // The preset's keys keep their numbers for every instance that restores it.
    s.host_urids = s.urids->size();
    std::string missing;
    if (!allocate_or_report(s.report, [&] {
            for (const auto& [symbol, value] : preset_values(s.preset.get(), *s.urids)) {
                if (!take_preset_value(s.plan, symbol, value))
                    missing += (missing.empty() ? "" : ", ") + symbol;
            }
        }))
        return false;
    if (!missing.empty())
        report_warning(s.report, msg_preset_ports_missing, missing.c_str());
    return true;
}

uint32_t output_channels(const plugin_session& s) {
    return s.layout.instances * s.plan.tally.audio_outputs;
}

bool instantiate(plugin_session& s, double sample_rate) {
    if (!allocate_or_report(s.report, [&] { s.instances.resize(s.layout.instances); }))
        return false;
    for (plugin_instance& p : s.instances) {
        if (!instantiate_one(s, sample_rate, p))
            return false;
    }
    return true;
}

float initial_value(const planned_port& p) {
    return p.assignment ? p.assignment->value : p.preset.value_or(start_value(p.facts.range));
}

float start_value(const port_range& range) {
    if (range.def)
        return *range.def;
    if (range.min)
        return *range.min;
    if (range.max)
        return *range.max;
    return 0;
}

void check_range(const port_range& range, bool sample_rate_bounds, double sample_rate, float value,
                 const char* symbol, diagnostics& d) {
    const double scale = sample_rate_bounds ? sample_rate : 1.0;
    const double v = value;
    if (range.min && range.max) {
        const double lo = *range.min * scale;
        const double hi = *range.max * scale;
        if (lo > v || v > hi)
            report_warning(d, msg_out_of_range_both, symbol, lo, hi);
    } else if (range.min) {
        const double lo = *range.min * scale;
        if (lo > v)
            report_warning(d, msg_out_of_range_min, symbol, lo);
    } else if (range.max) {
        const double hi = *range.max * scale;
        if (v > hi)
            report_warning(d, msg_out_of_range_max, symbol, hi);
    }
}

port_storage make_port_storage(const port_plan& plan, uint64_t block_frames) {
    port_storage storage;
    storage.values.resize(plan.control_values);
    storage.blocks.assign(plan.cv_inputs + plan.cv_outputs + plan.unused_outputs,
                          std::vector<float>(block_frames));
    storage.atom_inputs.resize(plan.atom_inputs);
    storage.atom_outputs.resize(plan.atom_outputs);
    for (const planned_port& p : plan.ports) {
        if (p.role == port_role::atom_in || p.role == port_role::atom_out) {
            auto& buffers =
                p.role == port_role::atom_in ? storage.atom_inputs : storage.atom_outputs;
            // Whole words: a size that is no multiple of eight is rounded up.
            buffers[p.slot] = {std::unique_ptr<uint64_t[]>(new uint64_t[(p.atom_bytes + 7) / 8]),
                               p.atom_bytes};
        } else if (p.role == port_role::control_in)
            storage.values[p.slot] = initial_value(p);
        else if (p.role == port_role::cv_in)
            std::fill(storage.blocks[p.slot].begin(), storage.blocks[p.slot].end(),
                      initial_value(p));
    }
    return storage;
}

namespace {

void connect_instance(plugin_session& s, uint32_t i, std::span<std::vector<float>> inputs,
                      std::span<std::vector<float>> outputs, double sample_rate) {
    port_storage& st = s.instances[i].storage;
    LilvInstance* const instance = s.instances[i].instance.get();
    const size_t first_output = size_t{i} * s.plan.tally.audio_outputs;
    const plugin_call call{s.watch, s.position};
    for (const planned_port& p : s.plan.ports) {
        void* where = nullptr;
        switch (p.role) {
            case port_role::audio_in:
            case port_role::audio_in_optional:
                if (const std::optional<size_t> c = input_channel(s, p, i, inputs.size()))
                    where = inputs[*c].data();
                break;
            case port_role::audio_out:
                where = outputs[first_output + p.slot].data();
                break;
            case port_role::control_in:
            case port_role::cv_in:
                // Every instance gets the same values: one warning will do.
                if (p.assignment && i == 0)
                    check_range(p.facts.range, p.facts.sample_rate, sample_rate,
                                p.assignment->value, p.facts.symbol, s.report);
                where = p.role == port_role::cv_in ? static_cast<void*>(st.blocks[p.slot].data())
                                                   : &st.values[p.slot];
                break;
            case port_role::control_out:
            case port_role::latency:
                where = &st.values[p.slot];
                break;
            case port_role::cv_out:
                where = st.blocks[s.plan.cv_inputs + p.slot].data();
                break;
            case port_role::audio_out_unused:
                where = st.blocks[s.plan.cv_inputs + s.plan.cv_outputs + p.slot].data();
                break;
            case port_role::atom_in:
                where = st.atom_inputs[p.slot].words.get();
                break;
            case port_role::atom_out:
                where = st.atom_outputs[p.slot].words.get();
                break;
            case port_role::unconnected:
                break;
        }
        if (where)
            lilv_instance_connect_port(instance, p.index, where);
    }
}

}  // namespace

void connect_ports(plugin_session& s, std::span<std::vector<float>> inputs,
                   std::span<std::vector<float>> outputs, double sample_rate) {
    for (uint32_t i = 0; i < s.instances.size(); ++i)
        connect_instance(s, i, inputs, outputs, sample_rate);
}

void activate(plugin_session& s) {
    const plugin_call call{s.watch, s.position};
    for (plugin_instance& p : s.instances)
        lilv_instance_activate(p.instance.get());
    s.active = true;
}

void run_block(plugin_session& s, uint32_t frames) {
    const plugin_call call{s.watch, s.position};
    for (plugin_instance& p : s.instances) {
        // Inputs are empty sequences; outputs offer their whole capacity as an empty chunk.
        const host_features& f = *p.features;
        for (atom_buffer& buffer : p.storage.atom_inputs) {
            auto* const sequence = reinterpret_cast<LV2_Atom_Sequence*>(buffer.words.get());
            *sequence = {{sizeof(LV2_Atom_Sequence_Body), f.atom_Sequence}, {0, 0}};
        }
        for (atom_buffer& buffer : p.storage.atom_outputs) {
            auto* const chunk = reinterpret_cast<LV2_Atom*>(buffer.words.get());
            *chunk = {buffer.bytes - static_cast<uint32_t>(sizeof(LV2_Atom)), f.atom_Chunk};
        }
        lilv_instance_run(p.instance.get(), frames);
        p.features->work.deliver(true);
    }
}

bool reports_latency(const plugin_session& s) { return s.plan.latency_slot.has_value(); }

float latency_report(const plugin_session& s) {
    float latency = 0;
    for (size_t i = 0; i < s.instances.size(); ++i) {
        const float reported = s.instances[i].storage.values[*s.plan.latency_slot];
        if (i == 0 || std::isnan(reported) || reported > latency)
            latency = reported;
        if (std::isnan(latency))
            break;
    }
    return latency;
}

void deactivate(plugin_session& s) {
    if (s.active) {
        const plugin_call call{s.watch, s.position};
        for (plugin_instance& p : s.instances)
            lilv_instance_deactivate(p.instance.get());
    }
    s.active = false;
}

void release_storage(plugin_session& s) {
    for (auto p = s.instances.rbegin(); p != s.instances.rend(); ++p)
        p->storage = {};
}

void release_instances(plugin_session& s) {
    {
        const plugin_call call{s.watch, s.position};  // the plugin's cleanup, and its library's
        for (auto p = s.instances.rbegin(); p != s.instances.rend(); ++p)
            p->instance.reset();
    }
    // Mapped after the features were made, so freed before them.
    if (s.urids)
        s.urids->forget_after(s.host_urids);
    while (!s.instances.empty())
        s.instances.pop_back();
    // The table too: it is newer than what the next plugin of a chain planned.
    std::vector<plugin_instance>().swap(s.instances);
}

}  // namespace kelvo
