// kelvo-info: lists the installed LV2 plugins, or describes one, as kelvo sees them.

#include "host/plugin_host.h"
#include "info/options.h"
#include "info/report.h"
#include "memory.h"
#include "messages.h"

#include <lilv/lilv.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace kelvo {
namespace {

constexpr char msg_not_written[] = "could not write standard output: %s";

/// Everything one run acquires; destroyed in reverse.
struct info_run {
    info_settings settings;  // strings borrowed from argv
    plugin_host host;
    std::string output;  // the whole output, printed only once it is complete
};

bool build_list(info_run& r) {
    return allocate_or_report([&] { r.output = plugins_report(r.host, r.settings.json); });
}

bool build_description(info_run& r, const LilvPlugin* plugin) {
    return allocate_or_report(
        [&] { r.output = plugin_report(r.host, plugin, r.settings.json); });
}

bool build_output(info_run& r) {
    if (!r.settings.plugin_uri)
        return build_list(r);
    const LilvPlugin* plugin = find_plugin(r.host, r.settings.plugin_uri, printed_diagnostics());
    return plugin && build_description(r, plugin);
}

// A full disk or a closed pipe must not pass for a complete listing.
bool write_output(const info_run& r) {
    if (std::fwrite(r.output.data(), 1, r.output.size(), stdout) == r.output.size() &&
        std::fflush(stdout) == 0)
        return true;
    error(msg_not_written, std::strerror(errno));
    return false;
}

/// The phases in order; the first that fails has printed its message.
int drive(info_run& r, int argc, char** argv) {
    switch (parse_info_command_line(argc, argv, r.settings)) {
        case parse_outcome::stop_success:
            return 0;
        case parse_outcome::stop_failure:
            return 1;
        case parse_outcome::proceed:
            break;
    }
    // A description names units by the symbols the LV2 vocabulary bundles give them.
    const world_scope scope{.plugin_uri = r.settings.plugin_uri, .vocabularies = true};
    const bool done =
        open_world(r.host, printed_diagnostics(), scope) && build_output(r) && write_output(r);
    return done ? 0 : 1;
}

}  // namespace
}  // namespace kelvo

int main(int argc, char** argv) {
    kelvo::info_run r;
    return kelvo::drive(r, argc, argv);
}
