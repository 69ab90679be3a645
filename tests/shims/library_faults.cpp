// Preloaded by tests to make library calls fail that cannot be made to fail from outside:
// KELVO_TEST_NO_LILV_WORLD=1 makes lilv_world_new give no world, and KELVO_TEST_FAIL_CLOSE=N
// makes the N-th sf_close report a failure after it has really closed the file.

#include <dlfcn.h>
#include <lilv/lilv.h>
#include <sndfile.h>

#include <cstdlib>

namespace {

template <typename F>
F next_definition(const char* name) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

long env_number(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::strtol(value, nullptr, 10) : 0;
}

}  // namespace

extern "C" LilvWorld* lilv_world_new() {
    if (env_number("KELVO_TEST_NO_LILV_WORLD") != 0)
        return nullptr;
    static const auto real = next_definition<LilvWorld* (*)()>("lilv_world_new");
    return real();
}

extern "C" int sf_close(SNDFILE* file) {
    static const auto real = next_definition<int (*)(SNDFILE*)>("sf_close");
    static long calls = 0;
    const int rc = real(file);
    return ++calls == env_number("KELVO_TEST_FAIL_CLOSE") ? SF_ERR_SYSTEM : rc;
}
