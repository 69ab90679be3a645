#pragma once

#include <functional>
#include <string>
#include <string_view>

namespace kelvo {

/// True when one of the folders of the search path `path` (separated by colons) is relative.
bool has_relative_folder(std::string_view path);

/// `path` with every relative folder resolved against `base`, or left out when `base` is
/// null; empty folders are left out too.
std::string absolute_search_path(std::string_view path, const char* base);

/// Tells the manifests that may say something about one plugin: those that hold its URI, or
/// its last segment as a whole name after `:`, `<` or the character before it in the URI
/// (`/`, `#`), as a prefixed name or a relative reference writes it, unless that name is
/// plainly another resource's: an absolute IRI, or a prefixed name whose prefix is declared
/// otherwise. A false positive only costs the loading of one bundle.
class plugin_mentions {
public:
    explicit plugin_mentions(std::string_view uri);
    plugin_mentions(const plugin_mentions&) = delete;  // the searchers point into uri_
    plugin_mentions& operator=(const plugin_mentions&) = delete;
    /// True when `manifest` may mention the plugin.
    bool in(std::string_view manifest) const;

private:
    using searcher = std::boyer_moore_horspool_searcher<const char*>;
    static size_t find(const searcher& what, std::string_view text, size_t from);
    /// True when the segment found at `at` plainly names something other than the plugin.
    bool names_another(std::string_view text, size_t at) const;

    const std::string uri_;
    const std::string_view segment_;
    const char separator_;   // what comes before the segment in the URI
    searcher uri_searcher_;  // the searchers are made once for all the manifests
    searcher segment_searcher_;
};

/// `folder` with `~` and `$NAME` expanded as lilv expands the folders of its search path.
std::string expand_folder(std::string_view folder);

/// Calls `load` with the folder, ending in '/', of each bundle of `search_path` whose manifest
/// may mention `uri`, or is an LV2 vocabulary bundle when `vocabularies` is set, in the
/// order a load of the whole search path visits them. False, having called nothing, when a
/// folder of the path is relative.
bool for_each_bundle_for(std::string_view search_path, std::string_view uri, bool vocabularies,
                         const std::function<void(const char*)>& load);

}  // namespace kelvo
