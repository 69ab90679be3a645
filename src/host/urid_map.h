#pragma once

#include <lv2/urid/urid.h>

#include <memory>
#include <vector>

namespace kelvo {

/// The run's one table of URIs and their numbers, behind the urid:map and urid:unmap
/// features. Numbers start at 1 and never change; unmapping a number never given is null.
class urid_map {
public:
    urid_map();
    urid_map(const urid_map&) = delete;
    urid_map& operator=(const urid_map&) = delete;
    ~urid_map();  // frees the URIs newest first

    /// The number of `uri`, given a new one the first time; 0 when memory runs out.
    LV2_URID map(const char* uri) noexcept;
    /// The number of one of the host's own terms; throws std::bad_alloc when memory runs out.
    LV2_URID map_term(const char* uri);
    /// The URI numbered `id`, or null.
    const char* unmap(LV2_URID id) const noexcept;
    /// How many URIs have a number.
    size_t size() const noexcept { return uris_.size(); }
    /// Forgets the URIs numbered after the first `count`, newest first.
    void forget_after(size_t count) noexcept;
    /// True once a URI could not be mapped for want of memory.
    bool exhausted() const noexcept { return exhausted_; }

    LV2_URID_Map map_feature;      ///< handle and callback for the plugin
    LV2_URID_Unmap unmap_feature;  ///< handle and callback for the plugin

private:
    // A plugin maps a few dozen URIs, mostly while it is instantiated: a search through them
    // costs less than keeping an index. Each URI has storage of its own, so a pointer unmap
    // gave stays good as the table grows.
    std::vector<std::unique_ptr<char[]>> uris_;
    bool exhausted_ = false;
};

}  // namespace kelvo
