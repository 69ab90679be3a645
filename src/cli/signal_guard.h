#pragma once

#include "host/plugin_watch.h"

#include <signal.h>

#include <array>
#include <climits>
#include <csignal>
#include <functional>
#include <span>
#include <string>
#include <vector>

namespace kelvo {

/// What the signals that end a run leave behind. SIGINT, SIGTERM, SIGHUP and SIGPIPE (unless
/// ignored when the program started) and SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT erase the
/// progress line and remove the temporary output, then end the process by the same signal
/// with its default action; the last five first say which plugin crashed when its code was
/// running. The handlers only write prepared lines, unlink and re-raise. There is one guard
/// per process, as there is one set of signal actions.
class signal_guard {
public:
    signal_guard() = default;
    signal_guard(const signal_guard&) = delete;
    signal_guard& operator=(const signal_guard&) = delete;
    ~signal_guard() { release(); }

    /// Prepares a crash line for each of `plugins` positions, `prefix(k)` put before the words
    /// for the k-th plugin (from 1), and installs the handlers with a stack of their own, so
    /// that a plugin's stack overflow is told too. `watch` says whose code runs. Throws
    /// std::bad_alloc when memory runs out.
    void install(const char* program_name, const plugin_watch& watch, size_t plugins,
                 const std::function<std::string(size_t)>& prefix);

    /// Names the temporary output to remove (null: none). `in_place` says that the output is
    /// being written where it is, so that a crash line cannot claim nothing was written.
    void watch_output(const char* temporary_path, bool in_place) noexcept;

    /// Runs in the handler: the line, the unlink. Not for other callers.
    void handle(int signal) const noexcept;

private:
    /// Puts back the actions and the signal stack it replaced, then frees its memory, newest
    /// first.
    void release() noexcept;

    const plugin_watch* watch_ = nullptr;
    std::string text_;           ///< every crash line, one after the other
    std::vector<size_t> ends_;   ///< where each ends: per position, per crash signal, two
                                 ///< wordings
    bool erase_progress_ = false;  ///< standard error is a terminal
    std::array<char, PATH_MAX> temporary_{};
    volatile std::sig_atomic_t has_temporary_ = 0;
    volatile std::sig_atomic_t in_place_ = 0;
    std::vector<char> stack_;
    stack_t old_stack_{};
    std::array<struct sigaction, 9> old_actions_{};
    std::array<bool, 9> replaced_{};
    bool installed_ = false;
};

/// Holds back SIGINT, SIGTERM, SIGHUP and SIGPIPE while it lives, so that the step between
/// creating a temporary file and naming it to the guard is not cut in two; they arrive after.
class signals_held {
public:
    signals_held() noexcept;
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t previous_{};
};

}  // namespace kelvo
