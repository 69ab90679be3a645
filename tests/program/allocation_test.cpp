// Runs a test build of the program that fails its k-th allocation, for every k a run makes.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace kelvo::test {
namespace {

struct allocation_log {
    unsigned long failed = 0;        ///< the allocation made to fail, 0 if none
    unsigned long count = 0;         ///< allocations made, the failed one included
    std::map<unsigned long, size_t> live;  ///< allocated and never freed: leaks
    bool freed_newest_first = true;  ///< every free after the failure took the newest live one
};

allocation_log parse_log(const std::string& text) {
    allocation_log log;
    std::istringstream lines{text};
    char kind = 0;
    unsigned long id = 0;
    while (lines >> kind >> id) {
        if (kind == 'a') {
            size_t bytes = 0;
            lines >> bytes;
            log.live[id] = bytes;
        } else if (kind == 'f') {
            if (log.failed && (log.live.empty() || log.live.rbegin()->first != id))
                log.freed_newest_first = false;
            log.live.erase(id);
        } else if (kind == 'x') {
            log.failed = id;
        }
        log.count = std::max(log.count, id);
    }
    return log;
}

TEST(Allocation, EveryFailedAllocationEndsTheRunCleanly) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 1000));
    const struct {
        const char* name;
        std::vector<std::string> args;
        unsigned long late;  ///< the last allocations, made after the output exists
    } cases[] = {
        {"assignments and whole-output buffers",
         {"-c", "with_default:400", "-c", "bare:1", "-c", "optional_knob:2", "-c",
          "both_bounds:0", "--normalize", test_uri("controls")},
         0},
        {"defaults and scratch", {test_uri("recorder")}, 0},
        {"a chain", {test_uri("amp"), test_uri("delay"), "-c", "latency:10", test_uri("amp")}, 0},
        {"growth of the whole output",
         {"-c", "first:0", "-c", "later:3000", "-c", "after:1", "--normalize",
          test_uri("changing_latency")},
         2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> args{"-i", dir / "in.wav", "-o", dir / "out.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        run_options o;
        o.program = KELVO_ALLOC_FAULT_PATH;
        o.env = {{"KELVO_ALLOCATION_LOG", dir / "log"}, {"KELVO_FAIL_ALLOCATION", "0"}};
        ASSERT_EQ(0, run_kelvo(args, o).status);
        const allocation_log all = parse_log(read_file(dir / "log"));
        EXPECT_TRUE(all.live.empty());
        ASSERT_GT(all.count, c.late);
        for (unsigned long k = 1; k <= all.count; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(all.count));
            std::remove((dir / "out.wav").c_str());
            o.env[1].second = std::to_string(k);
            const result r = run_kelvo(args, o);
            EXPECT_EQ(1, r.status);
            EXPECT_EQ("", r.out);
            EXPECT_EQ("kelvo: error: Cannot allocate memory\n", r.err);
            const allocation_log log = parse_log(read_file(dir / "log"));
            EXPECT_EQ(k, log.failed);
            EXPECT_TRUE(log.live.empty()) << log.live.size() << " allocations leaked";
            // Even once the output was created, a failed run leaves no file behind.
            EXPECT_FALSE(file_exists(dir / "out.wav"));
            if (k <= all.count - c.late) {
                EXPECT_TRUE(log.freed_newest_first);
            }
        }
    }
}

}  // namespace
}  // namespace kelvo::test
