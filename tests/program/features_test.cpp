// The features the host offers, each shown to a test plugin that checks what it is given and
// ruins its output when something is wrong.

#include "sound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>

namespace kelvo::test {
namespace {

const std::string plugin_log_lines =
    "kelvo: warning: plugin: first error\n"
    "kelvo: warning: plugin: second\n"
    "kelvo: warning: plugin: third\n"
    "kelvo: warning: plugin: bell\\x07 here\n";

// The worker plugin adds (k - 1) / 1024 in block k from the second on: what the responses to
// the work of the block before carried.
float worker_sample(const sound& in, int64_t i, int64_t block) {
    const int64_t k = i / block;
    return in.at(i, 0) + (k >= 1 ? static_cast<float>(k - 1) / 1024.0f : 0.0f);
}

TEST(Features, PluginsRunWithWhatTheyRequire) {
    const sound in = numbered_sound(1, 3000);
    using expected_fn = std::function<float(int64_t)>;
    const expected_fn same = [&](int64_t i) { return in.at(i, 0); };
    const expected_fn half = [&](int64_t i) { return in.at(i, 0) * 0.5f; };
    const struct {
        const char* plugin;
        std::vector<std::string> args;
        std::string err;
        expected_fn expected;
    } cases[] = {
        {"urid", {}, "", same},
        {"options", {}, "", same},
        {"options", {"-n", "7"}, "", same},
        {"worker", {"-n", "256"}, "", [&](int64_t i) { return worker_sample(in, i, 256); }},
        {"worker", {"-n", "64"}, "", [&](int64_t i) { return worker_sample(in, i, 64); }},
        {"worker", {"-c", "flood:1"}, "", [&](int64_t i) { return worker_sample(in, i, 512); }},
        // Every run is exactly -n frames; the delay of 100 is compensated to the sample.
        {"fixed_block", {}, "", same},
        {"fixed_block", {"-n", "64"}, "", same},
        {"fixed_block", {"-n", "4096"}, "", same},
        {"fixed_block", {"-n", "256", "--tail", "1"}, "", same},  // silence after the input
        {"fixed_block",
         {"--with-latency"},
         "",
         [&](int64_t i) { return i < 100 ? 0.0f : in.at(i - 100, 0); }},
        {"logger", {}, plugin_log_lines, same},
        {"default_state", {}, "", half},
        {"atom_cv", {}, "", half},
        {"atom_cv", {"-c", "cv_in:0.25"}, "", [&](int64_t i) { return in.at(i, 0) * 0.25f; }},
        {"atom_cv",
         {"-c", "cv_in:-0.5"},
         "kelvo: warning: out of range value for port 'cv_in' (min: 0, max: 1)\n",
         [&](int64_t i) { return in.at(i, 0) * -0.5f; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plugin << " " << testing::PrintToString(c.args));
        const processed p = process(in, test_uri(c.plugin), c.args);
        ASSERT_EQ(0, p.r.status) << p.r.err;
        EXPECT_EQ(c.err, p.r.err);
        ASSERT_EQ(in.frames(), p.out.frames());
        for (int64_t i = 0; i < in.frames(); ++i)
            ASSERT_EQ(c.expected(i), p.out.at(i, 0)) << "frame " << i;
    }
}

TEST(Features, ShowsAtMostTwentyLinesThePluginLogs) {
    const processed p = process(numbered_sound(1, 600), test_uri("logger"), {"-c", "extra:10"});
    ASSERT_EQ(0, p.r.status);
    std::string expected = plugin_log_lines;
    for (int i = 0; i < 10; ++i)
        expected += "kelvo: warning: plugin: extra " + std::to_string(i) + "\n";
    for (int i = 0; i < 6; ++i)  // the second block's
        expected += "kelvo: warning: plugin: extra " + std::to_string(i) + "\n";
    expected += "kelvo: warning: further plugin messages are not shown\n";
    EXPECT_EQ(expected, p.r.err);
}

TEST(Features, RemovesTheFolderOfTheStateItMade) {
    const processed p = process(numbered_sound(1, 100), test_uri("default_state"), {});
    ASSERT_EQ(0, p.r.status) << p.r.err;
    const size_t at = p.log.find("made ");
    ASSERT_NE(std::string::npos, at) << p.log;
    const std::string path = p.log.substr(at + 5, p.log.find('\n', at) - at - 5);
    EXPECT_FALSE(file_exists(path));
    EXPECT_FALSE(file_exists(path.substr(0, path.find("/scratch/"))));
}

TEST(Features, AFailedRestoreOfTheDefaultStateEndsTheRun) {
    const processed p = process(numbered_sound(1, 100), test_uri("failing_state"), {});
    EXPECT_EQ(1, p.r.status);
    EXPECT_EQ("kelvo: error: could not restore the plugin's default state\n", p.r.err);
    EXPECT_FALSE(p.written);
}

}  // namespace
}  // namespace kelvo::test
