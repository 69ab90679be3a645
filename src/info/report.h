#pragma once

#include "host/plugin_host.h"

#include <lilv/lilv.h>

#include <string>

namespace kelvo {

/// What `kelvo-info` prints for every plugin of the host's world, as text or JSON.
/// Throws std::bad_alloc when memory runs out.
std::string plugins_report(const plugin_host& host, bool json);

/// What `kelvo-info URI` prints for `plugin`, as text or JSON. Throws std::bad_alloc when
/// memory runs out.
std::string plugin_report(const plugin_host& host, const LilvPlugin* plugin, bool json);

}  // namespace kelvo
