#include "messages.h"

#include "diagnostics.h"
#include "progress.h"

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

const char* name = "kelvo";

// One write for the whole line, so that lines of processes sharing standard error do not
// interleave; a line too long for the buffer is written in parts.
[[gnu::format(printf, 2, 0)]] void print(const char* kind, const char* format, va_list args) {
    progress_erase();
    std::array<char, 4096> line;
    const int head = std::snprintf(line.data(), line.size(), "%s: %s: ", name, kind);
    va_list copy;
    va_copy(copy, args);
    const int body = head < 0 || static_cast<size_t>(head) >= line.size()
                         ? -1
                         : std::vsnprintf(line.data() + head,
                                          line.size() - static_cast<size_t>(head), format, copy);
    va_end(copy);
    if (body >= 0 && static_cast<size_t>(head + body) + 1 < line.size()) {
        line[static_cast<size_t>(head + body)] = '\n';
        std::fwrite(line.data(), 1, static_cast<size_t>(head + body) + 1, stderr);
        return;
    }
    std::fprintf(stderr, "%s: %s: ", name, kind);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

// The engine's texts come whole; a `%.*s` keeps them from being read as formats.
class printer final : public diagnostics {
public:
    void error(problem, std::string_view text) override {
        kelvo::error("%.*s", length(text), text.data());
    }
    void warning(std::string_view text) noexcept override {
        kelvo::warning("%.*s", length(text), text.data());
    }

private:
    static int length(std::string_view text) { return static_cast<int>(text.size()); }
};

}  // namespace

diagnostics& printed_diagnostics() {
    // Holds no state: every caller may share it.
    static printer p;
    return p;
}

void set_program_name(const char* program) { name = program; }

const char* program_name() { return name; }

void error(const char* format, ...) {
    va_list args;
    va_start(args, format);
    print("error", format, args);
    va_end(args);
}

void warning(const char* format, ...) {
    va_list args;
    va_start(args, format);
    print("warning", format, args);
    va_end(args);
}

void report_out_of_memory() { error("%s", std::strerror(ENOMEM)); }

}  // namespace kelvo
