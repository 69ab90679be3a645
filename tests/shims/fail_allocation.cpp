// Linked only into the test build kelvo_alloc_fault, never into kelvo: replaces the global
// allocation functions so that a test can make the k-th allocation of the program's own code
// fail (KELVO_FAIL_ALLOCATION=k), and records every such allocation and its release in the
// file named by KELVO_ALLOCATION_LOG ("a ID BYTES", "x ID" for the one made to fail, "f ID").
// Allocations made by libraries (a plugin's, libstdc++'s own) are neither counted nor failed.

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

extern "C" char __executable_start;
extern "C" char etext;

namespace {

struct live_allocation {
    void* p;
    unsigned long id;
};

bool initialized = false;
unsigned long fail_at = 0;  // 0: never
unsigned long count = 0;
int log_fd = -1;
live_allocation live[4096];
size_t live_count = 0;

void initialize() {
    initialized = true;
    if (const char* k = std::getenv("KELVO_FAIL_ALLOCATION"))
        fail_at = std::strtoul(k, nullptr, 10);
    if (const char* path = std::getenv("KELVO_ALLOCATION_LOG"))
        log_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
}

void log_event(char kind, unsigned long id, size_t bytes) {
    if (log_fd < 0)
        return;
    char line[64];
    const int n = kind == 'a' ? std::snprintf(line, sizeof line, "a %lu %zu\n", id, bytes)
                              : std::snprintf(line, sizeof line, "%c %lu\n", kind, id);
    if (n > 0 && write(log_fd, line, static_cast<size_t>(n)) < 0) {
    }
}

bool from_program(const void* caller) { return caller >= &__executable_start && caller < &etext; }

void* allocate(size_t bytes, const void* caller) {
    if (!initialized)
        initialize();
    if (!from_program(caller))
        return std::malloc(bytes ? bytes : 1);
    const unsigned long id = ++count;
    if (id == fail_at) {
        log_event('x', id, bytes);
        return nullptr;
    }
    void* p = std::malloc(bytes ? bytes : 1);
    if (p && live_count < sizeof live / sizeof live[0]) {
        live[live_count++] = {p, id};
        log_event('a', id, bytes);
    }
    return p;
}

void release(void* p) {
    for (size_t i = 0; p && i < live_count; ++i) {
        if (live[i].p == p) {
            log_event('f', live[i].id, 0);
            live[i] = live[--live_count];
            break;
        }
    }
    std::free(p);
}

}  // namespace

void* operator new(size_t bytes) {
    if (void* p = allocate(bytes, __builtin_return_address(0)))
        return p;
    throw std::bad_alloc();
}

void* operator new[](size_t bytes) {
    if (void* p = allocate(bytes, __builtin_return_address(0)))
        return p;
    throw std::bad_alloc();
}

void* operator new(size_t bytes, const std::nothrow_t&) noexcept {
    return allocate(bytes, __builtin_return_address(0));
}

void* operator new[](size_t bytes, const std::nothrow_t&) noexcept {
    return allocate(bytes, __builtin_return_address(0));
}

void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, size_t) noexcept { release(p); }
void operator delete[](void* p, size_t) noexcept { release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { release(p); }
