#pragma once

#include "host/plugin_host.h"
#include "host/plugin_log.h"
#include "host/state_paths.h"
#include "host/urid_map.h"
#include "host/worker.h"

#include <lilv/lilv.h>
#include <lv2/options/options.h>

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace kelvo {

/// How `run` is called: the most frames at a time, and whether every call gets exactly that
/// many (for a plugin that requires a fixed or a power-of-two block length).
struct block_length {
    uint64_t frames = 0;
    bool fixed = false;
};

/// The features one instance is offered, alive from instantiation to after its release
/// (plugins keep pointers into it): each LV2 struct beside what it points at, and the
/// null-terminated array lilv takes.
struct host_features {
    /// Features for a plugin run at `sample_rate` in blocks of `block`, whose atom ports
    /// get buffers of `sequence_bytes`; throws std::bad_alloc when memory runs out.
    host_features(urid_map& urids, plugin_log& log, const LilvPlugin* plugin, double sample_rate,
                  block_length block, uint32_t sequence_bytes);
    host_features(const host_features&) = delete;
    host_features& operator=(const host_features&) = delete;

    // Only the worker's queues and the state folder take memory of their own, in that order,
    // so that everything is freed newest first.
    urid_map& urids;  ///< the run's, with the terms used here already mapped
    plugin_log& log;  ///< the run's: what every instance says counts towards one limit
    LV2_URID atom_Sequence;
    LV2_URID atom_Chunk;
    float sample_rate;
    int32_t min_block_length;
    int32_t max_block_length;
    int32_t sequence_size;
    std::array<LV2_Options_Option, 6> options{};  ///< ends with a zeroed option
    std::array<LV2_Feature, 13> features{};
    std::array<const LV2_Feature*, 14> list{};  ///< ends with null
    worker work;
    state_paths paths;
};

/// The run's URI table, with the host's own terms already in it, so that the features of an
/// instance map nothing new. Throws std::bad_alloc when memory runs out.
std::unique_ptr<urid_map> make_urid_map();

/// The required features, and the required options, of `plugin` that the program does not
/// offer, as URIs. Throws std::bad_alloc when memory runs out.
std::vector<std::string> unsupported_features(const plugin_host& host, const LilvPlugin* plugin);

/// True when the plugin lists the feature `uri` among its required ones.
bool requires_feature(const LilvPlugin* plugin, const char* uri);

/// True when the feature `uri` is offered to every plugin that requires it.
bool offers_feature(const char* uri);

/// The words of the error line for a plugin that requires what is not offered.
const char* features_reason();

/// False, after the error, when the plugin requires a feature or an option not offered.
bool check_features(const plugin_host& host, const LilvPlugin* plugin, diagnostics& d);

/// How `run` is to be called for `plugin` with blocks of `frames`; nothing, after the error,
/// when the plugin cannot take them.
std::optional<block_length> plan_block_length(const LilvPlugin* plugin, uint64_t frames,
                                             diagnostics& d);

}  // namespace kelvo
