#include "host/plugin_host.h"
#include "host/port_binding.h"
#include "host/port_survey.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <string>
#include <vector>

using namespace kelvo;

namespace {

// Stand-ins for lilv's port handles: the survey only compares them.
int port_slots[3];
const LilvPort* fake_port(int i) { return reinterpret_cast<const LilvPort*>(&port_slots[i]); }

// What a row says about its port and run.
constexpr unsigned audio = 1, control = 2, in = 4, out = 8, opt = 16, lat = 32, assigned = 64,
                   no_compensation = 128;

std::array<uint32_t, 5> counts(const port_tally& t) {
    return {t.audio_inputs_all, t.audio_inputs_required, t.audio_outputs, t.control_inputs,
            t.control_outputs};
}

// The world of the test bundle alone, loaded once for every test that needs real plugins.
const plugin_host& test_bundle() {
    static const plugin_host host = [] {
        setenv("LV2_PATH", KELVO_TEST_LV2_PATH, 1);
        plugin_host h;
        open_world(h, "kelvo");
        return h;
    }();
    return host;
}

const LilvPlugin* test_plugin(const std::string& name) {
    const plugin_host& host = test_bundle();
    return find_plugin(host, ("http://kelvo.test/plugins/" + name).c_str(), "kelvo");
}

std::string symbol_of(const LilvPlugin* plugin, const LilvPort* port) {
    return port ? lilv_node_as_string(lilv_port_get_symbol(plugin, port)) : "";
}

}  // namespace

TEST(PortSurvey, ClassifiesEachKindOfPort) {
    using r = port_refusal;
    const struct {
        const char* what;
        unsigned flags;
        port_refusal refusal;
        std::array<uint32_t, 5> counts;  // inputs all, required, outputs, control in, out
        bool latency_port;
    } cases[] = {
        {"audio in", audio | in, r::none, {1, 1, 0, 0, 0}, false},
        {"optional audio in", audio | in | opt, r::none, {1, 0, 0, 0, 0}, false},
        {"assigned audio in", audio | in | assigned, r::assigned_audio_input, {}, false},
        {"audio out", audio | out, r::none, {0, 0, 1, 0, 0}, false},
        {"optional audio out", audio | out | opt, r::none, {}, false},
        {"assigned audio out", audio | out | assigned, r::assigned_audio_output, {}, false},
        {"audio, no direction", audio | assigned, r::unknown_type, {}, false},
        {"control in", control | in, r::none, {0, 0, 0, 1, 0}, false},
        {"optional control in", control | in | opt, r::none, {}, false},
        {"assigned control in", control | in | assigned, r::none, {0, 0, 0, 1, 0}, false},
        {"assigned optional control in", control | in | opt | assigned, r::none,
         {0, 0, 0, 1, 0}, false},
        {"control out", control | out, r::none, {0, 0, 0, 0, 1}, false},
        {"optional control out", control | out | opt, r::none, {}, false},
        {"latency", control | out | lat, r::none, {0, 0, 0, 0, 1}, true},
        {"optional latency", control | out | opt | lat, r::none, {0, 0, 0, 0, 1}, true},
        {"latency, no compensation", control | out | lat | no_compensation, r::none,
         {0, 0, 0, 0, 1}, false},
        {"optional latency, no compensation", control | out | opt | lat | no_compensation,
         r::none, {}, false},
        {"assigned latency", control | out | lat | assigned, r::assigned_control_output, {},
         false},
        {"control, no direction", control, r::unknown_type, {}, false},
        {"optional atom in", in | opt, r::unknown_type, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const LilvPort* const p = fake_port(0);
        const auto has = [&](unsigned flag) { return (c.flags & flag) != 0; };
        const port_facts facts{p, "x", has(audio), has(control), has(in), has(out), has(opt),
                               has(lat)};
        port_assignment assignment{"x", 1, nullptr};
        port_tally tally;
        EXPECT_EQ(c.refusal, tally_port(facts, has(assigned) ? &assignment : nullptr,
                                        !has(no_compensation), tally));
        EXPECT_EQ(c.counts, counts(tally));
        EXPECT_EQ(c.latency_port ? p : nullptr, tally.latency_port);
        EXPECT_EQ(has(assigned) && c.refusal == r::none ? p : nullptr, assignment.port);
    }
}

TEST(PortSurvey, WatchesTheLastOfSeveralLatencyReporters) {
    port_tally tally;
    for (int i = 0; i < 3; ++i) {
        const port_facts reporter{.port = fake_port(i), .control = true, .output = true,
                                  .optional = i == 1, .reports_latency = i != 1};
        EXPECT_EQ(port_refusal::none, tally_port(reporter, nullptr, true, tally));
    }
    EXPECT_EQ(fake_port(2), tally.latency_port);
    EXPECT_EQ(2u, tally.control_outputs);
}

TEST(PortSurvey, ReturnsTheTallyOrTheFirstRefusalOfARealPlugin) {
    using r = port_refusal;
    const struct {
        const char* plugin;
        std::vector<const char*> assigned;  // symbols given a value, in command-line order
        bool compensation;
        port_refusal refusal;
        const char* symbol;
        std::array<uint32_t, 5> counts;  // inputs all, required, outputs, control in, out
        const char* latency_port;
        const char* reason;
    } cases[] = {
        {"amp", {}, true, r::none, "", {1, 1, 1, 1, 0}, "", ""},
        {"amp", {"gain"}, true, r::none, "", {1, 1, 1, 1, 0}, "", ""},
        {"controls", {}, true, r::none, "", {1, 1, 1, 6, 0}, "", ""},
        {"controls", {"optional_knob"}, true, r::none, "", {1, 1, 1, 7, 0}, "", ""},
        {"optional_input", {}, true, r::none, "", {2, 1, 2, 0, 0}, "", ""},
        {"recorder", {}, true, r::none, "", {1, 1, 1, 1, 1}, "", ""},
        {"two_latency", {}, true, r::none, "", {1, 1, 1, 0, 2}, "second", ""},
        {"two_latency", {}, false, r::none, "", {1, 1, 1, 0, 1}, "", ""},
        // Features are not the survey's business.
        {"needs_feature", {}, true, r::none, "", {1, 1, 1, 0, 0}, "", ""},
        {"amp", {"in"}, true, r::assigned_audio_input, "in", {0, 0, 1, 1, 0}, "",
         "cannot assign a value to port 'in' (it is an audio in port)"},
        {"amp", {"out"}, true, r::assigned_audio_output, "out", {1, 1, 0, 1, 0}, "",
         "cannot assign a value to port 'out' (it is an audio out port)"},
        {"delay", {"reported"}, true, r::assigned_control_output, "reported", {1, 1, 1, 1, 0},
         "", "cannot assign a value to port 'reported' (it is a control out port)"},
        // The walk goes on past a refusal: the audio ports after it are counted too.
        {"midi_first", {}, true, r::unknown_type, "midi_in", {1, 1, 1, 0, 0}, "",
         "port 'midi_in' has a port type this program does not understand"},
        {"atom_port", {}, true, r::unknown_type, "events", {1, 1, 1, 0, 0}, "",
         "port 'events' has a port type this program does not understand"},
        {"optional_atom", {}, true, r::unknown_type, "notes", {1, 1, 1, 0, 0}, "",
         "port 'notes' has a port type this program does not understand"},
        {"control_nodir", {"knob"}, true, r::unknown_type, "knob", {1, 1, 1, 0, 0}, "",
         "port 'knob' has a port type this program does not understand"},
        {"amp", {"gain", "volume", "pan"}, true, r::port_not_found, "volume", {1, 1, 1, 1, 0},
         "", "port 'volume' not found"},
        {"no_audio_in", {"ghost"}, true, r::port_not_found, "ghost", {0, 0, 1, 1, 0}, "",
         "port 'ghost' not found"},
        {"no_audio_in", {}, true, r::no_audio_in, "", {0, 0, 1, 1, 0}, "",
         "the plugin has no audio in ports"},
        {"no_ports", {}, true, r::no_audio_in, "", {0, 0, 0, 0, 0}, "",
         "the plugin has no audio in ports"},
        {"no_audio_out", {}, true, r::no_audio_out, "", {1, 1, 0, 0, 1}, "",
         "the plugin has no audio out ports"},
        {"only_optional_output", {}, true, r::no_audio_out, "", {1, 1, 0, 0, 0}, "",
         "the plugin has no audio out ports"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plugin << " " << testing::PrintToString(c.assigned)
                                        << (c.compensation ? "" : " --with-latency"));
        const LilvPlugin* const plugin = test_plugin(c.plugin);
        ASSERT_NE(nullptr, plugin);
        assignment_list assignments;
        for (const char* symbol : c.assigned)
            assignments.push_back({symbol, 1, nullptr});
        const survey_result s =
            survey_ports(plugin, test_bundle().uris, assignments, c.compensation);
        EXPECT_EQ(c.refusal, s.refusal);
        EXPECT_STREQ(c.symbol, s.symbol);
        EXPECT_EQ(c.counts, counts(s.tally));
        EXPECT_EQ(c.latency_port, symbol_of(plugin, s.tally.latency_port));
        EXPECT_EQ(c.reason, refusal_reason(s));
        if (c.refusal == r::none) {
            for (const port_assignment& a : assignments)
                EXPECT_EQ(a.symbol, symbol_of(plugin, a.port));
        }

        testing::internal::CaptureStderr();
        port_tally kept;
        kept.control_inputs = 99;
        EXPECT_EQ(c.refusal == r::none, accept_survey(s, kept, "kelvo"));
        const std::string err = testing::internal::GetCapturedStderr();
        if (c.refusal == r::none) {
            EXPECT_EQ("", err);
            EXPECT_EQ(c.counts, counts(kept));
        } else {
            EXPECT_EQ(std::string("kelvo: error: ") + c.reason + "\n", err);
            EXPECT_EQ(99u, kept.control_inputs);
        }
    }
}

TEST(PluginHost, RefusesOnlyPluginsThatRequireFeatures) {
    const struct {
        const char* plugin;
        bool refused;
        const char* err;
    } cases[] = {
        {"needs_feature", true,
         "kelvo: error: the plugin requires features that this program does not support, "
         "sorry\n"},
        {"amp", false, ""},  // declares an optional feature only
        {"no_ports", false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        const LilvPlugin* const plugin = test_plugin(c.plugin);
        ASSERT_NE(nullptr, plugin);
        EXPECT_EQ(c.refused, requires_features(plugin));
        testing::internal::CaptureStderr();
        EXPECT_EQ(!c.refused, check_features(plugin, "kelvo"));
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
    }
    EXPECT_STREQ("the plugin requires features that this program does not support, sorry",
                 features_reason());
}

TEST(PortBinding, StartsAtTheDefaultElseMinElseMaxElseZero) {
    const struct {
        port_range range;
        float start;
    } cases[] = {{{440.0f, 20.0f, 880.0f}, 440}, {{{}, 0.5f, 880.0f}, 0.5f},
                 {{{}, {}, 880.0f}, 880},        {{{}, {}, {}}, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.start);
        EXPECT_EQ(c.start, start_value(c.range));
    }
}

TEST(PortBinding, WarnsAboutValuesOutsideTheRange) {
    const struct {
        port_range range;
        bool rate_bounds;
        float value;
        const char* err;
    } cases[] = {
        {{{}, 20.0f, 880.0f}, false, 1000,
         "kelvo: warning: out of range value for port 'freq' (min: 20, max: 880)\n"},
        {{{}, 20.0f, 880.0f}, false, -INFINITY,
         "kelvo: warning: out of range value for port 'freq' (min: 20, max: 880)\n"},
        {{{}, 20.0f, 880.0f}, false, 20, ""},
        {{{}, 0.1f, 0.3f}, false, 0.3f, ""},
        {{{}, 20.0f, 880.0f}, false, NAN, ""},
        {{{}, 20.0f, {}}, false, 10,
         "kelvo: warning: out of range value for port 'freq' (min: 20)\n"},
        {{{}, 20.0f, {}}, false, 1e30f, ""},
        {{{}, {}, 880.0f}, false, 900,
         "kelvo: warning: out of range value for port 'freq' (max: 880)\n"},
        {{{}, {}, 880.0f}, false, -1e30f, ""},
        {{5.0f, {}, {}}, false, 1e30f, ""},
        {{{}, 0.0f, 0.5f}, true, 30000,
         "kelvo: warning: out of range value for port 'freq' (min: 0, max: 24000)\n"},
        {{{}, 0.0f, 0.5f}, true, 24000, ""},
        {{{}, 0.25f, 0.5f}, true, 100,
         "kelvo: warning: out of range value for port 'freq' (min: 12000, max: 24000)\n"},
        {{{}, 0.25f, {}}, true, 100,
         "kelvo: warning: out of range value for port 'freq' (min: 12000)\n"},
        {{{}, 0.0f, 0.5f}, false, 1,
         "kelvo: warning: out of range value for port 'freq' (min: 0, max: 0.5)\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.value << (c.rate_bounds ? " at rate" : ""));
        testing::internal::CaptureStderr();
        check_range(c.range, c.rate_bounds, 48000, c.value, "freq", "kelvo");
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
    }
}

TEST(PluginHost, ResolvesRelativeSearchFoldersAgainstTheWorkingDirectory) {
    const struct {
        const char* path;
        const char* base;
        bool relative;
        std::string absolute;
    } cases[] = {
        {"/usr/lib/lv2", "/w", false, "/usr/lib/lv2"},
        {"~/.lv2:$HOME/lv2", "/w", false, "~/.lv2:$HOME/lv2"},
        {"build/lv2", "/w", true, "/w/build/lv2"},
        {"a::/b:./c:", "/w", true, "/w/a:/b:/w/./c"},
        {"", "/w", false, ""},
        {"a:/b", nullptr, true, "/b"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(c.relative, has_relative_folder(c.path));
        EXPECT_EQ(c.absolute, absolute_search_path(c.path, c.base));
    }
}
