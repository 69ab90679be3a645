#pragma once

#include "cli/options.h"

namespace kelvo {

/// What kelvo-info's command line set. Strings are borrowed from argv.
struct info_settings {
    const char* plugin_uri = nullptr;  ///< null: list every plugin
    bool json = false;
};

/// Reads the whole command line into `settings`; prints help, version or the one error
/// message when it does not return `proceed`.
parse_outcome parse_info_command_line(int argc, char** argv, info_settings& settings);

}  // namespace kelvo
