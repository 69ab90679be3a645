// The features the host offers, each shown to a test plugin that checks what it is given and
// ruins its output when something is wrong.

#include "sound.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <utility>

#include <sys/stat.h>

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

// Twenty lines in a run, whatever instance logs them: here one for each of two channels.
TEST(Features, ShowsAtMostTwentyLinesThePluginLogs) {
    const processed p = process(numbered_sound(2, 600), test_uri("logger"), {"-c", "extra:10"});
    ASSERT_EQ(0, p.r.status);
    std::string expected = plugin_log_lines;
    for (int i = 0; i < 10; ++i)
        expected += "kelvo: warning: plugin: extra " + std::to_string(i) + "\n";
    expected += plugin_log_lines;  // the second instance's first block
    for (int i = 0; i < 2; ++i)
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

// A state as a host saves it: the file's own URI is the preset.
std::string saved_state(const std::string& plugin, float gain) {
    return "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
           "<> a pset:Preset ; lv2:appliesTo <" + test_uri(plugin) + "> ;\n"
           "    lv2:port [ lv2:symbol \"gain\" ; pset:value " + std::to_string(gain) + " ] .\n";
}

TEST(Features, APresetComesBetweenTheDefaultsAndTheCommandLine) {
    const temp_dir dir;
    mkdir((dir / "saved.lv2").c_str(), 0700);
    for (const auto& [path, text] : {std::pair{dir / "amp.ttl", saved_state("amp", 0.75f)},
                                     {dir / "saved.lv2/state.ttl", saved_state("amp", 0.75f)},
                                     {dir / "stereo.ttl", saved_state("stereo", 0.75f)}}) {
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    const sound in = numbered_sound(1, 600);
    const struct {
        const char* plugin;
        std::vector<std::string> args;
        std::string err;
        float gain;  // 0: refused before the input is opened
    } cases[] = {
        {"amp", {"-p", "Half"}, "", 0.5f},
        {"amp", {"--preset", "http://kelvo.test/presets#amp_half"}, "", 0.5f},
        {"amp", {"-p", "Half", "-c", "gain:0.125"}, "", 0.125f},
        {"amp", {"-c", "gain:9", "-p", "Half"},
         "kelvo: warning: out of range value for port 'gain' (min: 0, max: 8)\n", 9.0f},
        {"amp", {"-p", "Ghost"},
         "kelvo: warning: the preset sets ports the plugin does not have, which are left out: "
         "ghost\n",
         0.25f},
        {"default_state", {"-p", "Quarter"}, "", 0.25f},  // after the default state's 0.5
        {"amp", {"-p", dir / "amp.ttl"}, "", 0.75f},
        {"amp", {"-p", dir / "saved.lv2"}, "", 0.75f},
        {"amp", {"-p", "Nothing"},
         "kelvo: error: preset 'Nothing' not found for this plugin ('kelvo-info "
         "http://kelvo.test/plugins/amp' lists its presets)\n",
         0},
        {"amp", {"-p", "Stereo half"},
         "kelvo: error: preset 'Stereo half' not found for this plugin ('kelvo-info "
         "http://kelvo.test/plugins/amp' lists its presets)\n",
         0},
        {"amp", {"-p", "Twice"},
         "kelvo: error: preset label 'Twice' names several presets: "
         "http://kelvo.test/presets#amp_twice_a, http://kelvo.test/presets#amp_twice_b\n",
         0},
        {"amp", {"-p", "Needs"},
         "kelvo: error: the preset requires features that this program does not support, "
         "sorry\n",
         0},
        {"amp", {"-p", dir / "stereo.ttl"},
         "kelvo: error: the state in '" + dir / "stereo.ttl" +
             "' is for plugin 'http://kelvo.test/plugins/stereo', not this one\n",
         0},
        {"amp", {"-p", "/dev/null"}, "kelvo: error: could not read a plugin state from '/dev/null'\n",
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plugin << " " << testing::PrintToString(c.args));
        if (c.gain == 0) {
            std::vector<std::string> args{"-i", dir / "missing.wav", "-o", dir / "out.wav"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.push_back(test_uri(c.plugin));
            const result r = run_kelvo(args);
            EXPECT_EQ(1, r.status);
            EXPECT_EQ(c.err, r.err);
            continue;
        }
        const processed p = process(in, test_uri(c.plugin), c.args);
        ASSERT_EQ(0, p.r.status) << p.r.err;
        EXPECT_EQ(c.err, p.r.err);
        for (int64_t i = 0; i < in.frames(); ++i)
            ASSERT_EQ(std::fmin(in.at(i, 0) * c.gain, 1.0f), p.out.at(i, 0)) << "frame " << i;
    }
}

}  // namespace
}  // namespace kelvo::test
