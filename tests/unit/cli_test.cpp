#include "cli/assignments.h"
#include "cli/options.h"
#include "cli/signal_guard.h"
#include "messages.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

using namespace kelvo;

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

// One parse of a command line after argv[0] `name`. The words stay alive with the result,
// since the settings borrow them.
struct parsed {
    explicit parsed(std::vector<std::string> words, const char* name = "kelvo") : args{name} {
        args.insert(args.end(), words.begin(), words.end());
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        outcome = parse_command_line(static_cast<int>(args.size()), argv.data(), settings);
        out = testing::internal::GetCapturedStdout();
        err = testing::internal::GetCapturedStderr();
    }
    // The name was borrowed from these words.
    ~parsed() { set_program_name("kelvo"); }
    std::vector<std::string> args;
    std::vector<char*> argv;
    run_settings settings;
    parse_outcome outcome;
    std::string out;
    std::string err;
};

}  // namespace

TEST(CommandLine, StopsAtTheFirstProblemOrAfterHelpAndVersion) {
    const char* const version = "kelvo 0.1.0\nCopyright 2026 The kelvo authors\n";
    const struct {
        std::vector<std::string> args;
        const char* err;  // empty for a stop with status 0
        const char* out = "";
    } cases[] = {
        {{}, "kelvo: error: no input file specified\n"},
        {{"-i", "a.wav"}, "kelvo: error: no output file specified\n"},
        {{"-i", "a.wav", "-o", "b.wav"}, "kelvo: error: no plugin URI specified\n"},
        {{"-i", "a.wav", "-i"}, "kelvo: error: missing filename after '-i'\n"},
        {{"-i", "a.wav", "-i", "b.wav"}, "kelvo: error: input file specified more than once\n"},
        {{"-i", "a.wav", "-o"}, "kelvo: error: missing filename after '-o'\n"},
        {{"-o", "a", "-o", "b"}, "kelvo: error: output file specified more than once\n"},
        {{"-n"}, "kelvo: error: missing number of frames after '-n'\n"},
        {{"-n", "256", "-n", "256"}, "kelvo: error: number of frames specified more than once\n"},
        {{"-n", "0"}, "kelvo: error: invalid number of frames\n"},
        {{"-n", "12x"}, "kelvo: error: invalid number of frames\n"},
        {{"-n", ""}, "kelvo: error: invalid number of frames\n"},
        {{"-n", "18446744073709551616"}, "kelvo: error: invalid number of frames\n"},
        {{"-n", "0", "-i"}, "kelvo: error: invalid number of frames\n"},
        {{"-c"}, "kelvo: error: missing <port>:<value> after '-c'\n"},
        {{"-c", "gain", "-x"}, "kelvo: error: invalid <port>:<value> argument\n"},
        {{"-x", "-i"}, "kelvo: error: unknown command line option '-x'\n"},
        {{"-"}, "kelvo: error: unknown command line option '-'\n"},
        {{"--versions"}, "kelvo: error: unknown command line option '--versions'\n"},
        {{"--tail"}, "kelvo: error: missing number of seconds after '--tail'\n"},
        {{"--tail", "1", "--tail", "1"}, "kelvo: error: tail length specified more than once\n"},
        {{"--tail", "-1"}, "kelvo: error: invalid tail length '-1' (a number of seconds from 0 to 3600)\n"},
        {{"--tail", "3601"}, "kelvo: error: invalid tail length '3601' (a number of seconds from 0 to 3600)\n"},
        {{"--tail", "nan"}, "kelvo: error: invalid tail length 'nan' (a number of seconds from 0 to 3600)\n"},
        {{"--tail", "1,5"}, "kelvo: error: invalid tail length '1,5' (a number of seconds from 0 to 3600)\n"},
        {{"--format"}, "kelvo: error: missing format name after '--format'\n"},
        {{"--format", "wav", "--format", "wav"}, "kelvo: error: output format specified more than once\n"},
        {{"--bits"}, "kelvo: error: missing bit depth after '--bits'\n"},
        {{"--preset"}, "kelvo: error: missing preset after '--preset'\n"},
        {{"-p", "a", "--preset", "b"}, "kelvo: error: preset specified more than once\n"},
        {{"--bits", "8", "--bits", "8"}, "kelvo: error: bit depth specified more than once\n"},
        {{"-c", "g:1", "urn:a", "-c", "g:2"},
         "kelvo: error: a different value for port 'g' was already specified\n"},
        {{"--loudness"}, "kelvo: error: missing loudness after '--loudness'\n"},
        {{"--loudness", "-16", "--loudness", "-16"}, "kelvo: error: loudness specified more than once\n"},
        {{"--loudness", "0.5"}, "kelvo: error: invalid loudness '0.5' (a number from -70 to 0)\n"},
        {{"--loudness", "-16,5"}, "kelvo: error: invalid loudness '-16,5' (a number from -70 to 0)\n"},
        {{"--true-peak", "-20.5"}, "kelvo: error: invalid true peak '-20.5' (a number from -20 to 0)\n"},
        {{"--quality", "nan"}, "kelvo: error: invalid quality 'nan' (a number from 0 to 10)\n"},
        {{"--quality", "1", "--quality", "1"}, "kelvo: error: quality specified more than once\n"},
        {{"-i", "a", "-o", "b", "urn:a", "--true-peak", "-2"}, "kelvo: error: --true-peak needs --loudness\n"},
        {{"--normalize", "-i", "a", "-o", "b", "--loudness", "-23", "urn:a"}, "kelvo: error: --loudness and --normalize cannot be combined\n"},
        {{"--version", "-h"}, "", help_text},
        {{"-h", "--version"}, "", help_text},
        {{"-i", "--help"}, "", help_text},
        {{"-x", "-n", "0", "--version"}, "", version},
    };
    for (const auto& c : cases) {
        const parsed p{c.args};
        SCOPED_TRACE(testing::Message() << c.args.size() << " arguments, " << c.err << c.out);
        EXPECT_EQ(c.err[0] ? parse_outcome::stop_failure : parse_outcome::stop_success,
                  p.outcome);
        EXPECT_EQ(c.out, p.out);
        EXPECT_EQ(c.err, p.err);
    }
}

TEST(CommandLine, GivesControlsAndPresetsToThePluginBeforeThem) {
    // Each plugin as "uri preset symbol=value ...", in order.
    const auto plugins = [](const run_settings& s) {
        std::vector<std::string> words;
        for (const plugin_request& r : s.plugins) {
            std::string w = std::string{r.uri} + " " + (r.preset ? r.preset : "-");
            for (const port_assignment& a : r.assignments)
                w += " " + std::string{a.symbol} + "=" + std::to_string(static_cast<int>(a.value));
            words.push_back(w);
        }
        return words;
    };
    const struct {
        std::vector<std::string> args;
        std::vector<std::string> plugins;
    } cases[] = {
        {{"-c", "g:1", "urn:a", "-p", "x"}, {"urn:a x g=1"}},
        {{"urn:a", "-c", "g:1", "urn:a", "-c", "g:2"}, {"urn:a - g=1", "urn:a - g=2"}},
        {{"-p", "x", "-c", "g:1", "urn:a", "-c", "h:3", "urn:b", "-p", "y", "urn:c"},
         {"urn:a x g=1 h=3", "urn:b y", "urn:c -"}},
        {{"", "urn:b", "-c", "g:1", "-n", "8"}, {" -", "urn:b - g=1"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args{"-i", "a.wav", "-o", "b.wav"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        const parsed p{args};
        SCOPED_TRACE(testing::PrintToString(c.args));
        ASSERT_EQ(parse_outcome::proceed, p.outcome) << p.err;
        EXPECT_EQ(c.plugins, plugins(p.settings));
    }
}

TEST(CommandLine, NamesItselfKelvoWithoutArgvZero) {
    char* argv[] = {nullptr};
    run_settings settings;
    testing::internal::CaptureStderr();
    EXPECT_EQ(parse_outcome::stop_failure, parse_command_line(0, argv, settings));
    EXPECT_EQ("kelvo: error: no input file specified\n", testing::internal::GetCapturedStderr());
    EXPECT_STREQ("kelvo", program_name());
}

TEST(CommandLine, TakesOptionArgumentsAsTheyStand) {
    const parsed p{{"--timing", "-i", "-o", "--timing", "-o", "", "-n", "-1", "--normalize",
                    "--normalize", "--with-latency", "--with-latency", "", "-c", "gain:0.5"},
                   "./kelvo"};
    ASSERT_EQ(parse_outcome::proceed, p.outcome);
    EXPECT_EQ("", p.out + p.err);
    EXPECT_STREQ("./kelvo", program_name());
    EXPECT_STREQ("-o", p.settings.input_path);
    EXPECT_STREQ("", p.settings.output_path);
    ASSERT_EQ(1u, p.settings.plugins.size());
    EXPECT_STREQ("", p.settings.plugins[0].uri);
    EXPECT_EQ(18446744073709551615u, p.settings.block_frames);
    EXPECT_TRUE(p.settings.timing);
    EXPECT_TRUE(p.settings.normalize);
    EXPECT_FALSE(p.settings.latency_compensation);
    const assignment_list& assignments = p.settings.plugins[0].assignments;
    ASSERT_EQ(1u, assignments.size());
    EXPECT_STREQ("gain", assignments[0].symbol);
    EXPECT_EQ(0.5f, assignments[0].value);

    const parsed blanks{{"-n", " 7", "-i", "a", "-o", "b", "urn:x"}};
    ASSERT_EQ(parse_outcome::proceed, blanks.outcome);
    EXPECT_EQ(7u, blanks.settings.block_frames);
    EXPECT_TRUE(blanks.settings.latency_compensation);
}

TEST(CommandLine, HelpAlignsTheOptionsUnderTheirColumn) {
    const struct {
        const char* name;
        size_t spaces;  // before "-h|--help" and "--version"
    } cases[] = {{"", 9}, {"k", 9}, {"kelvo", 13}, {"/usr/local/bin/kelvo", 28}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const parsed p{{"-h"}, c.name};
        const std::string pad(c.spaces, ' ');
        const size_t second_line = p.out.find('\n') + 1;
        EXPECT_EQ(second_line, p.out.find(pad + "-h|--help\n" + pad + "--version\nCommand"));
        if (c.name[0] != '\0') {
            EXPECT_EQ(p.out.find("[options]"), p.out.find("-h|--help") - second_line);
        }
    }
}

TEST(ParseCNumber, ReadsFloatsAsStrtofDoesAndKeepsErrno) {
    const struct {
        const char* text;
        bool ok;
        float value;  // compared only when ok
        int err;      // errno afterwards; EDOM is what the caller had set
    } cases[] = {
        {"1.5", true, 1.5f, EDOM},       {"", true, 0, EDOM},
        {"0x1p-2", true, 0.25f, EDOM},   {"inf", true, INFINITY, EDOM},
        {"-inf", true, -INFINITY, EDOM}, {"nan", true, NAN, EDOM},
        {" 2", true, 2, EDOM},           {"1,5", false, 0, EDOM},
        {"1.5 ", false, 0, EDOM},        {"1e39", false, 0, ERANGE},
    };
    // Any locale other than "C" shows whether the parse puts the caller's one back.
    ASSERT_NE(nullptr, std::setlocale(LC_NUMERIC, "C.UTF-8"));
    const std::string locale = std::setlocale(LC_NUMERIC, nullptr);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        float value = -7;
        errno = EDOM;
        EXPECT_EQ(c.ok, parse_c_number(c.text, value));
        EXPECT_EQ(c.err, errno);
        EXPECT_TRUE(!c.ok || (std::isnan(c.value) ? std::isnan(value) : c.value == value))
            << value;
        EXPECT_EQ(locale, std::setlocale(LC_NUMERIC, nullptr));
    }
    std::setlocale(LC_NUMERIC, "C");
}

TEST(ParseCNumber, IgnoresADecimalCommaLocale) {
    const char* found = nullptr;
    const auto find = [&] {
        for (const char* name : {"de_DE.UTF-8", "fr_FR.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8"}) {
            if (std::setlocale(LC_NUMERIC, name) && std::localeconv()->decimal_point[0] == ',') {
                found = name;
                return;
            }
        }
    };
    find();
    // A machine without such a locale installed uses the one the build makes.
    if (!found) {
        setenv("LOCPATH", KELVO_TEST_LOCPATH, 1);
        find();
    }
    ASSERT_TRUE(found) << "no locale with a decimal comma, not even in " KELVO_TEST_LOCPATH;
    const std::string locale = std::setlocale(LC_NUMERIC, nullptr);
    float value = 0;
    EXPECT_TRUE(parse_c_number("1.5", value));
    EXPECT_EQ(1.5f, value);
    EXPECT_FALSE(parse_c_number("1,5", value));
    EXPECT_EQ(locale, std::setlocale(LC_NUMERIC, nullptr));
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
}

TEST(Assignments, RefusesMalformedArguments) {
    const struct {
        const char* arg;
        const char* err;
    } cases[] = {
        {"gain", "kelvo: error: invalid <port>:<value> argument\n"},
        {":1", "kelvo: error: invalid port identifier ''\n"},
        {"2x:1", "kelvo: error: invalid port identifier '2x'\n"},
        {"a-b:1", "kelvo: error: invalid port identifier 'a-b'\n"},
        {"gain:1,5", "kelvo: error: invalid value for port 'gain'\n"},
        {"a:b:c", "kelvo: error: invalid value for port 'a'\n"},
        {"gain:1e39", "kelvo: error: invalid value for port 'gain'\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arg);
        std::string text = c.arg;
        assignment_list list;
        testing::internal::CaptureStderr();
        EXPECT_FALSE(add_assignment(list, text.data()));
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        EXPECT_TRUE(list.empty());
    }
}

TEST(Assignments, KeepsOneEntryPerPortAndRefusesADifferentValue) {
    const char* const different =
        "kelvo: error: a different value for port 'gain' was already specified\n";
    const struct {
        const char* first;
        const char* second;
        const char* err;
        size_t entries;
        float value;  // of the first entry: the value given first stays
    } cases[] = {
        {"gain:0.5", "gain:0.5", "", 1, 0.5f},   {"gain:0.5", "gain:0.25", different, 1, 0.5f},
        {"gain:0", "gain:-0", "", 1, 0.0f},      {"gain:nan", "gain:nan", different, 1, NAN},
        {"gain:0.5", "gai:0.25", "", 2, 0.5f},   {"gain:", "_Gain9:1", "", 2, 0.0f},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.first) + " " + c.second);
        std::string first = c.first;
        std::string second = c.second;
        assignment_list list;
        EXPECT_EQ(nullptr, find_assignment(list, "gain"));
        testing::internal::CaptureStderr();
        EXPECT_TRUE(add_assignment(list, first.data()));
        EXPECT_EQ(c.err[0] == '\0', add_assignment(list, second.data()));
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        ASSERT_EQ(c.entries, list.size());
        const float v = list[0].value;
        EXPECT_TRUE(std::isnan(c.value) ? std::isnan(v) : c.value == v && !std::signbit(v)) << v;
        // The symbol is the argument itself, cut at its colon.
        EXPECT_EQ(first.data(), list[0].symbol);
        EXPECT_STREQ("gain", list[0].symbol);
        EXPECT_EQ(&list[0], find_assignment(list, "gain"));
        EXPECT_EQ(nullptr, find_assignment(list, "gai_"));
    }
}

// The crash line names the plugin whose code was running, by its position in the run, and is
// not printed for a crash elsewhere; every signal removes the temporary output and ends the
// process by itself.
TEST(SignalGuard, EndsTheProcessBySignalSayingWhichPluginCrashed) {
    char folder[] = "/tmp/kelvo-guard-XXXXXX";
    ASSERT_TRUE(mkdtemp(folder));
    const std::string temporary = std::string(folder) + "/.out.wav.kelvo-abcdef";
    const struct {
        int signal;
        std::sig_atomic_t position;
        bool in_place;
        const char* line;  // a regular expression for all of standard error
    } cases[] = {
        {SIGSEGV, 2, false,
         "^kelvo: error: plugin 2 \\(http://b\\): the plugin crashed \\(Segmentation "
         "fault\\); nothing was written\n$"},
        {SIGFPE, 1, false,
         "^kelvo: error: plugin 1 \\(http://a\\): the plugin crashed \\(Floating point "
         "exception\\); nothing was written\n$"},
        {SIGBUS, 1, true, "^kelvo: error: plugin 1 \\(http://a\\): the plugin crashed \\(Bus error\\)\n$"},
        {SIGSEGV, 0, false, "^$"},
        {SIGINT, 2, false, "^$"},
    };
    const std::string prefixes[] = {"plugin 1 (http://a): ", "plugin 2 (http://b): "};
    for (const auto& c : cases) {
        SCOPED_TRACE(strsignal(c.signal));
        std::FILE* f = std::fopen(temporary.c_str(), "w");
        ASSERT_TRUE(f);
        std::fclose(f);
        EXPECT_EXIT(
            {
                plugin_watch watch;
                signal_guard guard;
                guard.install("kelvo", watch, 2, [&](size_t k) { return prefixes[k - 1]; });
                guard.watch_output(c.in_place ? nullptr : temporary.c_str(), c.in_place);
                watch.current = c.position;
                std::raise(c.signal);
            },
            testing::KilledBySignal(c.signal), c.line);
        EXPECT_EQ(c.in_place, access(temporary.c_str(), F_OK) == 0);
        unlink(temporary.c_str());
    }
    rmdir(folder);
}
