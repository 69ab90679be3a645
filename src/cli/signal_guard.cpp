#include "cli/signal_guard.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

// With the prefix that names a plugin of several, and the ending that says what became of
// the output.
constexpr char msg_plugin_crashed[] = "%s: error: %sthe plugin crashed (%s)%s\n";
constexpr char nothing_written[] = "; nothing was written";
constexpr char erase_line[] = "\r\033[K";

// The first four end a run from outside; the others are crashes.
constexpr std::array<int, 9> guarded = {SIGINT,  SIGTERM, SIGHUP, SIGPIPE, SIGSEGV,
                                        SIGBUS,  SIGFPE,  SIGILL, SIGABRT};
constexpr size_t first_crash = 4;
constexpr size_t crash_kinds = guarded.size() - first_crash;
constexpr size_t least_stack_bytes = 64 * 1024;

// The handler's way to the guard; a lock-free atomic may be read in a handler.
std::atomic<const signal_guard*> active{nullptr};
static_assert(std::atomic<const signal_guard*>::is_always_lock_free);

void write_all(const char* text, size_t length) noexcept {
    while (length > 0) {
        const ssize_t written = write(STDERR_FILENO, text, length);
        if (written <= 0)
            return;
        text += written;
        length -= static_cast<size_t>(written);
    }
}

extern "C" void on_signal(int signal) {
    if (const signal_guard* guard = active.load(std::memory_order_relaxed))
        guard->handle(signal);
    // The action is back to the default (SA_RESETHAND) and the signal blocked until the
    // handler returns: then it ends the process, with a core dump where the system wants one.
    raise(signal);
}

sigset_t guarded_set(size_t count) {
    sigset_t set;
    sigemptyset(&set);
    for (size_t i = 0; i < count; ++i)
        sigaddset(&set, guarded[i]);
    return set;
}

// Writes the crash line into `at` when it is not null; returns its length either way.
size_t crash_line(char* at, size_t room, const char* program, const std::string& prefix,
                  const char* description, const char* ending) {
    const int length = std::snprintf(at, room, msg_plugin_crashed, program, prefix.c_str(),
                                     description, ending);
    return static_cast<size_t>(std::max(length, 0));
}

}  // namespace

void signal_guard::install(const char* program_name, const plugin_watch& watch, size_t plugins,
                           const std::function<std::string(size_t)>& prefix_of) {
    // One block for the text and one for where its lines end, made in locals so that a failed
    // allocation unwinds them newest first.
    const char* const endings[] = {nothing_written, ""};
    size_t total = 0;
    for (size_t k = 1; k <= plugins; ++k) {
        const std::string prefix = prefix_of(k);
        for (size_t i = first_crash; i < guarded.size(); ++i) {
            for (const char* ending : endings)
                total +=
                    crash_line(nullptr, 0, program_name, prefix, strsignal(guarded[i]), ending);
        }
    }
    std::string text(total, '\0');
    std::vector<size_t> ends;
    ends.reserve(plugins * crash_kinds * 2);
    size_t at = 0;
    for (size_t k = 1; k <= plugins; ++k) {
        // Made again rather than kept: freed at once, it leaves the order of frees intact.
        const std::string prefix = prefix_of(k);
        for (size_t i = first_crash; i < guarded.size(); ++i) {
            for (const char* ending : endings) {
                // snprintf writes a terminating zero: the next line's first byte, or the one
                // std::string keeps after the last.
                at += crash_line(text.data() + at, total - at + 1, program_name, prefix,
                                 strsignal(guarded[i]), ending);
                ends.push_back(at);
            }
        }
    }
    std::vector<char> stack(least_stack_bytes +
                            static_cast<size_t>(std::max(sysconf(_SC_SIGSTKSZ), 0L)));
    text_ = std::move(text);
    ends_ = std::move(ends);
    stack_ = std::move(stack);
    watch_ = &watch;
    erase_progress_ = isatty(STDERR_FILENO) == 1;

    const stack_t alternate{stack_.data(), 0, stack_.size()};
    sigaltstack(&alternate, &old_stack_);
    struct sigaction action {};
    action.sa_handler = on_signal;
    action.sa_mask = guarded_set(guarded.size());
    action.sa_flags = static_cast<int>(SA_ONSTACK | SA_RESETHAND);
    active.store(this);
    for (size_t i = 0; i < guarded.size(); ++i) {
        sigaction(guarded[i], nullptr, &old_actions_[i]);
        // A signal ignored by whoever started the program (nohup, a pipeline) stays ignored.
        if (i < first_crash && old_actions_[i].sa_handler == SIG_IGN)
            continue;
        replaced_[i] = sigaction(guarded[i], &action, nullptr) == 0;
    }
    installed_ = true;
}

void signal_guard::release() noexcept {
    if (installed_) {
        for (size_t i = 0; i < guarded.size(); ++i) {
            if (replaced_[i])
                sigaction(guarded[i], &old_actions_[i], nullptr);
        }
        active.store(nullptr);
        sigaltstack(&old_stack_, nullptr);
        installed_ = false;
        replaced_ = {};
    }
    has_temporary_ = 0;
    stack_ = {};
    ends_ = {};
    text_ = {};
}

void signal_guard::watch_output(const char* temporary_path, bool in_place) noexcept {
    has_temporary_ = 0;
    std::atomic_signal_fence(std::memory_order_seq_cst);
    if (temporary_path && std::strlen(temporary_path) < temporary_.size()) {
        std::strcpy(temporary_.data(), temporary_path);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        has_temporary_ = 1;
    }
    in_place_ = in_place ? 1 : 0;
}

void signal_guard::handle(int signal) const noexcept {
    if (erase_progress_)
        write_all(erase_line, sizeof erase_line - 1);
    const auto crash = std::find(guarded.begin() + first_crash, guarded.end(), signal);
    const auto position = static_cast<size_t>(watch_ ? watch_->current : 0);
    if (crash != guarded.end() && position > 0 && position <= ends_.size() / (crash_kinds * 2)) {
        const auto kind = static_cast<size_t>(crash - (guarded.begin() + first_crash));
        const size_t line =
            ((position - 1) * crash_kinds + kind) * 2 + static_cast<size_t>(in_place_ != 0);
        const size_t start = line > 0 ? ends_[line - 1] : 0;
        write_all(text_.data() + start, ends_[line] - start);
    }
    if (has_temporary_)
        unlink(temporary_.data());
}

signals_held::signals_held() noexcept {
    const sigset_t set = guarded_set(first_crash);
    sigprocmask(SIG_BLOCK, &set, &previous_);
}

signals_held::~signals_held() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace kelvo
