#pragma once

/// Ends the run as a crash, which the fuzzer keeps as a finding, when an invariant fails.
inline void require(bool condition) {
    if (!condition)
        __builtin_trap();
}
