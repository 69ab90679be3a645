// Runs the built kelvo-info against the test bundle: its list, its descriptions, their JSON
// under a strict parser, and the command lines it offers, run with kelvo itself.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kelvo::test {
namespace {

// The test plugin whose URI and names hold quotes, backslashes, control characters and
// characters beyond ASCII.
const std::string odd_uri = test_uri("odd'\"\\\t\u00e9\u20ac");
constexpr char odd_name[] =
    "odd 'single' \"double\" back\\slash\ttab\nnewline\x01\u0085 \u00e9\u20ac\U0001F600";

result run_info(const std::vector<std::string>& args, run_options o = info_options()) {
    return run_kelvo(args, o);
}

std::vector<std::string> split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string part;
    std::istringstream in{text};
    while (std::getline(in, part, separator))
        parts.push_back(part);
    return parts;
}

// Parses `document` with Python's json module as strictly as it goes: one UTF-8 document,
// no NaN or Infinity, no repeated key. Then evaluates each expression with the document as
// `d` and returns the values as text; a parse error fails the test.
std::vector<std::string> strict_json(const std::string& document,
                                     const std::vector<std::string>& expressions) {
    static constexpr char script[] = R"(
import json, re, sys
def no_constant(name):
    raise ValueError('not a JSON number: ' + name)
def unique_keys(pairs):
    if len({k for k, _ in pairs}) != len(pairs):
        raise ValueError('repeated key')
    return dict(pairs)
def clean(s):
    return re.sub('[\x00-\x1f\x7f-\x9f]', ' ', s)
d = json.loads(sys.stdin.buffer.read().decode('utf-8'), parse_constant=no_constant,
               object_pairs_hook=unique_keys)
for e in sys.argv[1:]:
    sys.stdout.buffer.write(str(eval(e)).encode('utf-8') + b'\0')
)";
    const temp_dir dir;
    {
        std::ofstream{dir / "document.json", std::ios::binary} << document;
    }
    run_options o;
    o.program = "python3";
    o.wrapper = {"env"};  // found through PATH, and never run under valgrind
    o.stdin_path = dir / "document.json";
    std::vector<std::string> args{"-c", script};
    args.insert(args.end(), expressions.begin(), expressions.end());
    const result r = run_kelvo(args, o);
    EXPECT_EQ(0, r.status) << r.err;
    std::vector<std::string> values;
    std::string value;
    for (const char c : r.out) {
        if (c == '\0')
            values.push_back(std::exchange(value, {}));
        else
            value += c;
    }
    values.resize(expressions.size());
    return values;
}

// Checks each (expression, value) pair against the document.
void expect_json(const std::string& document,
                 const std::vector<std::pair<std::string, std::string>>& checks) {
    ASSERT_FALSE(document.empty());
    EXPECT_EQ('\n', document.back());
    std::vector<std::string> expressions;
    for (const auto& c : checks)
        expressions.push_back(c.first);
    const std::vector<std::string> values = strict_json(document, expressions);
    for (size_t i = 0; i < checks.size(); ++i)
        EXPECT_EQ(checks[i].second, values[i]) << checks[i].first;
}

TEST(Info, ListsEveryPluginOnALineOfItsOwn) {
    const result r = run_info({});
    ASSERT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    const std::vector<std::string> lines = split(r.out, '\n');
    const std::string expected[] = {
        test_uri("amp") + "\tkelvo test amp\t1/1\tyes",
        test_uri("stereo") + "\tkelvo test stereo\t2/2\tyes",
        test_uri("mono_to_stereo") + "\tkelvo test mono to stereo\t1/2\tyes",
        test_uri("optional_input") + "\tkelvo test optional input\t2/2\tyes",
        test_uri("only_optional_input") + "\tkelvo test only optional input\t1/1\tyes",
        test_uri("needs_feature") +
            "\tkelvo test needs feature\t1/1\tno: the plugin requires features that this "
            "program does not support, sorry",
        test_uri("midi_first") + "\tkelvo test MIDI port first\t1/1\tyes",
        test_uri("event_port") +
            "\tkelvo test event port\t1/1\tno: port 'midi' has a port type this program does "
            "not understand",
        test_uri("duplicate_index") +
            "\tkelvo test duplicate index\t0/0\tno: plugin '" + test_uri("duplicate_index") +
            "' has a broken description: two ports have the lv2:index 0",
        test_uri("no_audio_in") +
            "\tkelvo test no audio input\t0/1\tno: the plugin has no audio in ports",
        test_uri("no_audio_out") +
            "\tkelvo test no audio output\t1/0\tno: the plugin has no audio out ports",
        test_uri("only_optional_output") +
            "\tkelvo test only optional output\t1/0\tno: the plugin has no audio out ports",
        test_uri("no_ports") + "\tkelvo test no ports\t0/0\tno: the plugin has no audio in ports",
        // Control characters print as spaces, so the line keeps its four fields.
        test_uri("odd'\"\\ \u00e9\u20ac") +
            "\todd 'single' \"double\" back\\slash tab newline   \u00e9\u20ac\U0001F600\t1/1\tyes",
    };
    for (const std::string& line : expected) {
        SCOPED_TRACE(line);
        EXPECT_EQ(1, std::count(lines.begin(), lines.end(), line));
    }
    std::vector<std::string> uris;
    for (const std::string& line : lines) {
        SCOPED_TRACE(line);
        const std::vector<std::string> fields = split(line, '\t');
        ASSERT_EQ(4u, fields.size());
        uris.push_back(fields[0]);
    }
    EXPECT_TRUE(std::is_sorted(uris.begin(), uris.end()));
    // Every plugin the bundle's manifest declares, and nothing else.
    const std::string manifest = read_file(KELVO_TEST_LV2_PATH "/kelvo-test.lv2/manifest.ttl");
    size_t declared = 0;
    for (size_t at = 0; (at = manifest.find(" a lv2:Plugin ;", at)) != std::string::npos; ++at)
        ++declared;
    EXPECT_EQ(declared, uris.size());
}

// Each verdict against what kelvo itself says about the plugin. Without any -c, a plugin
// kelvo accepts gets as far as the missing input file.
TEST(Info, VerdictsAreKelvosOwnWords) {
    const result list = run_info({});
    ASSERT_EQ(0, list.status);
    for (const std::string& line : split(list.out, '\n')) {
        const std::vector<std::string> fields = split(line, '\t');
        ASSERT_EQ(4u, fields.size()) << line;
        if (fields[0].find(' ') != std::string::npos)
            continue;  // a URI with a control character, printed with a space instead
        SCOPED_TRACE(line);
        const result r = run_kelvo({"-i", "/nonexistent/in.wav", "-o", "out.wav", fields[0]});
        EXPECT_EQ(1, r.status);
        if (fields[3] == "yes") {
            EXPECT_EQ("kelvo: error: could not open input file: System error : No such file or "
                      "directory.\n",
                      r.err);
        } else {
            ASSERT_EQ(0u, fields[3].find("no: "));
            EXPECT_EQ("kelvo: error: " + fields[3].substr(4) + "\n", r.err);
        }
    }
}

TEST(Info, ListsInJsonWhatItListsInText) {
    const result text = run_info({});
    const result json = run_info({"--json"});
    ASSERT_EQ(0, json.status);
    EXPECT_EQ("", json.err);
    const std::string odd = "[p for p in d['plugins'] if p['uri'].startswith('" +
                            test_uri("odd") + "')][0]";
    expect_json(json.out,
                {
                    {"list(d)", "['plugins']"},
                    {"all(list(p) == ['uri', 'name', 'audio_inputs', 'audio_outputs', "
                     "'runnable', 'reason'] and (p['reason'] is None) == p['runnable'] "
                     "for p in d['plugins'])",
                     "True"},
                    {"''.join('\\t'.join([clean(p['uri']), clean(p['name']), "
                     "'%d/%d' % (p['audio_inputs'], p['audio_outputs']), "
                     "'yes' if p['runnable'] else 'no: ' + p['reason']]) + '\\n' "
                     "for p in d['plugins'])",
                     text.out},
                    {odd + "['uri']", odd_uri},
                    {odd + "['name']", odd_name},
                });
}

TEST(Info, ListsNothingForAWorldWithoutPlugins) {
    const struct {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {{{}, ""}, {{"--json"}, "{\"plugins\":[]}\n"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        run_options o = info_options();
        o.lv2_path = "/nonexistent";
        const result r = run_info(c.args, o);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST(Info, DescribesAPluginPortByPort) {
    const struct {
        const char* plugin;
        const char* out;
    } cases[] = {
        {"controls",
         "Name: kelvo test controls\n"
         "URI: http://kelvo.test/plugins/controls\n"
         "Required features: none\n"
         "Optional features: http://lv2plug.in/ns/lv2core#hardRTCapable\n"
         "Ports:\n"
         "  0 in \"In\": audio input\n"
         "  1 out \"Out\": audio output\n"
         "  2 with_default \"With default\": control input, default 440, minimum 20, "
         "maximum 880\n"
         "  3 min_only \"Minimum only\": control input, minimum 0.5\n"
         "  4 max_only \"Maximum only\": control input, maximum 7\n"
         "  5 bare \"Bare\": control input\n"
         "  6 rate_bound \"Rate bound\": control input, default 0.25, minimum 0, maximum 0.5, "
         "bounds scale with the sample rate\n"
         "  7 optional_knob \"Optional knob\": control input, optional, default 3, minimum 0, "
         "maximum 10\n"
         "  8 both_bounds \"Both bounds\": control input, minimum -1, maximum 1\n"
         "Input channels: 1\n"
         "Output channels: 1\n"
         "Other input channels: any number, an instance per channel with 1 output channel each\n"
         "Runnable: yes\n"
         "Command: kelvo -i input.wav -o output.wav -c with_default:440 -c min_only:0.5 "
         "-c max_only:7 -c bare:0 -c rate_bound:12000 -c optional_knob:3 -c both_bounds:-1 "
         "http://kelvo.test/plugins/controls\n"},
        {"two_latency",
         "Name: kelvo test two latency ports\n"
         "URI: http://kelvo.test/plugins/two_latency\n"
         "Required features: none\n"
         "Optional features: http://lv2plug.in/ns/lv2core#hardRTCapable\n"
         "Ports:\n"
         "  0 in \"In\": audio input\n"
         "  1 out \"Out\": audio output\n"
         "  2 first \"First latency\": control output, reports latency\n"
         "  3 second \"Second latency\": control output, optional, reports latency\n"
         "Input channels: 1\n"
         "Output channels: 1\n"
         "Other input channels: any number, an instance per channel with 1 output channel each\n"
         "Runnable: yes\n"
         "Command: kelvo -i input.wav -o output.wav http://kelvo.test/plugins/two_latency\n"},
        {"optional_input",
         "Name: kelvo test optional input\n"
         "URI: http://kelvo.test/plugins/optional_input\n"
         "Required features: none\n"
         "Optional features: http://lv2plug.in/ns/lv2core#hardRTCapable\n"
         "Ports:\n"
         "  0 in \"In\": audio input\n"
         "  1 side \"Side\": audio input, optional\n"
         "  2 out \"Out\": audio output\n"
         "  3 side_out \"Side out\": audio output\n"
         "Input channels: 1 to 2\n"
         "Output channels: 2\n"
         "Runnable: yes\n"
         "Command: kelvo -i input.wav -o output.wav http://kelvo.test/plugins/optional_input\n"},
        {"needs_feature",
         "Name: kelvo test needs feature\n"
         "URI: http://kelvo.test/plugins/needs_feature\n"
         "Required features: http://lv2plug.in/ns/ext/instance-access\n"
         "Optional features: http://lv2plug.in/ns/lv2core#hardRTCapable\n"
         "Required features not offered: http://lv2plug.in/ns/ext/instance-access\n"
         "Ports:\n"
         "  0 in \"In\": audio input\n"
         "  1 out \"Out\": audio output\n"
         "Input channels: 1\n"
         "Output channels: 1\n"
         "Other input channels: any number, an instance per channel with 1 output channel each\n"
         "Runnable: no: the plugin requires features that this program does not support, "
         "sorry\n"
         "Command: kelvo -i input.wav -o output.wav http://kelvo.test/plugins/needs_feature\n"},
        {"audio_nodir",
         "Name: kelvo test audio port without direction\n"
         "URI: http://kelvo.test/plugins/audio_nodir\n"
         "Required features: none\n"
         "Optional features: http://lv2plug.in/ns/lv2core#hardRTCapable\n"
         "Ports:\n"
         "  0 in \"In\": audio input\n"
         "  1 out \"Out\": audio output\n"
         "  2 floating \"Floating\": audio, no direction\n"
         "Input channels: 1\n"
         "Output channels: 1\n"
         "Other input channels: any number, an instance per channel with 1 output channel each\n"
         "Runnable: no: port 'floating' has a port type this program does not understand\n"
         "Command: kelvo -i input.wav -o output.wav http://kelvo.test/plugins/audio_nodir\n"},
        {"midi_first",
         "Name: kelvo test MIDI port first\n"
         "URI: http://kelvo.test/plugins/midi_first\n"
         "Required features: none\n"
         "Optional features: http://lv2plug.in/ns/lv2core#hardRTCapable\n"
         "Ports:\n"
         "  0 midi_in \"MIDI in\": atom input\n"
         "  1 in \"In\": audio input\n"
         "  2 out \"Out\": audio output\n"
         "Input channels: 1\n"
         "Output channels: 1\n"
         "Other input channels: any number, an instance per channel with 1 output channel each\n"
         "Runnable: yes\n"
         "Command: kelvo -i input.wav -o output.wav http://kelvo.test/plugins/midi_first\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        const result r = run_info({test_uri(c.plugin)});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST(Info, PrintsControlCharactersAsSpacesAndQuotesTheCommandForTheShell) {
    const result r = run_info({odd_uri});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    EXPECT_EQ(
        "Name: odd 'single' \"double\" back\\slash tab newline   \u00e9\u20ac\U0001F600\n"
        "URI: http://kelvo.test/plugins/odd'\"\\ \u00e9\u20ac\n"
        "Required features: none\n"
        "Optional features: http://lv2plug.in/ns/lv2core#hardRTCapable\n"
        "Ports:\n"
        "  0 in \"In \"left\" and \\right\\\": audio input\n"
        "  1 out \"Out \u00fc \": audio output\n"
        "  2 level \"Level\": control input, default -6.5, minimum -90, maximum 6, "
        "unit http://lv2plug.in/ns/extensions/units#db\n"
        "  3 time \"Time\": control input, default 0.001, unit s\"ec\u00b7\n"
        "  4 unnamed_unit \"Unnamed unit\": control input\n"
        "  5 huge \"Huge\": control input, default inf, minimum -inf\n"
        "Input channels: 1\n"
        "Output channels: 1\n"
        "Other input channels: any number, an instance per channel with 1 output channel each\n"
        "Runnable: yes\n"
        "Command: kelvo -i input.wav -o output.wav -c level:-6.5 -c time:0.001 "
        "-c unnamed_unit:0 -c huge:inf "
        "$'http://kelvo.test/plugins/odd\\'\"\\\\\\x09\u00e9\u20ac'\n",
        r.out);
}

TEST(Info, NamesAUnitByItsSymbolWhenTheWorldKnowsIt) {
    run_options o = info_options();
    o.lv2_path = std::string(KELVO_TEST_LV2_PATH) + ":/usr/lib/lv2";  // units.lv2 is there
    const result r = run_info({odd_uri}, o);
    EXPECT_EQ(0, r.status);
    EXPECT_NE(std::string::npos,
              r.out.find("  2 level \"Level\": control input, default -6.5, minimum -90, "
                         "maximum 6, unit dB\n"));
}

TEST(Info, DescribesAPluginInJson) {
    const std::string port_keys =
        "['index', 'symbol', 'name', 'type', 'direction', 'optional', 'default', 'minimum', "
        "'maximum', 'sample_rate', 'reports_latency', 'unit']";
    const struct {
        std::string uri;
        std::vector<std::pair<std::string, std::string>> checks;
    } cases[] = {
        {test_uri("controls"),
         {
             {"list(d)",
              "['uri', 'name', 'required_features', 'optional_features', 'unsupported_features', 'ports', "
              "'input_channels', 'output_channels', 'instance_per_input_group', "
              "'mono_to_all_inputs', 'runnable', 'reason', 'command', 'presets']"},
             {"all(str(list(p)) == \"" + port_keys + "\" for p in d['ports'])", "True"},
             {"d['uri'], d['name']",
              "('http://kelvo.test/plugins/controls', 'kelvo test controls')"},
             {"d['required_features'], d['optional_features']",
              "([], ['http://lv2plug.in/ns/lv2core#hardRTCapable'])"},
             {"[p['index'] for p in d['ports']]", "[0, 1, 2, 3, 4, 5, 6, 7, 8]"},
             {"d['ports'][0]",
              "{'index': 0, 'symbol': 'in', 'name': 'In', 'type': 'audio', "
              "'direction': 'input', 'optional': False, 'default': None, 'minimum': None, "
              "'maximum': None, 'sample_rate': False, 'reports_latency': False, 'unit': None}"},
             {"d['ports'][6]",
              "{'index': 6, 'symbol': 'rate_bound', 'name': 'Rate bound', 'type': 'control', "
              "'direction': 'input', 'optional': False, 'default': 0.25, 'minimum': 0, "
              "'maximum': 0.5, 'sample_rate': True, 'reports_latency': False, 'unit': None}"},
             {"[(p['optional'], p['default'], p['minimum'], p['maximum']) for p in d['ports'][2:]]",
              "[(False, 440, 20, 880), (False, None, 0.5, None), (False, None, None, 7), "
              "(False, None, None, None), (False, 0.25, 0, 0.5), (True, 3, 0, 10), "
              "(False, None, -1, 1)]"},
             {"d['input_channels'], d['output_channels'], d['runnable'], d['reason']",
              "({'minimum': 1, 'maximum': 1}, 1, True, None)"},
             {"d['command']",
              "kelvo -i input.wav -o output.wav -c with_default:440 -c min_only:0.5 "
              "-c max_only:7 -c bare:0 -c rate_bound:12000 -c optional_knob:3 "
              "-c both_bounds:-1 http://kelvo.test/plugins/controls"},
         }},
        {test_uri("needs_feature"),
         {
             {"d['required_features'], d['unsupported_features']",
              "(['http://lv2plug.in/ns/ext/instance-access'], "
              "['http://lv2plug.in/ns/ext/instance-access'])"},
             {"d['runnable'], d['reason']",
              "(False, 'the plugin requires features that this program does not support, "
              "sorry')"},
         }},
        {test_uri("two_latency"),
         {
             {"[(p['direction'], p['optional'], p['reports_latency']) for p in d['ports']]",
              "[('input', False, False), ('output', False, False), ('output', False, True), "
              "('output', True, True)]"},
         }},
        {test_uri("optional_input"),
         {
             {"d['input_channels'], d['output_channels']", "({'minimum': 1, 'maximum': 2}, 2)"},
             {"d['instance_per_input_group'], d['mono_to_all_inputs']", "(False, False)"},
         }},
        {test_uri("stereo"),
         {
             {"d['instance_per_input_group'], d['mono_to_all_inputs']", "(True, True)"},
             {"d['presets']",
              "[{'label': 'Stereo half', 'uri': 'http://kelvo.test/presets#stereo_half', "
              "'command': \"kelvo -i input.wav -o output.wav -p 'Stereo half' "
              "http://kelvo.test/plugins/stereo\"}]"},
         }},
        {test_uri("audio_nodir"),
         {
             {"d['ports'][2]['type'], d['ports'][2]['direction']", "('audio', None)"},
             {"d['reason']", "port 'floating' has a port type this program does not understand"},
         }},
        {test_uri("midi_first"),
         {
             {"d['ports'][0]['type'], d['ports'][0]['direction']", "('atom', 'input')"},
         }},
        {test_uri("atom_cv"),
         {
             {"[p['type'] for p in d['ports']]",
              "['audio', 'audio', 'atom', 'atom', 'CV', 'CV']"},
             {"d['command']", "kelvo -i input.wav -o output.wav -c cv_in:0.5 " + test_uri("atom_cv")},
         }},
        {odd_uri,
         {
             {"d['uri']", odd_uri},
             {"d['name']", odd_name},
             {"d['ports'][0]['name']", "In \"left\"\tand \\right\\"},
             {"d['ports'][1]['name']", "Out \u00fc\a"},
             {"[p['unit'] for p in d['ports'][2:]]",
              "['http://lv2plug.in/ns/extensions/units#db', 's\"ec\u00b7', None, None]"},
             {"d['ports'][3]['default']", "0.001"},
             // Beyond a float's range: infinite, so null.
             {"d['ports'][5]['default'], d['ports'][5]['minimum']", "(None, None)"},
             {"d['command']",
              "kelvo -i input.wav -o output.wav -c level:-6.5 -c time:0.001 -c unnamed_unit:0 "
              "-c huge:inf $'http://kelvo.test/plugins/odd\\'\"\\\\\\x09\u00e9\u20ac'"},
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        const result r = run_info({"--json", c.uri});
        EXPECT_EQ(0, r.status);
        EXPECT_EQ("", r.err);
        expect_json(r.out, c.checks);
    }
}

// The command line offered, pasted into a shell as it is, in a folder that holds input.wav.
TEST(Info, OffersACommandLineThatKelvoRuns) {
    const std::string kelvo = KELVO_PATH;
    const std::string kelvo_dir = kelvo.substr(0, kelvo.rfind('/'));
    const struct {
        std::string uri;
        int channels;
        int outputs;
        const char* log;  // what the controls plugin records of its control values
    } cases[] = {
        {test_uri("amp"), 1, 1, ""},
        {test_uri("stereo"), 2, 2, ""},
        {test_uri("mono_to_stereo"), 1, 2, ""},
        {test_uri("optional_input"), 1, 2, ""},
        {test_uri("delay"), 1, 1, ""},
        {test_uri("changing_latency"), 1, 1, ""},
        {odd_uri, 1, 1, ""},
        {test_uri("controls"), 1, 1,
         "control with_default 440\n"
         "control min_only 0.5\n"
         "control max_only 7\n"
         "control bare 0\n"
         "control rate_bound 12000\n"
         "control optional_knob 3\n"
         "control both_bounds -1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.uri);
        const result info = run_info({c.uri});
        ASSERT_EQ(0, info.status);
        const size_t at = info.out.find("\nCommand: ");
        ASSERT_NE(std::string::npos, at);
        const std::string command = info.out.substr(at + 10, info.out.size() - at - 11);

        const temp_dir dir;
        const sound in = numbered_sound(c.channels, 1000);
        write_sound(dir / "input.wav", in);
        run_options o;
        o.wrapper = {"bash", "-c", "cd \"$KELVO_TEST_DIR\" && " + command};
        o.program = "bash";  // becomes $0 of the command, which ignores it
        o.env = {{"KELVO_TEST_DIR", dir.path()},
                 {"PATH", kelvo_dir + ":/usr/bin:/bin"},
                 {"KELVO_TEST_LOG", dir / "log"}};
        const result r = run_kelvo({}, o);
        EXPECT_EQ(0, r.status) << command;
        EXPECT_EQ("", r.err);
        const sound out = read_sound(dir / "output.wav");
        EXPECT_EQ(c.outputs, out.channels);
        EXPECT_EQ(in.frames(), out.frames());
        std::string log;
        for (const std::string& line : split(read_file(dir / "log"), '\n')) {
            if (line.rfind("control ", 0) == 0)
                log += line + "\n";
        }
        EXPECT_EQ(c.log, log);
    }
}

TEST(Info, ReportsErrorsLikeKelvo) {
    const struct {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"--bogus"}, "kelvo-info: error: unknown command line option '--bogus'\n"},
        {{"-"}, "kelvo-info: error: unknown command line option '-'\n"},
        {{"--json", "-j"}, "kelvo-info: error: unknown command line option '-j'\n"},
        {{test_uri("amp"), test_uri("stereo")},
         "kelvo-info: error: plugin URI specified more than once\n"},
        {{"--json", test_uri("missing")},
         "kelvo-info: error: plugin 'http://kelvo.test/plugins/missing' not found\n"},
        {{"in.wav"}, "kelvo-info: error: plugin 'in.wav' not found\n"},
        {{""}, "kelvo-info: error: plugin '' not found\n"},
        {{"http://kelvo.test/plugins/AMP"},
         "kelvo-info: error: plugin 'http://kelvo.test/plugins/AMP' not found\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        const result r = run_info(c.args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(c.err, r.err);
    }
}

TEST(Info, ReportsAFailedWorldAndAFailedWrite) {
    const struct {
        const char* what;
        bool no_world;
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {"no world", true, {}, "kelvo-info: error: could not initialize Lilv\n"},
        {"full disk, list", false, {},
         "kelvo-info: error: could not write standard output: No space left on device\n"},
        {"full disk, description", false, {"--json", test_uri("amp")},
         "kelvo-info: error: could not write standard output: No space left on device\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        run_options o = info_options();
        if (c.no_world) {
            o.library_faults = true;
            o.env = {{"KELVO_TEST_NO_LILV_WORLD", "1"}};
        } else {
            o.wrapper = {"bash", "-c", "exec -a kelvo-info \"$0\" \"$@\" >/dev/full"};
        }
        const result r = run_info(c.args, o);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.err, r.err);
    }
}

constexpr char info_help_text[] =
    "Usage: kelvo-info [--json] [plugin]\n"
    "       kelvo-info -h|--help\n"
    "       kelvo-info --version\n"
    "\n"
    "Lists the installed LV2 plugins, or describes the plugin with the URI given.\n"
    "\n"
    "  -h, --help         Display this information\n"
    "  --version          Display version information\n"
    "  --json             Print one JSON document instead of text\n";

constexpr char info_version_text[] =
    "kelvo-info 0.1.0\n"
    "Copyright 2026 The kelvo authors\n";

TEST(Info, HelpAndVersionWinOverEverythingElse) {
    const struct {
        std::vector<std::string> args;
        const char* out;
    } cases[] = {
        {{"-h"}, info_help_text},
        {{"--help"}, info_help_text},
        {{"--bogus", "a", "b", "-h"}, info_help_text},
        {{"--version", "--help"}, info_help_text},
        {{"--version"}, info_version_text},
        {{test_uri("missing"), "--json", "--version"}, info_version_text},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.back());
        const result r = run_info(c.args);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.out, r.out);
        EXPECT_EQ("", r.err);
    }
}

TEST(Info, NamesItselfByArgv0AsPassed) {
    run_options o = info_options();
    o.argv0 = "./bin/kelvo-info-dev";
    result r = run_info({"--help"}, o);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.out.find("Usage: ./bin/kelvo-info-dev [--json] [plugin]\n"
                             "       ./bin/kelvo-info-dev -h|--help\n"
                             "       ./bin/kelvo-info-dev --version\n\n"));
    r = run_info({"--what"}, o);
    EXPECT_EQ("./bin/kelvo-info-dev: error: unknown command line option '--what'\n", r.err);
}

struct allocation_count {
    unsigned long made = 0;  ///< allocations of the program's own code
    unsigned long live = 0;  ///< of those, never freed
};

allocation_count count_allocations(const std::string& log) {
    std::istringstream lines{log};
    std::map<unsigned long, bool> live;
    allocation_count count;
    char kind = 0;
    unsigned long id = 0;
    std::string rest;
    while (lines >> kind >> id && std::getline(lines, rest)) {
        count.made = std::max(count.made, id);
        if (kind == 'a')
            live[id] = true;
        else if (kind == 'f')
            live.erase(id);
    }
    count.live = live.size();
    return count;
}

TEST(Info, EveryFailedAllocationGivesOneErrorAndNoOutput) {
    const temp_dir dir;
    const std::vector<std::string> cases[] = {{}, {"--json"}, {"--json", odd_uri}, {odd_uri}};
    for (const auto& args : cases) {
        SCOPED_TRACE(testing::PrintToString(args));
        run_options o = info_options();
        o.program = KELVO_INFO_ALLOC_FAULT_PATH;
        o.env = {{"KELVO_ALLOCATION_LOG", dir / "log"}, {"KELVO_FAIL_ALLOCATION", "0"}};
        ASSERT_EQ(0, run_info(args, o).status);
        const allocation_count all = count_allocations(read_file(dir / "log"));
        EXPECT_EQ(0u, all.live);
        ASSERT_GT(all.made, 0u);
        for (unsigned long k = 1; k <= all.made; ++k) {
            SCOPED_TRACE("allocation " + std::to_string(k) + " of " + std::to_string(all.made));
            o.env[1].second = std::to_string(k);
            const result r = run_info(args, o);
            EXPECT_EQ(1, r.status);
            EXPECT_EQ("", r.out);
            EXPECT_EQ("kelvo-info: error: Cannot allocate memory\n", r.err);
            EXPECT_EQ(0u, count_allocations(read_file(dir / "log")).live);
        }
    }
}

}  // namespace
}  // namespace kelvo::test
