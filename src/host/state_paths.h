#pragma once

#include <lilv/lilv.h>
#include <lv2/state/state.h>

#include <string>

namespace kelvo {

/// The state:mapPath, state:makePath and state:freePath features. Paths the plugin makes lie
/// in a private temporary folder, created when first asked for and removed with everything
/// in it when this is destroyed.
class state_paths {
public:
    /// Paths for a plugin in the bundle at `bundle_uri`, which belongs to the world.
    explicit state_paths(const LilvNode* bundle_uri);
    state_paths(const state_paths&) = delete;
    state_paths& operator=(const state_paths&) = delete;
    ~state_paths();

    /// A new absolute path for `relative` inside the folder, its parent folders made; null for
    /// a path that would lead out of it, or when the folder cannot be made.
    char* make_path(const char* relative) noexcept;

    LV2_State_Map_Path map_feature;    ///< handle and callbacks for the plugin
    LV2_State_Make_Path make_feature;  ///< handle and callback for the plugin
    LV2_State_Free_Path free_feature;  ///< handle and callback for the plugin

private:
    char* absolute_path(const char* path) const noexcept;

    const LilvNode* bundle_;  // relative paths of a description are relative to its bundle
    std::string folder_;      // empty until a path is made
};

/// True when `relative` names a place inside a folder: not absolute, no ".." part.
bool stays_inside(const char* relative);

}  // namespace kelvo
