#include "memory.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvo {

uint64_t physical_memory_bytes() {
    const long pages = sysconf(_SC_PHYS_PAGES);
    const long page_size = sysconf(_SC_PAGESIZE);
    if (pages <= 0 || page_size <= 0)
        return UINT64_MAX;  // unknown: leave the limit to the allocator
    return checked_product(static_cast<uint64_t>(pages), static_cast<uint64_t>(page_size))
        .value_or(UINT64_MAX);
}

std::optional<uint64_t> checked_product(uint64_t a, uint64_t b) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(a, b, &product))
        return std::nullopt;
    return product;
}

}  // namespace kelvo
