#include "diagnostics.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace kelvo {

namespace {

// Every message of the program fits; a longer text (a huge URI) is put on the heap, and cut
// only when that fails.
using line_buffer = std::array<char, 4096>;

// Hands `use` the formatted text.
template <typename Use>
[[gnu::format(printf, 1, 0)]] void with_text(const char* format, va_list args, Use use) {
    line_buffer line;
    va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(line.data(), line.size(), format, copy);
    va_end(copy);
    if (n < 0)
        return use(std::string_view{});
    if (static_cast<size_t>(n) < line.size())
        return use(std::string_view{line.data(), static_cast<size_t>(n)});
    try {
        std::string text(static_cast<size_t>(n), '\0');
        std::vsnprintf(text.data(), text.size() + 1, format, args);
        use(std::string_view{text});
        return;
    } catch (const std::bad_alloc&) {
    }
    use(std::string_view{line.data(), line.size() - 1});
}

// Hands `use` the prefix followed by the text.
template <typename Use>
void with_prefix(std::string_view prefix, std::string_view text, Use use) {
    line_buffer line;
    if (prefix.size() + text.size() <= line.size()) {
        std::memcpy(line.data(), prefix.data(), prefix.size());
        std::memcpy(line.data() + prefix.size(), text.data(), text.size());
        return use(std::string_view{line.data(), prefix.size() + text.size()});
    }
    try {
        use(std::string_view{std::string{prefix} + std::string{text}});
        return;
    } catch (const std::bad_alloc&) {
    }
    use(text);
}

}  // namespace

bool report_error(diagnostics& d, problem kind, const char* format, ...) {
    va_list args;
    va_start(args, format);
    with_text(format, args, [&](std::string_view text) { d.error(kind, text); });
    va_end(args);
    return false;
}

void report_warning(diagnostics& d, const char* format, ...) {
    va_list args;
    va_start(args, format);
    with_text(format, args, [&](std::string_view text) { d.warning(text); });
    va_end(args);
}

void report_no_memory(diagnostics& d) { d.error(problem::no_memory, std::strerror(ENOMEM)); }

void plugin_diagnostics::error(problem kind, std::string_view text) {
    // Memory belongs to the run, not to one plugin.
    if (prefix_.empty() || kind == problem::no_memory)
        return next_.error(kind, text);
    with_prefix(prefix_, text, [&](std::string_view line) { next_.error(kind, line); });
}

void plugin_diagnostics::warning(std::string_view text) noexcept {
    if (prefix_.empty())
        return next_.warning(text);
    with_prefix(prefix_, text, [&](std::string_view line) { next_.warning(line); });
}

}  // namespace kelvo
