#include "engine/chain.h"

#include "audio/output_check.h"
#include "memory.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace kelvo {

namespace {

constexpr char msg_plugin_prefix[] = "plugin %zu (%s): ";
constexpr char msg_channels_mismatch[] =
    "the number of channels of the input file (%d) and the number of input ports of the plugin "
    "(%u to %u) do not match";
constexpr char msg_chain_mismatch[] =
    "plugin %zu (%s) gives %u channels, and the number of input ports of plugin %zu (%s) "
    "(%u to %u) does not match";
constexpr char msg_non_finite[] =
    "the plugin gives samples that are not finite (NaN or infinity); the next plugin gets 0 "
    "in their place";
constexpr char msg_implausible_latency[] =
    "the plugin reports an implausible latency (%g frames), latency compensation "
    "is off";

}  // namespace

std::string plugin_prefix(size_t position, size_t count, const char* uri) {
    if (count < 2)
        return {};
    const int n = std::snprintf(nullptr, 0, msg_plugin_prefix, position, uri);
    std::string prefix(static_cast<size_t>(std::max(n, 0)), '\0');
    std::snprintf(prefix.data(), prefix.size() + 1, msg_plugin_prefix, position, uri);
    return prefix;
}

bool plausible_latency(float reported, double max_frames) {
    const float rounded = std::roundf(reported);
    return std::isfinite(rounded) && rounded <= max_frames;
}

chain::~chain() {
    // Newest first, as the plugins were made; lilv's worlds go last with each session.
    while (!stages_.empty())
        stages_.pop_back();
}

bool chain::plan(std::span<const plugin_request> requests, bool latency_compensation,
                 uint64_t block_frames) {
    block_frames_ = block_frames;
    if (!allocate_or_report(report_, [&] {
            stages_.reserve(requests.size());
            ticks_.assign(requests.size(), 0);
        }))
        return false;
    for (size_t i = 0; i < requests.size(); ++i) {
        // Each plugin is made when its turn comes, so that all it holds is newer than it.
        const plugin_request& r = requests[i];
        if (!allocate_or_report(report_, [&] {
                stages_.push_back(
                    std::make_unique<stage>(report_, r.uri, i + 1, requests.size()));
            }))
            return false;
        stage& st = *stages_.back();
        plugin_session& s = st.session;
        s.watch = watch_;
        s.position = static_cast<uint32_t>(i + 1);
        if (!select_plugin(s, r.uri) ||
            !plan_session(s, r.assignments, latency_compensation, block_frames) ||
            !choose_preset(s, r.preset) ||
            !allocate_or_report(report_, [&] { st.later.reserve(s.plan.ports.size()); }))
            return false;
        fixed_ = fixed_ || s.block.fixed;
    }
    return true;
}

bool chain::lay_out(int channels) {
    input_channels_ = channels;
    for (size_t i = 0; i < stages_.size(); ++i) {
        plugin_session& s = stages_[i]->session;
        const port_tally& t = s.plan.tally;
        const uint32_t given = channels_into(i);
        const std::optional<channel_layout> layout =
            channels > 0 ? layout_for(given, t) : std::nullopt;
        if (!layout && i == 0)
            return report_error(stages_[i]->report, problem::bad_value, msg_channels_mismatch,
                                channels, t.audio_inputs_required, t.audio_inputs_all);
        if (!layout)
            return report_error(report_, problem::bad_value, msg_chain_mismatch, i, uri(i - 1),
                                given, i + 1, uri(i), t.audio_inputs_required,
                                t.audio_inputs_all);
        s.layout = *layout;
    }
    return true;
}

uint32_t chain::channels_into(size_t i) const {
    return i == 0 ? static_cast<uint32_t>(input_channels_)
                  : kelvo::output_channels(stages_[i - 1]->session);
}

uint32_t chain::output_channels() const { return kelvo::output_channels(stages_.back()->session); }

bool chain::instantiate(double sample_rate) {
    sample_rate_ = sample_rate;
    // Instances made again start a new run, which warns anew.
    non_finite_warned_ = false;
    for (const std::unique_ptr<stage>& s : stages_) {
        if (!kelvo::instantiate(s->session, sample_rate))
            return false;
    }
    return true;
}

chain_storage_bytes chain::storage_bytes() const {
    uint64_t blocks = channels_into(0);
    uint64_t atoms = 0;
    for (const std::unique_ptr<stage>& s : stages_) {
        const plugin_session& p = s->session;
        const port_plan& plan = p.plan;
        const uint64_t scratch = uint64_t{plan.cv_inputs} + plan.cv_outputs + plan.unused_outputs;
        blocks += scratch * p.layout.instances + kelvo::output_channels(p);
        atoms += plan.atom_storage_bytes * p.layout.instances;
    }
    return {blocks <= UINT32_MAX
                ? block_buffer_bytes(block_frames_, static_cast<uint32_t>(blocks), 0)
                : std::nullopt,
            atoms};
}

void chain::allocate() {
    // Built in locals and freed newest first if memory runs out: a vector frees its elements
    // oldest first.
    struct newest_first {
        std::vector<channel_buffers> buffers;
        std::vector<port_storage> storage;  ///< every instance's, in chain order
        ~newest_first() {
            while (!storage.empty())
                storage.pop_back();
            while (!buffers.empty())
                buffers.pop_back();
        }
    } built;
    size_t instances = 0;
    for (const std::unique_ptr<stage>& s : stages_)
        instances += s->session.instances.size();
    built.buffers.reserve(stages_.size() + 1);
    built.storage.reserve(instances);
    for (size_t i = 0; i <= stages_.size(); ++i)
        built.buffers.emplace_back(channels_into(i), block_frames_);
    for (const std::unique_ptr<stage>& s : stages_) {
        for (size_t j = 0; j < s->session.instances.size(); ++j)
            built.storage.push_back(make_port_storage(s->session.plan, block_frames_));
    }
    // From here on nothing throws.
    buffers_ = std::move(built.buffers);
    size_t next = 0;
    for (const std::unique_ptr<stage>& s : stages_) {
        for (plugin_instance& p : s->session.instances)
            p.storage = std::move(built.storage[next++]);
    }
}

std::optional<float> chain::control_value(size_t plugin, std::string_view symbol) const {
    for (const planned_port& p : stages_[plugin]->session.plan.ports) {
        if (symbol == p.facts.symbol && is_settable(p.facts))
            return initial_value(p);
    }
    return std::nullopt;
}

bool chain::set_control(size_t plugin, const char* symbol, std::optional<float> value) {
    stage& st = *stages_[plugin];
    plugin_session& s = st.session;
    planned_port* const p = settable_port(s.plan, symbol, st.report);
    if (!p)
        return false;
    if (value) {
        // The plan may point into the front end's list, which is never written: the value
        // goes into this stage's own entry for the port.
        const auto mine = [&](const port_assignment& a) { return a.symbol == p->facts.symbol; };
        const auto own = std::find_if(st.later.begin(), st.later.end(), mine);
        port_assignment& a = own != st.later.end() ? *own : st.later.emplace_back();
        a = {p->facts.symbol, *value};
        p->assignment = &a;
        // Bounds given in fractions of the rate wait for the rate; start() checks them then.
        if (sample_rate_ > 0 || !p->facts.sample_rate)
            check_range(p->facts.range, p->facts.sample_rate, sample_rate_, *value,
                        p->facts.symbol, st.report);
    } else {
        p->assignment = nullptr;
    }
    const float now = initial_value(*p);
    for (plugin_instance& instance : s.instances) {
        port_storage& storage = instance.storage;
        if (p->role == port_role::control_in && p->slot < storage.values.size())
            storage.values[p->slot] = now;
        else if (p->role == port_role::cv_in && p->slot < storage.blocks.size())
            std::fill(storage.blocks[p->slot].begin(), storage.blocks[p->slot].end(), now);
    }
    return true;
}

void chain::start() {
    for (size_t i = 0; i < stages_.size(); ++i)
        connect_ports(stages_[i]->session, buffers_[i], buffers_[i + 1], sample_rate_);
    for (const std::unique_ptr<stage>& s : stages_)
        activate(s->session);
}

void chain::stop() {
    for (const std::unique_ptr<stage>& s : stages_)
        deactivate(s->session);
}

void chain::release_storage() {
    for (auto s = stages_.rbegin(); s != stages_.rend(); ++s)
        kelvo::release_storage((*s)->session);
    while (!buffers_.empty())
        buffers_.pop_back();
    std::vector<channel_buffers>().swap(buffers_);
}

void chain::release_instances() {
    for (auto s = stages_.rbegin(); s != stages_.rend(); ++s)
        kelvo::release_instances((*s)->session);
}

void chain::run(uint32_t frames) {
    const size_t last = stages_.size() - 1;
    for (size_t i = 0; i <= last; ++i) {
        stage& s = *stages_[i];
        const std::clock_t before = timing_ ? std::clock() : 0;
        run_block(s.session, frames);
        if (timing_)
            ticks_[i] += std::clock() - before;
        // One NaN in a recursive filter would silence it for the rest of the run.
        if (i < last && replace_non_finite(buffers_[i + 1], frames) && !non_finite_warned_) {
            non_finite_warned_ = true;
            report_warning(s.report, msg_non_finite);
        }
    }
}

bool chain::reports_latency() const {
    for (const std::unique_ptr<stage>& s : stages_) {
        if (kelvo::reports_latency(s->session))
            return true;
    }
    return false;
}

std::optional<double> chain::latency(double max_frames) {
    double total = 0;
    for (const std::unique_ptr<stage>& s : stages_) {
        if (!kelvo::reports_latency(s->session))
            continue;
        const float reported = latency_report(s->session);
        if (!plausible_latency(reported, max_frames)) {
            report_warning(s->report, msg_implausible_latency, static_cast<double>(reported));
            return std::nullopt;
        }
        total += reported;
    }
    return total;
}

}  // namespace kelvo
