#include "cli/options.h"

#include "memory.h"
#include "audio/loudness.h"
#include "audio/output_format.h"
#include "messages.h"
#include "version.h"

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_missing_input[] = "missing filename after '-i'";
constexpr char msg_repeated_input[] = "input file specified more than once";
constexpr char msg_missing_output[] = "missing filename after '-o'";
constexpr char msg_repeated_output[] = "output file specified more than once";
constexpr char msg_missing_frames[] = "missing number of frames after '-n'";
constexpr char msg_repeated_frames[] = "number of frames specified more than once";
constexpr char msg_invalid_frames[] = "invalid number of frames";
constexpr char msg_missing_assignment[] = "missing <port>:<value> after '-c'";
constexpr char msg_unknown_option[] = "unknown command line option '%s'";
constexpr char msg_missing_tail[] = "missing number of seconds after '--tail'";
constexpr char msg_repeated_tail[] = "tail length specified more than once";
constexpr char msg_invalid_tail[] = "invalid tail length '%s' (a number of seconds from 0 to %g)";
constexpr char msg_missing_format[] = "missing format name after '--format'";
constexpr char msg_repeated_format[] = "output format specified more than once";
constexpr char msg_missing_bits[] = "missing bit depth after '--bits'";
constexpr char msg_repeated_bits[] = "bit depth specified more than once";
constexpr char msg_missing_preset[] = "missing preset after '%s'";
constexpr char msg_repeated_preset[] = "preset specified more than once";
constexpr char msg_missing_level[] = "missing %s after '%s'";
constexpr char msg_repeated_level[] = "%s specified more than once";
constexpr char msg_invalid_level[] = "invalid %s '%s' (a number from %g to %g)";
constexpr char msg_true_peak_alone[] = "--true-peak needs --loudness";
constexpr char msg_loudness_and_normalize[] = "--loudness and --normalize cannot be combined";
constexpr char msg_no_input[] = "no input file specified";
constexpr char msg_no_output[] = "no output file specified";
constexpr char msg_no_uri[] = "no plugin URI specified";

constexpr char msg_chain_arguments[] =
    "  plugin ...         Further plugins, in order; -c and -p belong to the plugin before\n";

constexpr char msg_usage[] = "Usage: %s [options] -i input -o output plugin\n";
constexpr char msg_usage_help[] = "       %*s -h|--help\n";
constexpr char msg_usage_version[] = "       %*s --version\n";
constexpr char msg_arguments[] =
    "Command line arguments:\n"
    "  -h, --help         Display this information\n"
    "  --version          Display version information\n"
    "  -i input           Input sound file\n"
    "  -o output          Output sound file\n"
    "  plugin             LV2 plugin URI\n";
constexpr char msg_frames_option[] =
    "  -n frames          Number of frames per cycle [default=%d]\n";
constexpr char msg_more_arguments[] =
    "  -c port:value      Set value for control in port\n"
    "  --with-latency     Disable latency compensation\n"
    "  --timing           Report timing statistics\n"
    "  --normalize        Normalize output\n";
constexpr char msg_new_arguments[] =
    "  --tail seconds     Keep the plugin's audible tail, up to this long\n"
    "  --format type      Output file format: wav, flac, ogg, ... [default: the input's]\n"
    "  --bits depth       Output sample depth: 8, 16, 24, 32, float or double\n"
    "  -p, --preset name  Start from a preset: its URI or label, or a saved state\n";
constexpr char msg_delivery_arguments[] =
    "  --loudness LUFS    Scale the output to this integrated loudness, -70 to 0\n"
    "  --true-peak dBTP   The true-peak ceiling with --loudness [default: -1]\n"
    "  --quality Q        Ogg, Opus and MP3 quality, 0 to 10 [default: %g]\n";
constexpr char msg_version[] =
    "kelvo %s\n"
    "Copyright 2026 The kelvo authors\n";

// Runs one strto* parse with LC_NUMERIC switched to "C", so that the user's locale never
// changes what a number means, and restores both the locale and errno afterwards.
template <typename T, typename Parse>
bool parse_in_c_locale(const char* text, T& value, Parse parse) {
    const int saved_errno = errno;
    char saved_locale[256] = "C";
    if (const char* current = std::setlocale(LC_NUMERIC, nullptr))
        std::snprintf(saved_locale, sizeof saved_locale, "%s", current);
    std::setlocale(LC_NUMERIC, "C");
    errno = 0;
    char* end = nullptr;
    value = parse(text, &end);
    const int parse_errno = errno;
    std::setlocale(LC_NUMERIC, saved_locale);
    if (parse_errno != 0) {
        errno = parse_errno;
        return false;
    }
    errno = saved_errno;
    return *end == '\0';
}

// An option's argument is the next argument, whatever it looks like.
bool has_argument(int argc, int i) { return i < argc - 1; }

bool take_input(int argc, char** argv, int i, run_settings& s) {
    if (!has_argument(argc, i)) {
        error(msg_missing_input);
        return false;
    }
    if (s.input_path) {
        error(msg_repeated_input);
        return false;
    }
    s.input_path = argv[i + 1];
    return true;
}

bool take_output(int argc, char** argv, int i, run_settings& s) {
    if (!has_argument(argc, i)) {
        error(msg_missing_output);
        return false;
    }
    if (s.output_path) {
        error(msg_repeated_output);
        return false;
    }
    s.output_path = argv[i + 1];
    return true;
}

bool take_frames(int argc, char** argv, int i, run_settings& s) {
    if (!has_argument(argc, i)) {
        error(msg_missing_frames);
        return false;
    }
    if (s.block_frames != 0) {
        error(msg_repeated_frames);
        return false;
    }
    uint64_t frames = 0;
    if (!parse_c_number(argv[i + 1], frames) || frames == 0) {
        error(msg_invalid_frames);
        return false;
    }
    s.block_frames = frames;
    return true;
}

bool take_assignment(int argc, char** argv, int i, assignment_list& assignments) {
    if (!has_argument(argc, i)) {
        error(msg_missing_assignment);
        return false;
    }
    return add_assignment(assignments, argv[i + 1]);
}

bool take_tail(int argc, char** argv, int i, run_settings& s) {
    if (!has_argument(argc, i)) {
        error(msg_missing_tail);
        return false;
    }
    if (s.tail_seconds >= 0) {
        error(msg_repeated_tail);
        return false;
    }
    double seconds = 0;
    // Written so that NaN fails too.
    if (!parse_c_number(argv[i + 1], seconds) || !(seconds >= 0 && seconds <= max_tail_seconds)) {
        error(msg_invalid_tail, argv[i + 1], max_tail_seconds);
        return false;
    }
    s.tail_seconds = seconds;
    return true;
}

// An option whose argument is a name, given at most once.
bool take_name(int argc, char** argv, int i, const char*& name, const char* missing,
               const char* repeated) {
    if (!has_argument(argc, i)) {
        error("%s", missing);
        return false;
    }
    if (name) {
        error("%s", repeated);
        return false;
    }
    name = argv[i + 1];
    return true;
}

bool take_preset(int argc, char** argv, int i, plugin_request& plugin) {
    if (!has_argument(argc, i)) {
        error(msg_missing_preset, argv[i]);
        return false;
    }
    if (plugin.preset) {
        error(msg_repeated_preset);
        return false;
    }
    plugin.preset = argv[i + 1];
    return true;
}

// The plugin that `-c` and `-p` set: the last one named, or the first one before any is.
plugin_request* current_plugin(run_settings& s) {
    if (s.plugins.empty() && !allocate_or_report([&] { s.plugins.emplace_back(); }))
        return nullptr;
    return &s.plugins.back();
}

bool take_plugin(const char* uri, run_settings& s) {
    if (!s.plugins.empty() && !s.plugins.back().uri) {
        s.plugins.back().uri = uri;
        return true;
    }
    return allocate_or_report([&] { s.plugins.push_back({uri, {}, nullptr}); });
}

// A number given at most once, within [low, high]: "loudness", "true peak", "quality".
struct level_option {
    const char* what;
    double low;
    double high;
};

bool take_level(int argc, char** argv, int i, std::optional<double>& value,
                const level_option& o) {
    if (!has_argument(argc, i)) {
        error(msg_missing_level, o.what, argv[i]);
        return false;
    }
    if (value) {
        error(msg_repeated_level, o.what);
        return false;
    }
    double number = 0;
    // Written so that NaN fails too.
    if (!parse_c_number(argv[i + 1], number) || !(number >= o.low && number <= o.high)) {
        error(msg_invalid_level, o.what, argv[i + 1], o.low, o.high);
        return false;
    }
    value = number;
    return true;
}

bool check_required(const run_settings& s) {
    if (!s.input_path) {
        error(msg_no_input);
        return false;
    }
    if (!s.output_path) {
        error(msg_no_output);
        return false;
    }
    if (s.plugins.empty() || !s.plugins.front().uri) {
        error(msg_no_uri);
        return false;
    }
    if (s.true_peak && !s.loudness) {
        error(msg_true_peak_alone);
        return false;
    }
    if (s.loudness && s.normalize) {
        error(msg_loudness_and_normalize);
        return false;
    }
    return true;
}

}  // namespace

bool any_argument_is(int argc, char** argv, const char* a, const char* b) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], a) == 0 || (b && std::strcmp(argv[i], b) == 0))
            return true;
    }
    return false;
}

void print_help() {
    const char* const name = program_name();
    const int width = static_cast<int>(std::strlen(name));
    std::printf(msg_usage, name);
    std::printf(msg_usage_help, width, " ");
    std::printf(msg_usage_version, width, " ");
    std::fputs(msg_arguments, stdout);
    std::printf(msg_frames_option, static_cast<int>(default_block_frames));
    std::fputs(msg_more_arguments, stdout);
    std::fputs(msg_new_arguments, stdout);
    std::fputs(msg_chain_arguments, stdout);
    std::printf(msg_delivery_arguments, default_quality);
}

void print_version() { std::printf(msg_version, version); }

bool parse_c_number(const char* text, uint64_t& value) {
    return parse_in_c_locale(text, value, [](const char* t, char** end) -> uint64_t {
        return std::strtoul(t, end, 10);
    });
}

bool parse_c_number(const char* text, double& value) {
    return parse_in_c_locale(text, value,
                             [](const char* t, char** end) { return std::strtod(t, end); });
}

bool parse_c_number(const char* text, float& value) {
    return parse_in_c_locale(text, value, [](const char* t, char** end) {
        return std::strtof(t, end);
    });
}

parse_outcome parse_command_line(int argc, char** argv, run_settings& s) {
    // With no argv[0] there is no name to give; the program's own stands in.
    set_program_name(argc > 0 && argv[0] ? argv[0] : "kelvo");
    if (argc > 1) {
        if (any_argument_is(argc, argv, "-h", "--help")) {
            print_help();
            return parse_outcome::stop_success;
        }
        if (any_argument_is(argc, argv, "--version", nullptr)) {
            print_version();
            return parse_outcome::stop_success;
        }
    }
    // Room for a plugin per argument at most, made first so that it is freed last.
    if (!allocate_or_report([&] { s.plugins.reserve(static_cast<size_t>(std::max(argc, 1))); }))
        return parse_outcome::stop_failure;
    for (int i = 1; i < argc;) {
        const char* const arg = argv[i];
        bool ok = true;
        int advance = 1;
        if (std::strcmp(arg, "-i") == 0) {
            ok = take_input(argc, argv, i, s);
            advance = 2;
        } else if (std::strcmp(arg, "-o") == 0) {
            ok = take_output(argc, argv, i, s);
            advance = 2;
        } else if (std::strcmp(arg, "-n") == 0) {
            ok = take_frames(argc, argv, i, s);
            advance = 2;
        } else if (std::strcmp(arg, "-c") == 0) {
            plugin_request* const plugin = current_plugin(s);
            ok = plugin && take_assignment(argc, argv, i, plugin->assignments);
            advance = 2;
        } else if (std::strcmp(arg, "--tail") == 0) {
            ok = take_tail(argc, argv, i, s);
            advance = 2;
        } else if (std::strcmp(arg, "--format") == 0) {
            ok = take_name(argc, argv, i, s.format, msg_missing_format, msg_repeated_format);
            advance = 2;
        } else if (std::strcmp(arg, "--bits") == 0) {
            ok = take_name(argc, argv, i, s.bits, msg_missing_bits, msg_repeated_bits);
            advance = 2;
        } else if (std::strcmp(arg, "-p") == 0 || std::strcmp(arg, "--preset") == 0) {
            plugin_request* const plugin = current_plugin(s);
            ok = plugin && take_preset(argc, argv, i, *plugin);
            advance = 2;
        } else if (std::strcmp(arg, "--loudness") == 0) {
            ok = take_level(argc, argv, i, s.loudness, {"loudness", min_loudness, max_loudness});
            advance = 2;
        } else if (std::strcmp(arg, "--true-peak") == 0) {
            ok = take_level(argc, argv, i, s.true_peak,
                            {"true peak", min_true_peak, max_true_peak});
            advance = 2;
        } else if (std::strcmp(arg, "--quality") == 0) {
            ok = take_level(argc, argv, i, s.quality, {"quality", min_quality, max_quality});
            advance = 2;
        } else if (std::strcmp(arg, "--with-latency") == 0) {
            s.latency_compensation = false;
        } else if (std::strcmp(arg, "--timing") == 0) {
            s.timing = true;
        } else if (std::strcmp(arg, "--normalize") == 0) {
            s.normalize = true;
        } else if (arg[0] == '-') {
            error(msg_unknown_option, arg);
            ok = false;
        } else {
            ok = take_plugin(arg, s);
        }
        if (!ok)
            return parse_outcome::stop_failure;
        i += advance;
    }
    return check_required(s) ? parse_outcome::proceed : parse_outcome::stop_failure;
}

}  // namespace kelvo
