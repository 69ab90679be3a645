#include "info/report.h"

#include "info/describe.h"
#include "info/format.h"

#include <vector>

namespace kelvo {

std::string plugins_report(const plugin_host& host, bool json) {
    std::vector<plugin_summary> summaries;
    const LilvPlugins* plugins = host.plugins;
    LILV_FOREACH (plugins, i, plugins) {
        summaries.push_back(summarize_plugin(host, lilv_plugins_get(plugins, i)));
    }
    return json ? list_json(summaries) : list_text(summaries);
}

std::string plugin_report(const plugin_host& host, const LilvPlugin* plugin, bool json) {
    const plugin_description d = describe_plugin(host, plugin);
    return json ? description_json(d) : description_text(d);
}

}  // namespace kelvo
