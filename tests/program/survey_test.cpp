#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

// Runs a plugin of the test bundle on an input that does not exist: every outcome of the
// plugin checks shows before any file is opened.
result survey(const std::string& plugin, const std::vector<std::string>& extra = {}) {
    std::vector<std::string> args{"-i", "/nonexistent/in.wav", "-o", "/nonexistent/out.wav"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.push_back(test_uri(plugin));
    return run_kelvo(args);
}

constexpr char input_missing[] =
    "kelvo: error: could not open input file: System error : No such file or directory.\n";

TEST(Program, ReportsEverySurveyOutcome) {
    const struct {
        const char* plugin;
        std::vector<std::string> extra;
        const char* err;
    } cases[] = {
        {"needs_feature", {},
         "kelvo: error: the plugin requires features that this program does not support, "
         "sorry\n"},
        {"needs_feature", {"-c", "nothing:1"},
         "kelvo: error: the plugin requires features that this program does not support, "
         "sorry\n"},
        {"unknown_option", {},
         "kelvo: error: the plugin requires features that this program does not support, "
         "sorry\n"},
        {"fixed_block", {"-n", "500"},
         "kelvo: error: the plugin runs only in blocks of a power of two frames: use -n 256 or "
         "-n 512\n"},
        {"atom_port", {"-c", "events:1"}, "kelvo: error: cannot assign a value to port 'events' (it is an atom port)\n"},
        {"atom_cv", {"-c", "cv_out:1"}, "kelvo: error: cannot assign a value to port 'cv_out' (it is a CV out port)\n"},
        {"huge_atom", {}, "kelvo: error: port 'events_out' asks for a buffer size this program cannot give (rsz:minimumSize 1000000000)\n"},
        {"negative_index", {}, "kelvo: error: plugin 'http://kelvo.test/plugins/negative_index' has a broken description: a port has the lv2:index '-1'\n"},
        {"event_port", {}, "kelvo: error: port 'midi' has a port type this program does not understand\n"},
        {"audio_nodir", {}, "kelvo: error: port 'floating' has a port type this program does not understand\n"},
        {"audio_nodir", {"-c", "floating:1"}, "kelvo: error: port 'floating' has a port type this program does not understand\n"},
        {"control_nodir", {"-c", "knob:1"}, "kelvo: error: port 'knob' has a port type this program does not understand\n"},
        {"no_ports", {}, "kelvo: error: the plugin has no audio in ports\n"},
        {"no_audio_in", {}, "kelvo: error: the plugin has no audio in ports\n"},
        {"no_audio_in", {"-c", "ghost:1"}, "kelvo: error: port 'ghost' not found\n"},
        {"no_audio_out", {}, "kelvo: error: the plugin has no audio out ports\n"},
        {"only_optional_output", {}, "kelvo: error: the plugin has no audio out ports\n"},
        {"amp", {"-c", "in:1"}, "kelvo: error: cannot assign a value to port 'in' (it is an audio in port)\n"},
        {"amp", {"-c", "out:1"}, "kelvo: error: cannot assign a value to port 'out' (it is an audio out port)\n"},
        {"delay", {"-c", "reported:1"}, "kelvo: error: cannot assign a value to port 'reported' (it is a control out port)\n"},
        {"recorder", {"-c", "meter:1"}, "kelvo: error: cannot assign a value to port 'meter' (it is a control out port)\n"},
        {"amp", {"-c", "gain:1", "-c", "volume:1", "-c", "pan:0"}, "kelvo: error: port 'volume' not found\n"},
        // Assignments found, plugin accepted: the next thing is the input file.
        {"amp", {"-c", "gain:2"}, input_missing},
        {"controls", {"-c", "optional_knob:3", "-c", "rate_bound:1"}, input_missing},
        {"only_optional_input", {}, input_missing},
        {"optional_output", {}, input_missing},
        {"two_latency", {}, input_missing},
        {"two_latency", {"--with-latency"}, input_missing},
        {"recorder", {}, input_missing},
        {"atom_port", {}, input_missing},
        {"optional_atom", {}, input_missing},
        {"cv_port", {"-c", "cv:0.5"}, input_missing},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.plugin) + ": " + c.err);
        const result r = survey(c.plugin, c.extra);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST(Program, RefusesTextsThatAreNoInstalledPluginUri) {
    const char* const uris[] = {"", "in.wav", ":1", "http://kelvo.test/plugins/missing",
                                "http://kelvo.test/plugins/AMP", "http://kelvo.test/plugins/amp ",
                                "urn:no such thing"};
    for (const char* uri : uris) {
        SCOPED_TRACE(uri);
        const result r = run_kelvo({"-i", "/nonexistent/in.wav", "-o", "out.wav", uri});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(std::string("kelvo: error: plugin '") + uri + "' not found\n", r.err);
    }
}

TEST(Program, ChecksThePluginBeforeTouchingAnyFile) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 10));
    const std::string out = dir / "out.wav";
    const struct {
        const char* plugin;
        const char* err;
    } cases[] = {
        {"missing", "kelvo: error: plugin 'http://kelvo.test/plugins/missing' not found\n"},
        {"event_port", "kelvo: error: port 'midi' has a port type this program does not understand\n"},
        {"negative_index", "kelvo: error: plugin 'http://kelvo.test/plugins/negative_index' has a broken description: a port has the lv2:index '-1'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        // An input that cannot be opened is never reached.
        result r = run_kelvo({"-i", dir / "unreadable.wav", "-o", out, test_uri(c.plugin)});
        EXPECT_EQ(c.err, r.err);
        // A readable input is never opened and no output is created.
        r = run_kelvo({"-i", dir / "in.wav", "-o", out, test_uri(c.plugin)});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_FALSE(file_exists(out));
    }
}

TEST(Program, ReportsAWorldWithoutPluginsAsNotFound) {
    run_options o;
    o.lv2_path = "/nonexistent";
    const result r = run_kelvo({"-i", "in.wav", "-o", "out.wav", test_uri("amp")}, o);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("kelvo: error: plugin 'http://kelvo.test/plugins/amp' not found\n", r.err);
}

}  // namespace
}  // namespace kelvo::test
