#include "host/session.h"

#include "memory.h"
#include "messages.h"

#include <lv2/atom/atom.h>
#include <lv2/state/state.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_instantiate_failed[] = "failed to instantiate the plugin";
constexpr char msg_state_not_restored[] = "could not restore the plugin's default state";
constexpr char msg_out_of_range_both[] = "out of range value for port '%s' (min: %g, max: %g)";
constexpr char msg_out_of_range_min[] = "out of range value for port '%s' (min: %g)";
constexpr char msg_out_of_range_max[] = "out of range value for port '%s' (max: %g)";

// lilv restores a state through the plugin's state interface but drops what the plugin's
// restore returns. It is handed a copy of the instance whose descriptor gives this interface
// instead, which calls the plugin's and keeps the status. One restore at a time.
struct restore_watch {
    const LV2_State_Interface* plugin = nullptr;
    LV2_State_Status status = LV2_STATE_SUCCESS;
} watch;

LV2_State_Status watched_restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                                 LV2_State_Handle state, uint32_t flags,
                                 const LV2_Feature* const* features) noexcept {
    watch.status = watch.plugin->restore(handle, retrieve, state, flags, features);
    return watch.status;
}

const LV2_State_Interface watched_interface{nullptr, watched_restore};

const void* watched_extension_data(const char* uri) noexcept {
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &watched_interface : nullptr;
}

// Restores the default state the plugin's description gives, if it gives one.
bool restore_default_state(plugin_session& s) {
    const LilvNode* uri = lilv_plugin_get_uri(s.plugin);
    LilvWorld* const world = s.host.world.get();
    if (!lilv_world_ask(world, uri, s.host.uris.state_state.get(), nullptr))
        return true;
    const auto* iface = static_cast<const LV2_State_Interface*>(
        lilv_instance_get_extension_data(s.instance.get(), LV2_STATE__interface));
    if (!iface || !iface->restore)
        return true;
    using state_ptr = std::unique_ptr<LilvState, c_free<lilv_state_free>>;
    const state_ptr state{lilv_state_new_from_world(world, &s.features->urids.map_feature, uri)};
    if (!state)
        return false;
    LV2_Descriptor descriptor = *s.instance->lv2_descriptor;
    descriptor.extension_data = watched_extension_data;
    LilvInstance watched = *s.instance;
    watched.lv2_descriptor = &descriptor;
    watch = {iface, LV2_STATE_SUCCESS};
    lilv_state_restore(state.get(), &watched, nullptr, nullptr, 0, s.features->list.data());
    // Work the restore asked for is done, and answered, before the first run.
    s.features->work.deliver(false);
    return watch.status == LV2_STATE_SUCCESS;
}

// The value a control or CV input starts at.
float initial_value(const planned_port& p) {
    return p.assignment ? p.assignment->value : start_value(p.facts.range);
}

}  // namespace

bool select_plugin(plugin_session& s, const char* uri) {
    if (!open_world(s.host))
        return false;
    s.plugin = find_plugin(s.host, uri);
    return s.plugin != nullptr;
}

bool plan_session(plugin_session& s, const assignment_list& assignments, bool latency_compensation,
                  uint64_t block_frames) {
    if (!check_features(s.host, s.plugin))
        return false;
    const std::optional<block_length> block = plan_block_length(s.plugin, block_frames);
    if (!block)
        return false;
    s.block = *block;
    return allocate_or_report(
               [&] { s.plan = plan_ports(s.host, s.plugin, assignments, latency_compensation); }) &&
           accept_plan(s.plan);
}

bool instantiate(plugin_session& s, double sample_rate) {
    if (!allocate_or_report([&] {
            s.features = std::make_unique<host_features>(s.plugin, sample_rate, s.block,
                                                         s.plan.sequence_bytes);
        }))
        return false;
    host_features& f = *s.features;
    s.instance.reset(lilv_plugin_instantiate(s.plugin, sample_rate, f.list.data()));
    const auto* worker_interface =
        s.instance ? static_cast<const LV2_Worker_Interface*>(
                         lilv_instance_get_extension_data(s.instance.get(), LV2_WORKER__interface))
                   : nullptr;
    const nodes_ptr required{lilv_plugin_get_required_features(s.plugin)};
    const node_ptr schedule{lilv_new_uri(s.host.world.get(), LV2_WORKER__schedule)};
    if (!s.instance || (!worker_interface && lilv_nodes_contains(required.get(), schedule.get()))) {
        error(msg_instantiate_failed);
        return false;
    }
    if (worker_interface && !allocate_or_report([&] {
            f.work.bind(lilv_instance_get_handle(s.instance.get()), worker_interface);
        }))
        return false;
    if (!restore_default_state(s)) {
        error(msg_state_not_restored);
        return false;
    }
    // A plugin told that a URI has no number may carry on as if nothing were wrong.
    if (f.urids.exhausted()) {
        report_out_of_memory();
        return false;
    }
    return true;
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
                 const char* symbol) {
    const double scale = sample_rate_bounds ? sample_rate : 1.0;
    const double v = value;
    if (range.min && range.max) {
        const double lo = *range.min * scale;
        const double hi = *range.max * scale;
        if (lo > v || v > hi)
            warning(msg_out_of_range_both, symbol, lo, hi);
    } else if (range.min) {
        const double lo = *range.min * scale;
        if (lo > v)
            warning(msg_out_of_range_min, symbol, lo);
    } else if (range.max) {
        const double hi = *range.max * scale;
        if (v > hi)
            warning(msg_out_of_range_max, symbol, hi);
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
            std::fill(storage.blocks[p.slot].begin(), storage.blocks[p.slot].end(), initial_value(p));
    }
    return storage;
}

void connect_ports(plugin_session& s, std::span<std::vector<float>> inputs,
                   std::span<std::vector<float>> outputs, double sample_rate) {
    port_storage& st = s.storage;
    for (const planned_port& p : s.plan.ports) {
        void* where = nullptr;
        switch (p.role) {
            case port_role::audio_in:
            case port_role::audio_in_optional:
                where = p.slot < inputs.size() ? inputs[p.slot].data() : nullptr;
                break;
            case port_role::audio_out:
                where = outputs[p.slot].data();
                break;
            case port_role::control_in:
            case port_role::cv_in:
                if (p.assignment)
                    check_range(p.facts.range, p.facts.sample_rate, sample_rate,
                                p.assignment->value, p.facts.symbol);
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
            lilv_instance_connect_port(s.instance.get(), p.index, where);
    }
}

void activate(plugin_session& s) {
    lilv_instance_activate(s.instance.get());
    s.active = true;
}

void run_block(plugin_session& s, uint32_t frames) {
    // Inputs are empty sequences; outputs offer their whole capacity as an empty chunk.
    for (atom_buffer& buffer : s.storage.atom_inputs) {
        auto* const sequence = reinterpret_cast<LV2_Atom_Sequence*>(buffer.words.get());
        *sequence = {{sizeof(LV2_Atom_Sequence_Body), s.features->atom_Sequence}, {0, 0}};
    }
    for (atom_buffer& buffer : s.storage.atom_outputs) {
        auto* const chunk = reinterpret_cast<LV2_Atom*>(buffer.words.get());
        *chunk = {buffer.bytes - static_cast<uint32_t>(sizeof(LV2_Atom)), s.features->atom_Chunk};
    }
    lilv_instance_run(s.instance.get(), frames);
    s.features->work.deliver(true);
}

const float* latency_report(const plugin_session& s) {
    return s.plan.latency_slot ? &s.storage.values[*s.plan.latency_slot] : nullptr;
}

void deactivate(plugin_session& s) {
    if (s.active)
        lilv_instance_deactivate(s.instance.get());
    s.active = false;
}

void release_storage(plugin_session& s) { s.storage = {}; }

void release_instance(plugin_session& s) {
    s.instance.reset();
    s.features.reset();
}

}  // namespace kelvo
