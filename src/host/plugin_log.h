#pragma once

#include "diagnostics.h"
#include "host/urid_map.h"

#include <lv2/log/log.h>

#include <cstdarg>

namespace kelvo {

/// The most lines of the plugin's own messages one run shows, for each plugin.
constexpr int max_plugin_log_lines = 20;

/// The log:log feature: the plugin's errors and warnings become the program's warnings, a
/// line each, reported to the plugin's diagnostics; notes and traces are dropped.
class plugin_log {
public:
    plugin_log(urid_map& urids, diagnostics& d);
    plugin_log(const plugin_log&) = delete;
    plugin_log& operator=(const plugin_log&) = delete;

    /// Shows an error or a warning of the plugin; returns the length of the formatted text.
    int print(LV2_URID type, const char* format, va_list args) noexcept;

    LV2_Log_Log log_feature;  ///< handle and callbacks for the plugin

private:
    void show(const char* text, size_t length) noexcept;

    diagnostics& report_;
    LV2_URID error_;
    LV2_URID warning_;
    int lines_ = 0;  // shown so far, the notice that more are not shown included
};

}  // namespace kelvo
