#pragma once

#include "engine/chain.h"

#include <cstdint>
#include <vector>
#include <optional>

namespace kelvo {

/// The block size when `-n` is not given.
constexpr uint64_t default_block_frames = 512;

/// The plugins of a command line, freed newest first as everything else is.
struct plugin_list : std::vector<plugin_request> {
    plugin_list() = default;
    plugin_list(const plugin_list&) = delete;
    plugin_list& operator=(const plugin_list&) = delete;
    ~plugin_list() {
        while (!empty())
            pop_back();
    }
};

/// What the command line set. Strings are borrowed from argv.
struct run_settings {
    const char* input_path = nullptr;
    const char* output_path = nullptr;
    uint64_t block_frames = 0;  ///< 0 until `-n` is given
    bool latency_compensation = true;
    bool timing = false;
    bool normalize = false;
    double tail_seconds = -1;  ///< at most this much of the tail is kept; negative until given
    const char* format = nullptr;  ///< `--format`: the output's format by name
    const char* bits = nullptr;    ///< `--bits`: the output's sample depth by name
    /// The plugins in order, each with the `-c` and `-p` after it (the first also with those
    /// before it); a request whose URI is still null holds options given before any URI.
    plugin_list plugins;
    std::optional<double> loudness;   ///< `--loudness`: the integrated loudness to reach, LUFS
    std::optional<double> true_peak;  ///< `--true-peak`: the ceiling with it, dBTP
    std::optional<double> quality;    ///< `--quality`: 0 to 10 for a lossy output
};

/// The longest tail `--tail` may ask for: the flush and the tail must end.
constexpr double max_tail_seconds = 3600;

enum class parse_outcome { proceed, stop_success, stop_failure };

/// Reads the whole command line into `settings`; prints help, version or the one error
/// message when it does not return `proceed`.
parse_outcome parse_command_line(int argc, char** argv, run_settings& settings);

/// True when any argument after argv[0] is exactly `a` or `b` (`b` may be null): help and
/// version win wherever they stand.
bool any_argument_is(int argc, char** argv, const char* a, const char* b);

/// Prints the help text, with the program's name, to standard output.
void print_help();

/// Prints the two lines of the version text to standard output.
void print_version();

/// Parses an unsigned decimal with strtoul under the "C" numeric locale. False when the
/// parse sets errno (left in errno) or leaves characters over.
bool parse_c_number(const char* text, uint64_t& value);

/// The same for a 32-bit float, with strtof.
bool parse_c_number(const char* text, float& value);

/// The same for a double, with strtod.
bool parse_c_number(const char* text, double& value);

}  // namespace kelvo
