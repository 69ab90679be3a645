#pragma once

#include <atomic>
#include <csignal>
#include <cstdint>

namespace kelvo {

/// Tells a signal handler whether plugin code is running, and whose. The front end owns it and
/// lends it to the engine; an engine given none keeps no track.
struct plugin_watch {
    volatile std::sig_atomic_t current = 0;  ///< 0: no plugin code runs; k: the k-th plugin of
                                             ///< the run (1-based)
};

/// Marks a call into the code of the plugin at `position` for as long as it lives, then puts
/// back the mark it found (calls may nest: a restore runs work). Does nothing without a watch.
class plugin_call {
public:
    plugin_call(plugin_watch* watch, uint32_t position) noexcept : watch_{watch} {
        if (!watch_)
            return;
        previous_ = watch_->current;
        watch_->current = static_cast<std::sig_atomic_t>(position);
        // The mark must be set before the plugin's code runs, not merely somewhere near it.
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~plugin_call() {
        if (!watch_)
            return;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        watch_->current = previous_;
    }
    plugin_call(const plugin_call&) = delete;
    plugin_call& operator=(const plugin_call&) = delete;

private:
    plugin_watch* watch_;
    std::sig_atomic_t previous_ = 0;
};

}  // namespace kelvo
