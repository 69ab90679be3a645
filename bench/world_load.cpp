// Times lilv_world_load_all over the bundles that LV2_PATH names, or lilv's default search
// path when it is unset: the part of kelvo's start-up that grows with the installed plugins.
//
//   world_load [LOADS]
//
// Each load gets a new world, so every one parses all the manifests again. Prints the first
// load (cold, as in a fresh process), the median in milliseconds and the plugins found.

#include "host/owners.h"

#include <lilv/lilv.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

namespace {

constexpr char msg_usage[] = "usage: %s [LOADS]\n";
constexpr char msg_no_world[] = "%s: error: could not create the lilv world\n";
constexpr char msg_result[] =
    "lilv_world_load_all: first %.2f ms, median %.2f ms of %d loads, %u plugins\n";

using kelvo::world_ptr;

struct load_result {
    double milliseconds = 0;
    unsigned plugins = 0;
};

bool time_one_load(load_result& result) {
    const world_ptr world{lilv_world_new()};
    if (!world) return false;
    const auto start = std::chrono::steady_clock::now();
    lilv_world_load_all(world.get());
    const auto stop = std::chrono::steady_clock::now();
    result.milliseconds = std::chrono::duration<double, std::milli>(stop - start).count();
    result.plugins = lilv_plugins_size(lilv_world_get_all_plugins(world.get()));
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program_name = argc > 0 ? argv[0] : "world_load";
    int loads = 10;
    if (argc > 2 || (argc == 2 && (loads = std::atoi(argv[1])) <= 0)) {
        std::fprintf(stderr, msg_usage, program_name);
        return 2;
    }
    std::vector<double> times;
    load_result result;
    for (int i = 0; i < loads; ++i) {
        if (!time_one_load(result)) {
            std::fprintf(stderr, msg_no_world, program_name);
            return 1;
        }
        times.push_back(result.milliseconds);
    }
    const double first = times.front();
    std::sort(times.begin(), times.end());
    const size_t mid = times.size() / 2;
    const double median = times.size() % 2 ? times[mid] : (times[mid - 1] + times[mid]) / 2;
    std::printf(msg_result, first, median, loads, result.plugins);
    return 0;
}
