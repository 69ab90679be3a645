#pragma once

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

namespace kelvo {

/// What kind of error an engine reports, so that a front end can choose how to raise it.
enum class problem : unsigned char {
    not_found,    ///< a plugin or preset that is not there
    no_port,      ///< a port that is not there, which a front end may tell from a plugin
    bad_value,    ///< a value or a request that cannot be taken
    cannot_run,   ///< a plugin that cannot be driven, or a failure while driving it
    no_memory,
};

/// Where an engine's errors and warnings go. The command line prints them with the program
/// name; the Python module raises or warns. The engine itself never prints.
class diagnostics {
public:
    /// One error, the text without "error: "; the run stops after it.
    virtual void error(problem kind, std::string_view text) = 0;
    /// One warning, the text without "warning: ". Called from the block loop too: it must
    /// not throw.
    virtual void warning(std::string_view text) noexcept = 0;

protected:
    ~diagnostics() = default;
};

/// Formats an error into fixed storage and reports it; returns false, for the caller to return.
[[gnu::format(printf, 3, 4)]] bool report_error(diagnostics& d, problem kind, const char* format,
                                                ...);

/// Formats a warning into fixed storage and reports it. Allocates nothing.
[[gnu::format(printf, 2, 3)]] void report_warning(diagnostics& d, const char* format, ...);

/// The out-of-memory error: the system's words for ENOMEM.
void report_no_memory(diagnostics& d);

/// Runs `build`, which allocates and throws when memory runs out. Whatever it had built is
/// freed by the unwinding before the error is reported; returns false then.
template <typename Build>
bool allocate_or_report(diagnostics& d, Build&& build) {
    try {
        build();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    report_no_memory(d);
    return false;
}

/// Puts "plugin N (URI): " before every text of one plugin of a chain of several, and passes
/// it on. Formats into fixed storage: it may be called from the block loop.
class plugin_diagnostics final : public diagnostics {
public:
    plugin_diagnostics(diagnostics& next, const std::string& prefix)
        : next_{next}, prefix_{prefix} {}
    void error(problem kind, std::string_view text) override;
    void warning(std::string_view text) noexcept override;

private:
    diagnostics& next_;
    const std::string& prefix_;  ///< empty with one plugin; belongs to the owner
};

}  // namespace kelvo
