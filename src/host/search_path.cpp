#include "host/search_path.h"

#include "c_free.h"

#include <lv2/core/lv2.h>

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>

namespace kelvo {

namespace {

// The local name of the LV2 class of vocabulary bundles, as manifests write it after a prefix.
constexpr std::string_view vocabulary_class =
    std::string_view(LV2_CORE__Specification).substr(sizeof LV2_CORE_PREFIX - 1);
constexpr char manifest_name[] = "/manifest.ttl";
constexpr size_t read_size = 16384;  // most manifests fit in one read

using folder_ptr = std::unique_ptr<DIR, c_free<closedir>>;

/// An open descriptor, closed when the owner goes.
struct descriptor {
    int fd;
    ~descriptor() {
        if (fd >= 0)
            close(fd);
    }
};

bool is_name_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '-' || c == ':' || c == '%' || u >= 0x80;
}

// A name ends where a character that cannot continue it follows; a dot ends it only when no
// name character follows the dot ("kt:amp ." but not "<amp.so>").
bool ends_name(std::string_view rest) {
    if (rest.empty())
        return true;
    if (rest[0] == '.')
        return rest.size() == 1 || !is_name_char(rest[1]);
    return !is_name_char(rest[0]);
}

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// A prefix's label: letters, digits, '_', '-', '.' and anything beyond ASCII.
bool is_label_char(char c) {
    const auto u = static_cast<unsigned char>(c);
    return std::isalnum(u) || c == '_' || c == '-' || c == '.' || u >= 0x80;
}

bool has_scheme(std::string_view iri) {
    size_t i = 0;
    while (i < iri.size() && (std::isalnum(static_cast<unsigned char>(iri[i])) || iri[i] == '+' ||
                              iri[i] == '-' || iri[i] == '.'))
        ++i;
    return i > 0 && i < iri.size() && iri[i] == ':' &&
           std::isalpha(static_cast<unsigned char>(iri[0]));
}

// The IRI written around position `at`, when `at` lies between its '<' and '>'.
std::optional<std::string_view> enclosing_iri(std::string_view text, size_t at) {
    const size_t open = text.rfind('<', at - 1);
    if (open == std::string_view::npos)
        return std::nullopt;
    const size_t close = text.find('>', open);
    if (close == std::string_view::npos || close < at)
        return std::nullopt;
    const std::string_view iri = text.substr(open + 1, close - open - 1);
    if (std::any_of(iri.begin(), iri.end(), [](char c) { return is_space(c) || c == '"'; }))
        return std::nullopt;  // text between a '<' and a '>' that is no IRI
    return iri;
}

// Calls `visit` with the IRI of each declaration of the prefix `label`, "@prefix label: <iri>"
// or "PREFIX label: <iri>".
template <typename Visit>
void for_each_declaration(std::string_view text, std::string_view label, Visit visit) {
    for (size_t at = text.find(label); at != std::string_view::npos;
         at = text.find(label, at + 1)) {
        size_t end = at + label.size();
        if (end >= text.size() || text[end] != ':' || at == 0 || !is_space(text[at - 1]))
            continue;
        size_t keyword = at;
        while (keyword > 0 && is_space(text[keyword - 1]))
            --keyword;
        constexpr std::string_view prefix = "prefix";
        if (keyword < prefix.size())
            continue;
        const std::string_view word = text.substr(keyword - prefix.size(), prefix.size());
        if (!std::equal(word.begin(), word.end(), prefix.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) == b;
            }))
            continue;
        ++end;
        while (end < text.size() && is_space(text[end]))
            ++end;
        const size_t close = text.find('>', end);
        if (end < text.size() && text[end] == '<' && close != std::string_view::npos)
            visit(text.substr(end + 1, close - end - 1));
    }
}

std::string_view last_segment(std::string_view uri) {
    const size_t cut = uri.find_last_of(":/#");
    return cut == std::string_view::npos ? uri : uri.substr(cut + 1);
}

// Appends the value of the variable `name`, or "$name" when it is not set. The name is put at
// the end of `out` to be read, so that nothing else is allocated.
void append_variable(std::string& out, std::string_view name) {
    const size_t mark = out.size();
    out.append(name);
    if (const char* value = std::getenv(out.c_str() + mark)) {
        out.resize(mark);
        out.append(value);
    } else {
        out.insert(mark, 1, '$');
    }
}

// Calls `visit` with each folder of a search path, empty ones too.
template <typename Visit>
void for_each_folder(std::string_view path, Visit visit) {
    for (size_t start = 0; start <= path.size();) {
        const size_t end = std::min(path.find(':', start), path.size());
        visit(path.substr(start, end - start));
        start = end + 1;
    }
}

bool is_relative(std::string_view folder) {
    return !folder.empty() && folder[0] != '/' && folder[0] != '~' && folder[0] != '$';
}

// `folder`/`name`/`rest` in `out`; false when that is no path the system could open.
bool join(char (&out)[PATH_MAX], const std::string& folder, const char* name, const char* rest) {
    const int n = std::snprintf(out, sizeof out, "%s/%s%s", folder.c_str(), name, rest);
    return n > 0 && static_cast<size_t>(n) < sizeof out;
}

// The whole manifest, read into `buffer` (kept across bundles, never shrunk); nothing when
// there is none. A read that returns less than it was asked for has reached the end of a
// regular file, which saves a system call per bundle.
std::optional<std::string_view> read_manifest(const char* path, std::string& buffer) {
    const descriptor file{open(path, O_RDONLY | O_CLOEXEC)};
    if (file.fd < 0)
        return std::nullopt;
    size_t used = 0;
    for (;;) {
        if (buffer.size() < used + read_size)
            buffer.resize(used + read_size);
        const ssize_t n = read(file.fd, buffer.data() + used, read_size);
        if (n <= 0)
            break;
        used += static_cast<size_t>(n);
        if (static_cast<size_t>(n) < read_size)
            break;
    }
    return std::string_view(buffer.data(), used);
}

}  // namespace

plugin_mentions::plugin_mentions(std::string_view uri)
    : uri_(uri),
      segment_(last_segment(uri_)),
      separator_(segment_.size() < uri_.size() ? uri_[uri_.size() - segment_.size() - 1] : ':'),
      uri_searcher_(uri_.data(), uri_.data() + uri_.size()),
      segment_searcher_(segment_.data(), segment_.data() + segment_.size()) {}

size_t plugin_mentions::find(const searcher& what, std::string_view text, size_t from) {
    const auto at = std::search(text.begin() + static_cast<std::ptrdiff_t>(from), text.end(), what);
    return at == text.end() ? std::string_view::npos : static_cast<size_t>(at - text.begin());
}

bool plugin_mentions::in(std::string_view manifest) const {
    for (size_t at = 0;
         at < manifest.size() && (at = find(uri_searcher_, manifest, at)) != std::string_view::npos;
         ++at) {
        if (ends_name(manifest.substr(at + uri_.size())))
            return true;
    }
    if (segment_.empty())
        return false;
    for (size_t at = 1; at < manifest.size() &&
                        (at = find(segment_searcher_, manifest, at)) != std::string_view::npos;
         ++at) {
        const char before = manifest[at - 1];
        if ((before == ':' || before == '<' || before == separator_) &&
            ends_name(manifest.substr(at + segment_.size())) && !names_another(manifest, at))
            return true;
    }
    return false;
}

bool plugin_mentions::names_another(std::string_view text, size_t at) const {
    // In an IRI: an absolute one that is not the URI names something else; a relative one
    // may resolve to the plugin.
    if (const std::optional<std::string_view> iri = enclosing_iri(text, at))
        return has_scheme(*iri) && iri->find('\\') == std::string_view::npos;
    if (text[at - 1] != ':')
        return false;
    // A prefixed name names the plugin when a declaration of its prefix makes it so, or when
    // none is found that could tell.
    size_t start = at - 1;
    while (start > 0 && is_label_char(text[start - 1]))
        --start;
    if (start > 0 && !is_space(text[start - 1]) && std::strchr(";,([", text[start - 1]) == nullptr)
        return false;
    const std::string_view label = text.substr(start, at - 1 - start);
    bool declared = false;
    bool plugin = false;
    for_each_declaration(text, label, [&](std::string_view iri) {
        declared = true;
        plugin = plugin || (iri.size() + segment_.size() == uri_.size() &&
                            std::string_view(uri_).starts_with(iri));
    });
    return declared && !plugin;
}

std::string expand_folder(std::string_view folder) {
    std::string out;
    for (size_t i = 0; i < folder.size();) {
        if (folder[i] == '$') {
            size_t end = i + 1;
            while (end < folder.size() &&
                   (std::isupper(static_cast<unsigned char>(folder[end])) ||
                    std::isdigit(static_cast<unsigned char>(folder[end])) || folder[end] == '_'))
                ++end;
            append_variable(out, folder.substr(i + 1, end - i - 1));
            i = end;
        } else if (folder[i] == '~' && (i + 1 == folder.size() || folder[i + 1] == '/')) {
            append_variable(out, "HOME");
            ++i;
        } else {
            out += folder[i++];
        }
    }
    return out;
}

bool has_relative_folder(std::string_view path) {
    bool relative = false;
    for_each_folder(path, [&](std::string_view folder) { relative |= is_relative(folder); });
    return relative;
}

std::string absolute_search_path(std::string_view path, const char* base) {
    std::string absolute;
    for_each_folder(path, [&](std::string_view folder) {
        if (folder.empty() || (is_relative(folder) && !base))
            return;
        if (!absolute.empty())
            absolute += ':';
        if (is_relative(folder))
            absolute.append(base).append("/");
        absolute.append(folder);
    });
    return absolute;
}

bool for_each_bundle_for(std::string_view search_path, std::string_view uri, bool vocabularies,
                         const std::function<void(const char*)>& load) {
    bool absolute = true;
    for_each_folder(search_path, [&](std::string_view folder) {
        const std::string expanded = expand_folder(folder);
        absolute = absolute && (expanded.empty() || expanded[0] == '/');
    });
    if (!absolute)
        return false;
    // Nothing is allocated per bundle, and what is allocated is released newest first.
    const plugin_mentions mentions{uri};
    std::string buffer;
    const std::boyer_moore_horspool_searcher vocabulary{vocabulary_class.begin(),
                                                        vocabulary_class.end()};
    for_each_folder(search_path, [&](std::string_view unexpanded) {
        const std::string folder = expand_folder(unexpanded);
        const folder_ptr listing{folder.empty() ? nullptr : opendir(folder.c_str())};
        if (!listing)
            return;
        // Every entry in the listing's order, as lilv visits them; plain files hold no bundle.
        char path[PATH_MAX];
        while (const dirent* entry = readdir(listing.get())) {
            const char* const name = entry->d_name;
            if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0 ||
                entry->d_type == DT_REG || !join(path, folder, name, manifest_name))
                continue;
            const std::optional<std::string_view> text = read_manifest(path, buffer);
            if (text &&
                (mentions.in(*text) || (vocabularies && std::search(text->begin(), text->end(),
                                                                    vocabulary) != text->end())) &&
                join(path, folder, name, "/"))
                load(path);
        }
    });
    return true;
}

}  // namespace kelvo
