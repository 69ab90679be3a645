#include "info/options.h"

#include "messages.h"
#include "version.h"

#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_unknown_option[] = "unknown command line option '%s'";
constexpr char msg_repeated_uri[] = "plugin URI specified more than once";

constexpr char msg_usage[] =
    "Usage: %s [--json] [plugin]\n"
    "       %s -h|--help\n"
    "       %s --version\n";
constexpr char msg_help[] =
    "\n"
    "Lists the installed LV2 plugins, or describes the plugin with the URI given.\n"
    "\n"
    "  -h, --help         Display this information\n"
    "  --version          Display version information\n"
    "  --json             Print one JSON document instead of text\n";
constexpr char msg_version[] =
    "kelvo-info %s\n"
    "Copyright 2026 The kelvo authors\n";

}  // namespace

parse_outcome parse_info_command_line(int argc, char** argv, info_settings& s) {
    // With no argv[0] there is no name to give; the program's own stands in.
    set_program_name(argc > 0 && argv[0] ? argv[0] : "kelvo-info");
    const char* const name = program_name();
    if (any_argument_is(argc, argv, "-h", "--help")) {
        std::printf(msg_usage, name, name, name);
        std::fputs(msg_help, stdout);
        return parse_outcome::stop_success;
    }
    if (any_argument_is(argc, argv, "--version", nullptr)) {
        std::printf(msg_version, version);
        return parse_outcome::stop_success;
    }
    for (int i = 1; i < argc; ++i) {
        const char* const arg = argv[i];
        if (std::strcmp(arg, "--json") == 0) {
            s.json = true;
        } else if (arg[0] == '-') {
            error(msg_unknown_option, arg);
            return parse_outcome::stop_failure;
        } else if (s.plugin_uri) {
            error(msg_repeated_uri);
            return parse_outcome::stop_failure;
        } else {
            s.plugin_uri = arg;
        }
    }
    return parse_outcome::proceed;
}

}  // namespace kelvo
