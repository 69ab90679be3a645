// Arbitrary argument vectors through the command-line parser: the input's bytes, split at NUL
// bytes, are the arguments after argv[0]. A command line it accepts must say what its options
// say, borrowed from argv, and the assignments it keeps must be valid and distinct.

#include "cli/assignments.h"
#include "cli/options.h"
#include "messages.h"
#include "require.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr size_t max_arguments = 64;

struct arguments {
    std::vector<std::string> original;      // as given, for comparison after the parse
    std::vector<std::vector<char>> copies;  // what the parser may cut in place
    std::vector<char*> argv;
};

arguments split(const uint8_t* data, size_t size) {
    arguments a;
    a.original.emplace_back("kelvo");
    std::string current;
    for (size_t i = 0; i < size && a.original.size() < max_arguments; ++i) {
        if (data[i] == 0)
            a.original.push_back(std::exchange(current, {}));
        else
            current.push_back(static_cast<char>(data[i]));
    }
    // A NUL ends an argument, so "a\0\0" gives "a" and "", and trailing bytes one more.
    if (!current.empty() && a.original.size() < max_arguments)
        a.original.push_back(current);
    for (const std::string& s : a.original)
        a.copies.emplace_back(s.c_str(), s.c_str() + s.size() + 1);
    for (std::vector<char>& c : a.copies)
        a.argv.push_back(c.data());
    a.argv.push_back(nullptr);
    return a;
}

// Where the option loop must find things: -i, -o, -n, -c, --tail, --format, --bits, -p and
// --preset take the next argument, whatever it is; anything else not starting with '-' is the
// URI.
/// One plugin: the argument indexes of its URI and its preset, or 0.
struct plugin_words {
    size_t uri = 0, preset = 0;
};

struct walk {
    size_t input = 0, output = 0, frames = 0;  // argument indexes, or 0
    size_t inputs = 0, outputs = 0, frame_options = 0;
    std::vector<plugin_words> plugins;  // a preset before any URI belongs to the first
    bool latency_compensation = true, timing = false, normalize = false;
};

walk walk_options(const std::vector<std::string>& v) {
    walk w;
    for (size_t i = 1; i < v.size(); ++i) {
        const std::string& arg = v[i];
        const bool takes_argument = arg == "-i" || arg == "-o" || arg == "-n" || arg == "-c" ||
                                    arg == "--tail" || arg == "--format" || arg == "--bits" ||
                                    arg == "-p" || arg == "--preset" || arg == "--loudness" ||
                                    arg == "--true-peak" || arg == "--quality";
        if (takes_argument && i + 1 < v.size()) {
            ++i;
            if (arg == "-i") {
                w.input = i;
                ++w.inputs;
            } else if (arg == "-o") {
                w.output = i;
                ++w.outputs;
            } else if (arg == "-n") {
                w.frames = i;
                ++w.frame_options;
            } else if (arg == "-p" || arg == "--preset") {
                if (w.plugins.empty())
                    w.plugins.emplace_back();
                w.plugins.back().preset = i;
            }
        } else if (arg == "--with-latency") {
            w.latency_compensation = false;
        } else if (arg == "--timing") {
            w.timing = true;
        } else if (arg == "--normalize") {
            w.normalize = true;
        } else if (arg.empty() || arg[0] != '-') {
            if (!w.plugins.empty() && w.plugins.back().uri == 0)
                w.plugins.back().uri = i;
            else
                w.plugins.push_back({i, 0});
        }
    }
    return w;
}

// A run goes ahead only with -i and -o once, a URI, -n at most once and valid, and the
// plugins in order with their presets.
void check_proceed(const arguments& a, const kelvo::run_settings& s) {
    const walk w = walk_options(a.original);
    require(w.inputs == 1 && w.outputs == 1 && !w.plugins.empty() && w.plugins[0].uri != 0 &&
            w.frame_options <= 1);
    require(s.input_path == a.argv[w.input] && s.output_path == a.argv[w.output]);
    require(s.plugins.size() == w.plugins.size());
    for (size_t k = 0; k < w.plugins.size(); ++k) {
        const plugin_words& p = w.plugins[k];
        require(s.plugins[k].uri == a.argv[p.uri]);
        require(s.plugins[k].preset == (p.preset ? a.argv[p.preset] : nullptr));
    }
    uint64_t frames = 0;
    if (w.frames != 0) {
        char* end = nullptr;
        errno = 0;
        frames = std::strtoul(a.original[w.frames].c_str(), &end, 10);
        require(errno == 0 && *end == '\0' && frames != 0);
    }
    require(s.block_frames == frames);
    require(s.latency_compensation == w.latency_compensation && s.timing == w.timing &&
            s.normalize == w.normalize);
}

bool any_argument_is(const arguments& a, const char* text) {
    for (size_t i = 1; i < a.original.size(); ++i) {
        if (a.original[i] == text)
            return true;
    }
    return false;
}

// The argument index that `p` is, or 0: argv[0] is never borrowed for an option or the URI.
size_t index_of(const arguments& a, const char* p) {
    for (size_t i = 1; i + 1 < a.argv.size(); ++i) {
        if (a.argv[i] == p)
            return i;
    }
    return 0;
}

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

void check_assignments(const arguments& a, const kelvo::assignment_list& list) {
    for (size_t k = 0; k < list.size(); ++k) {
        const kelvo::port_assignment& entry = list[k];
        const size_t i = index_of(a, entry.symbol);
        require(i >= 2 && a.original[i - 1] == "-c");
        require(kelvo::is_port_symbol(entry.symbol));
        // The argument was cut at its first colon; the value is what follows it as given.
        const std::string& text = a.original[i];
        const size_t length = std::strlen(entry.symbol);
        require(text.size() > length && text[length] == ':' &&
                text.compare(0, length, entry.symbol) == 0);
        require(same_bits(entry.value, std::strtof(text.c_str() + length + 1, nullptr)));
        for (size_t j = 0; j < k; ++j)
            require(std::strcmp(list[j].symbol, entry.symbol) != 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    arguments a = split(data, size);
    kelvo::run_settings settings;
    const auto outcome =
        kelvo::parse_command_line(static_cast<int>(a.argv.size() - 1), a.argv.data(), settings);
    // Help and version win over everything else, and nothing else stops with success.
    const bool help_or_version =
        any_argument_is(a, "-h") || any_argument_is(a, "--help") || any_argument_is(a, "--version");
    require(help_or_version == (outcome == kelvo::parse_outcome::stop_success));
    require(kelvo::program_name() == a.argv[0]);
    if (outcome == kelvo::parse_outcome::proceed)
        check_proceed(a, settings);
    for (const kelvo::plugin_request& plugin : settings.plugins)
        check_assignments(a, plugin.assignments);
    return 0;
}
