#include "host/features.h"

#include "memory.h"
#include "messages.h"

#include <lv2/atom/atom.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/parameters/parameters.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <memory>
#include <span>

namespace kelvo {

namespace {

constexpr char msg_requires_features[] =
    "the plugin requires features that this program does not support, sorry";
constexpr char msg_power_of_two[] =
    "the plugin runs only in blocks of a power of two frames: use -n %llu or -n %llu";
constexpr char msg_block_too_long[] =
    "the plugin takes at most %d frames per cycle: use a smaller -n";

// Features a plugin may require. The last three are properties of the plugin that need
// nothing of the host: kelvo never connects an input and an output to one buffer.
constexpr const char* offered_features[] = {
    LV2_URID__map,
    LV2_URID__unmap,
    LV2_OPTIONS__options,
    LV2_BUF_SIZE__boundedBlockLength,
    LV2_BUF_SIZE__coarseBlockLength,
    LV2_BUF_SIZE__fixedBlockLength,
    LV2_BUF_SIZE__powerOf2BlockLength,
    LV2_WORKER__schedule,
    LV2_LOG__log,
    LV2_STATE__loadDefaultState,
    LV2_STATE__mapPath,
    LV2_STATE__makePath,
    LV2_STATE__freePath,
    LV2_CORE__isLive,
    LV2_CORE__inPlaceBroken,
    LV2_CORE__hardRTCapable,
};

// The options in the options:options array.
constexpr const char* offered_options[] = {
    LV2_PARAMETERS__sampleRate,       LV2_BUF_SIZE__minBlockLength, LV2_BUF_SIZE__maxBlockLength,
    LV2_BUF_SIZE__nominalBlockLength, LV2_BUF_SIZE__sequenceSize,
};

bool is_one_of(const char* uri, std::span<const char* const> uris) {
    return std::any_of(uris.begin(), uris.end(),
                       [&](const char* u) { return std::strcmp(u, uri) == 0; });
}

// The URIs of `nodes` that are not among `offered`, appended to `missing`.
// In URI order: lilv's order follows where its nodes lie in memory, which changes with the
// bundles loaded.
void add_missing(const LilvNodes* nodes, std::span<const char* const> offered,
                 std::vector<std::string>& missing) {
    const size_t start = missing.size();
    LILV_FOREACH (nodes, i, nodes) {
        const char* uri = lilv_node_as_string(lilv_nodes_get(nodes, i));
        if (!is_one_of(uri, offered))
            missing.emplace_back(uri);
    }
    std::sort(missing.begin() + static_cast<std::ptrdiff_t>(start), missing.end());
}

// A plugin that mentions the options or a block-length feature may read the block lengths.
bool reads_block_lengths(const LilvPlugin* plugin) {
    const nodes_ptr mentioned{lilv_plugin_get_supported_features(plugin)};
    LILV_FOREACH (nodes, i, mentioned.get()) {
        const char* uri = lilv_node_as_string(lilv_nodes_get(mentioned.get(), i));
        if (std::strcmp(uri, LV2_OPTIONS__options) == 0 ||
            std::strncmp(uri, LV2_BUF_SIZE_PREFIX, std::strlen(LV2_BUF_SIZE_PREFIX)) == 0)
            return true;
    }
    return false;
}

LV2_Options_Option option(urid_map& urids, const char* key, const char* type, const void* value,
                          uint32_t size) {
    return {LV2_OPTIONS_INSTANCE, 0, urids.map_term(key), size, urids.map_term(type), value};
}

}  // namespace

std::unique_ptr<urid_map> make_urid_map() {
    auto urids = std::make_unique<urid_map>();
    for (const char* term :
         {LV2_PARAMETERS__sampleRate, LV2_BUF_SIZE__minBlockLength, LV2_BUF_SIZE__maxBlockLength,
          LV2_BUF_SIZE__nominalBlockLength, LV2_BUF_SIZE__sequenceSize, LV2_ATOM__Float,
          LV2_ATOM__Int, LV2_ATOM__Sequence, LV2_ATOM__Chunk, LV2_LOG__Error, LV2_LOG__Warning})
        urids->map_term(term);
    return urids;
}

host_features::host_features(urid_map& urid_table, plugin_log& run_log, const LilvPlugin* plugin,
                             double rate, block_length block, uint32_t sequence_bytes)
    : urids{urid_table},
      log{run_log},
      atom_Sequence{urids.map_term(LV2_ATOM__Sequence)},
      atom_Chunk{urids.map_term(LV2_ATOM__Chunk)},
      sample_rate{static_cast<float>(rate)},
      min_block_length{block.fixed ? static_cast<int32_t>(block.frames) : 1},
      max_block_length{static_cast<int32_t>(std::min<uint64_t>(block.frames, INT32_MAX))},
      sequence_size{static_cast<int32_t>(sequence_bytes)},
      paths{lilv_plugin_get_bundle_uri(plugin)} {
    size_t n = 0;
    options[n++] =
        option(urids, LV2_PARAMETERS__sampleRate, LV2_ATOM__Float, &sample_rate, sizeof(float));
    // A block that does not fit the options' integers is never announced.
    if (block.frames <= INT32_MAX) {
        options[n++] = option(urids, LV2_BUF_SIZE__minBlockLength, LV2_ATOM__Int, &min_block_length,
                              sizeof(int32_t));
        options[n++] = option(urids, LV2_BUF_SIZE__maxBlockLength, LV2_ATOM__Int, &max_block_length,
                              sizeof(int32_t));
        options[n++] = option(urids, LV2_BUF_SIZE__nominalBlockLength, LV2_ATOM__Int,
                              &max_block_length, sizeof(int32_t));
    }
    options[n++] =
        option(urids, LV2_BUF_SIZE__sequenceSize, LV2_ATOM__Int, &sequence_size, sizeof(int32_t));
    n = 0;
    for (const LV2_Feature& f : {
             LV2_Feature{LV2_URID__map, &urids.map_feature},
             LV2_Feature{LV2_URID__unmap, &urids.unmap_feature},
             LV2_Feature{LV2_OPTIONS__options, options.data()},
             LV2_Feature{LV2_BUF_SIZE__boundedBlockLength, nullptr},
             LV2_Feature{LV2_BUF_SIZE__coarseBlockLength, nullptr},
             LV2_Feature{LV2_WORKER__schedule, &work.schedule_feature},
             LV2_Feature{LV2_LOG__log, &log.log_feature},
             LV2_Feature{LV2_STATE__loadDefaultState, nullptr},
             LV2_Feature{LV2_STATE__mapPath, &paths.map_feature},
             LV2_Feature{LV2_STATE__makePath, &paths.make_feature},
             LV2_Feature{LV2_STATE__freePath, &paths.free_feature},
         })
        features[n++] = f;
    if (block.fixed) {
        features[n++] = {LV2_BUF_SIZE__fixedBlockLength, nullptr};
        if (std::has_single_bit(block.frames))
            features[n++] = {LV2_BUF_SIZE__powerOf2BlockLength, nullptr};
    }
    for (size_t i = 0; i < n; ++i)
        list[i] = &features[i];
}

std::vector<std::string> unsupported_features(const plugin_host& host, const LilvPlugin* plugin) {
    std::vector<std::string> missing;
    const nodes_ptr required{lilv_plugin_get_required_features(plugin)};
    add_missing(required.get(), offered_features, missing);
    const nodes_ptr options{lilv_plugin_get_value(plugin, host.uris.opts_requiredOption.get())};
    add_missing(options.get(), offered_options, missing);
    return missing;
}

bool requires_feature(const LilvPlugin* plugin, const char* uri) {
    const nodes_ptr required{lilv_plugin_get_required_features(plugin)};
    LILV_FOREACH (nodes, i, required.get()) {
        if (std::strcmp(lilv_node_as_string(lilv_nodes_get(required.get(), i)), uri) == 0)
            return true;
    }
    return false;
}

bool offers_feature(const char* uri) { return is_one_of(uri, offered_features); }

const char* features_reason() { return msg_requires_features; }

bool check_features(const plugin_host& host, const LilvPlugin* plugin, diagnostics& d) {
    bool supported = false;
    if (!allocate_or_report(d, [&] { supported = unsupported_features(host, plugin).empty(); }))
        return false;
    if (!supported)
        report_error(d, problem::cannot_run, "%s", msg_requires_features);
    return supported;
}

std::optional<block_length> plan_block_length(const LilvPlugin* plugin, uint64_t frames,
                                             diagnostics& d) {
    const bool power_of_two = requires_feature(plugin, LV2_BUF_SIZE__powerOf2BlockLength);
    if (power_of_two && !std::has_single_bit(frames)) {
        const uint64_t below = std::bit_floor(frames);
        report_error(d, problem::bad_value, msg_power_of_two,
                     static_cast<unsigned long long>(below),
                     static_cast<unsigned long long>(below * 2));
        return std::nullopt;
    }
    if (frames > INT32_MAX && reads_block_lengths(plugin)) {
        report_error(d, problem::bad_value, msg_block_too_long, INT32_MAX);
        return std::nullopt;
    }
    return block_length{frames,
                        power_of_two || requires_feature(plugin, LV2_BUF_SIZE__fixedBlockLength)};
}

}  // namespace kelvo
