#include "host/state_paths.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace kelvo {

namespace {

char* copy_of(const std::string& text) noexcept { return strdup(text.c_str()); }

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
    std::remove(path);
    return 0;
}

}  // namespace

bool stays_inside(const char* relative) {
    if (!relative || relative[0] == '\0' || relative[0] == '/')
        return false;
    for (const char* part = relative; part;) {
        const char* slash = std::strchr(part, '/');
        const size_t length = slash ? static_cast<size_t>(slash - part) : std::strlen(part);
        if (length == 2 && part[0] == '.' && part[1] == '.')
            return false;
        part = slash ? slash + 1 : nullptr;
    }
    return true;
}

state_paths::state_paths(const LilvNode* bundle_uri)
    : map_feature{this,
                  [](LV2_State_Map_Path_Handle, const char* path) noexcept {
                      return path ? strdup(path) : nullptr;
                  },
                  [](LV2_State_Map_Path_Handle h, const char* path) noexcept {
                      return static_cast<state_paths*>(h)->absolute_path(path);
                  }},
      make_feature{this,
                   [](LV2_State_Make_Path_Handle h, const char* path) noexcept {
                       return static_cast<state_paths*>(h)->make_path(path);
                   }},
      free_feature{this, [](LV2_State_Free_Path_Handle, char* path) noexcept { std::free(path); }},
      bundle_{bundle_uri} {}

state_paths::~state_paths() {
    if (!folder_.empty())
        nftw(folder_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

char* state_paths::absolute_path(const char* path) const noexcept {
    if (!path)
        return nullptr;
    char* const bundle =
        bundle_ ? lilv_file_uri_parse(lilv_node_as_uri(bundle_), nullptr) : nullptr;
    if (path[0] == '/' || !bundle) {
        lilv_free(bundle);
        return strdup(path);
    }
    char* absolute = nullptr;
    const bool slash = bundle[0] != '\0' && bundle[std::strlen(bundle) - 1] == '/';
    if (asprintf(&absolute, "%s%s%s", bundle, slash ? "" : "/", path) < 0)
        absolute = nullptr;
    lilv_free(bundle);
    return absolute;
}

char* state_paths::make_path(const char* relative) noexcept {
    if (!stays_inside(relative))
        return nullptr;
    try {
        if (folder_.empty()) {
            const char* tmp = std::getenv("TMPDIR");
            std::string pattern = std::string{tmp && *tmp ? tmp : "/tmp"} + "/kelvo-XXXXXX";
            if (!mkdtemp(pattern.data()))
                return nullptr;
            folder_ = std::move(pattern);
        }
        std::string path = folder_ + "/" + relative;
        // The plugin creates the file; its folders are the host's to make.
        for (size_t slash = folder_.size() + 1;
             (slash = path.find('/', slash)) != std::string::npos; ++slash) {
            path[slash] = '\0';
            mkdir(path.c_str(), 0700);
            path[slash] = '/';
        }
        return copy_of(path);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

}  // namespace kelvo
