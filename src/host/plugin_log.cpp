#include "host/plugin_log.h"


#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <span>

namespace kelvo {

namespace {

constexpr char msg_plugin_says[] = "plugin: %s";
constexpr char msg_plugin_muted[] = "further plugin messages are not shown";

// lv2_log's callbacks are C variadics; the format is the plugin's, checked by it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
int format_into(std::span<char> text, const char* format, va_list args) {
    return std::vsnprintf(text.data(), text.size(), format, args);
}
#pragma GCC diagnostic pop

int log_printf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) noexcept;

}  // namespace

plugin_log::plugin_log(urid_map& urids, diagnostics& d)
    : log_feature{this, log_printf,
                  [](LV2_Log_Handle h, LV2_URID type, const char* format, va_list args) noexcept {
                      return static_cast<plugin_log*>(h)->print(type, format, args);
                  }},
      report_{d},
      error_{urids.map_term(LV2_LOG__Error)},
      warning_{urids.map_term(LV2_LOG__Warning)} {}

namespace {

int log_printf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) noexcept {
    va_list args;
    va_start(args, format);
    const int n = static_cast<plugin_log*>(handle)->print(type, format, args);
    va_end(args);
    return n;
}

}  // namespace

int plugin_log::print(LV2_URID type, const char* format, va_list args) noexcept {
    // Formatted into fixed storage: a plugin may log from run, where nothing is allocated.
    std::array<char, 1024> text;
    const int n = format ? format_into(text, format, args) : 0;
    if (n <= 0 || (type != error_ && type != warning_))
        return n;
    const size_t length = std::min(static_cast<size_t>(n), text.size() - 1);
    // Each line of the text is a message of its own; empty lines are left out.
    for (size_t start = 0; start < length;) {
        const char* end = static_cast<const char*>(std::memchr(&text[start], '\n', length - start));
        const size_t stop = end ? static_cast<size_t>(end - text.data()) : length;
        if (stop > start)
            show(&text[start], stop - start);
        start = stop + 1;
    }
    return n;
}

// One line, its bytes that are not printable shown as \xNN.
void plugin_log::show(const char* text, size_t length) noexcept {
    if (lines_ > max_plugin_log_lines)
        return;
    if (lines_++ == max_plugin_log_lines) {
        report_warning(report_, msg_plugin_muted);
        return;
    }
    std::array<char, 4 * 1024 + 1> line;
    size_t used = 0;
    for (size_t i = 0; i < length; ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        if (byte < 0x20 || byte == 0x7F) {
            std::snprintf(&line[used], 5, "\\x%02x", byte);
            used += 4;
        } else {
            line[used++] = text[i];
        }
    }
    line[used] = '\0';
    report_warning(report_, msg_plugin_says, line.data());
}

}  // namespace kelvo
