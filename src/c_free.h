#pragma once

namespace kelvo {

/// Calls a C library's free function; lets unique_ptr own what a C library hands over.
template <auto free_fn>
struct c_free {
    void operator()(auto* p) const noexcept { free_fn(p); }
};

}  // namespace kelvo
