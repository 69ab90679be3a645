#include "run_kelvo.h"

#include <gtest/gtest.h>

namespace kelvo::test {
namespace {

constexpr char help_text[] =
    "Usage: kelvo [options] -i input -o output plugin\n"
    "             -h|--help\n"
    "             --version\n"
    "Command line arguments:\n"
    "  -h, --help         Display this information\n"
    "  --version          Display version information\n"
    "  -i input           Input sound file\n"
    "  -o output          Output sound file\n"
    "  plugin             LV2 plugin URI\n"
    "  -n frames          Number of frames per cycle [default=512]\n"
    "  -c port:value      Set value for control in port\n"
    "  --with-latency     Disable latency compensation\n"
    "  --timing           Report timing statistics\n"
    "  --normalize        Normalize output\n"
    "  --tail seconds     Keep the plugin's audible tail, up to this long\n"
    "  --format type      Output file format: wav, flac, ogg, ... [default: the input's]\n"
    "  --bits depth       Output sample depth: 8, 16, 24, 32, float or double\n"
    "  -p, --preset name  Start from a preset: its URI or label, or a saved state\n"
    "  plugin ...         Further plugins, in order; -c and -p belong to the plugin before\n"
    "  --loudness LUFS    Scale the output to this integrated loudness, -70 to 0\n"
    "  --true-peak dBTP   The true-peak ceiling with --loudness [default: -1]\n"
    "  --quality Q        Ogg, Opus and MP3 quality, 0 to 10 [default: 7]\n";

constexpr char version_text[] =
    "kelvo 0.1.0\n"
    "Copyright 2026 The kelvo authors\n";

TEST(Program, HelpAndVersionWinOverEverythingElse) {
    const struct {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"-h"}, help_text},
        {{"--help", "-x"}, help_text},
        {{"--version", "-h"}, help_text},
        {{"-h", "--version"}, help_text},
        {{"-i", "-h"}, help_text},
        {{"--version"}, version_text},
        {{"-n", "0", "--version", "a", "b"}, version_text},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const result r = run_kelvo(c.args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST(Program, HelpAlignsWithTheProgramNameAsPassed) {
    run_options o;
    o.argv0 = "/usr/local/bin/kelvo";
    const result r = run_kelvo({"--help"}, o);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find("Usage: /usr/local/bin/kelvo [options] -i input -o output plugin\n"
                             "                            -h|--help\n"
                             "                            --version\n"));
}

TEST(Program, RejectsMalformedCommandLines) {
    const std::string uri = test_uri("amp");
    const struct {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{}, "kelvo: error: no input file specified\n"},
        {{"-i", "a.wav", uri}, "kelvo: error: no output file specified\n"},
        {{"-i", "a.wav", "-o", "b.wav"}, "kelvo: error: no plugin URI specified\n"},
        {{"-i"}, "kelvo: error: missing filename after '-i'\n"},
        {{"-i", "a.wav", "-i"}, "kelvo: error: missing filename after '-i'\n"},
        {{"-i", "a.wav", "-i", "b.wav"}, "kelvo: error: input file specified more than once\n"},
        {{"-o"}, "kelvo: error: missing filename after '-o'\n"},
        {{"-o", "a", "-o", "b"}, "kelvo: error: output file specified more than once\n"},
        {{"-n"}, "kelvo: error: missing number of frames after '-n'\n"},
        {{"-n", "0"}, "kelvo: error: invalid number of frames\n"},
        {{"-n", "12x"}, "kelvo: error: invalid number of frames\n"},
        {{"-n", ""}, "kelvo: error: invalid number of frames\n"},
        {{"-n", "18446744073709551616"}, "kelvo: error: invalid number of frames\n"},
        {{"-n", "256", "-n", "256"}, "kelvo: error: number of frames specified more than once\n"},
        {{"-c"}, "kelvo: error: missing <port>:<value> after '-c'\n"},
        {{"-c", "gain"}, "kelvo: error: invalid <port>:<value> argument\n"},
        {{"-c", ":1"}, "kelvo: error: invalid port identifier ''\n"},
        {{"-c", "2x:1"}, "kelvo: error: invalid port identifier '2x'\n"},
        {{"-c", "a-b:1"}, "kelvo: error: invalid port identifier 'a-b'\n"},
        {{"-c", "gain:1,5"}, "kelvo: error: invalid value for port 'gain'\n"},
        {{"-c", "a:b:c"}, "kelvo: error: invalid value for port 'a'\n"},
        {{"-c", "gain:1e39"}, "kelvo: error: invalid value for port 'gain'\n"},
        {{"-c", "gain:0.5", "-c", "gain:0.25"},
         "kelvo: error: a different value for port 'gain' was already specified\n"},
        {{"-x"}, "kelvo: error: unknown command line option '-x'\n"},
        {{"-"}, "kelvo: error: unknown command line option '-'\n"},
        {{"--with-latency=1"}, "kelvo: error: unknown command line option '--with-latency=1'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        run_options o;
        o.env = {{"LC_ALL", "de_DE.UTF-8"}, {"LC_NUMERIC", "de_DE.UTF-8"}};
        const result r = run_kelvo(c.args, o);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST(Program, AcceptsRepeatedFlagsAndEqualAssignments) {
    // -o comes right after -i, so it is the input path; the run then fails opening it.
    const result r =
        run_kelvo({"--timing", "--timing", "--normalize", "--normalize", "--with-latency",
                   "--with-latency", "-c", "gain:0", "-c", "gain:0", "-c", "gain:-0",
                   "-i", "-o", "-o", "missing.wav", test_uri("amp")});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(0u, r.err.find("kelvo: error: could not open input file: ")) << r.err;
}

TEST(Program, NamesItselfByArgv0ExactlyAsPassed) {
    run_options o;
    o.argv0 = "./bin/kelvo-dev";
    const result r = run_kelvo({"-x"}, o);
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("./bin/kelvo-dev: error: unknown command line option '-x'\n", r.err);
}

}  // namespace
}  // namespace kelvo::test
