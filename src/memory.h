#pragma once

#include "messages.h"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <stdexcept>

namespace kelvo {

/// Runs `build`, which allocates and throws when memory runs out. Whatever it had built is
/// freed by the unwinding before the message is printed; returns false then.
template <typename Build>
bool allocate_or_report(Build&& build) {
    try {
        build();
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    report_out_of_memory();
    return false;
}

/// The machine's physical memory in bytes; no single run may plan to use more.
uint64_t physical_memory_bytes();

/// a × b, or nothing when the product does not fit in 64 bits.
std::optional<uint64_t> checked_product(uint64_t a, uint64_t b);

}  // namespace kelvo
