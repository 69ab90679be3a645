#include "engine/chain.h"
#include "host/features.h"
#include "host/state_paths.h"
#include "host/urid_map.h"
#include "host/plugin_host.h"
#include "host/port_plan.h"
#include "host/search_path.h"
#include "host/session.h"
#include "messages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

using namespace kelvo;

namespace {

// What a row says about its port and run.
constexpr unsigned audio = 1, control = 2, in = 4, out = 8, opt = 16, lat = 32, assigned = 64,
                   no_compensation = 128, cv = 256, atom = 512;

std::array<uint32_t, 5> counts(const port_tally& t) {
    return {t.audio_inputs_all, t.audio_inputs_required, t.audio_outputs, t.control_inputs,
            t.control_outputs};
}

// The world of the test bundle alone, loaded once for every test that needs real plugins.
const plugin_host& test_bundle() {
    static const plugin_host host = [] {
        setenv("LV2_PATH", KELVO_TEST_LV2_PATH, 1);
        plugin_host h;
        open_world(h, printed_diagnostics());
        return h;
    }();
    return host;
}

const LilvPlugin* test_plugin(const std::string& name) {
    const plugin_host& host = test_bundle();
    return find_plugin(host, ("http://kelvo.test/plugins/" + name).c_str(), printed_diagnostics());
}

// The symbol of the port the plan reads the latency from, or "".
std::string latency_symbol(const port_plan& plan) {
    for (const planned_port& p : plan.ports) {
        if (p.role == port_role::latency)
            return p.facts.symbol;
    }
    return "";
}

}  // namespace

TEST(PortPlan, GivesEachKindOfPortItsRole) {
    using r = port_refusal;
    using role = port_role;
    const struct {
        const char* what;
        unsigned flags;
        port_refusal refusal;
        port_role role;
        std::array<uint32_t, 5> counts;  // inputs all, required, outputs, control in, out
        const char* minimum_size;        // an atom port's, as written; null for none
    } cases[] = {
        {"audio in", audio | in, r::none, role::audio_in, {1, 1, 0, 0, 0}, nullptr},
        {"optional audio in", audio | in | opt, r::none, role::audio_in_optional,
         {1, 0, 0, 0, 0}, nullptr},
        {"assigned audio in", audio | in | assigned, r::assigned_audio_input, role::unconnected,
         {}, nullptr},
        {"audio out", audio | out, r::none, role::audio_out, {0, 0, 1, 0, 0}, nullptr},
        {"optional audio out", audio | out | opt, r::none, role::audio_out_unused, {}, nullptr},
        {"assigned audio out", audio | out | assigned, r::assigned_audio_output,
         role::unconnected, {}, nullptr},
        {"audio, no direction", audio | assigned, r::unknown_type, role::unconnected, {},
         nullptr},
        {"control in", control | in, r::none, role::control_in, {0, 0, 0, 1, 0}, nullptr},
        {"optional control in", control | in | opt, r::none, role::control_in, {}, nullptr},
        {"assigned control in", control | in | assigned, r::none, role::control_in,
         {0, 0, 0, 1, 0}, nullptr},
        {"assigned optional control in", control | in | opt | assigned, r::none,
         role::control_in, {0, 0, 0, 1, 0}, nullptr},
        {"control out", control | out, r::none, role::control_out, {0, 0, 0, 0, 1}, nullptr},
        {"optional control out", control | out | opt, r::none, role::control_out, {}, nullptr},
        {"latency", control | out | lat, r::none, role::latency, {0, 0, 0, 0, 1}, nullptr},
        {"optional latency", control | out | opt | lat, r::none, role::latency,
         {0, 0, 0, 0, 1}, nullptr},
        {"latency, no compensation", control | out | lat | no_compensation, r::none,
         role::control_out, {0, 0, 0, 0, 1}, nullptr},
        {"optional latency, no compensation", control | out | opt | lat | no_compensation,
         r::none, role::control_out, {}, nullptr},
        {"assigned latency", control | out | lat | assigned, r::assigned_control_output,
         role::unconnected, {}, nullptr},
        {"control, no direction", control, r::unknown_type, role::unconnected, {}, nullptr},
        {"CV in", cv | in, r::none, role::cv_in, {}, nullptr},
        {"assigned optional CV in", cv | in | opt | assigned, r::none, role::cv_in, {}, nullptr},
        {"CV out", cv | out | opt, r::none, role::cv_out, {}, nullptr},
        {"assigned CV out", cv | out | assigned, r::assigned_cv_output, role::unconnected, {},
         nullptr},
        {"optional atom in", atom | in | opt, r::none, role::atom_in, {}, nullptr},
        {"atom out", atom | out, r::none, role::atom_out, {}, "65536"},
        {"assigned atom in", atom | in | assigned, r::assigned_atom, role::unconnected, {},
         nullptr},
        {"atom, no direction", atom, r::unknown_type, role::unconnected, {}, nullptr},
        {"atom out, no size", atom | out, r::bad_atom_size, role::unconnected, {}, "0"},
        {"atom out, huge", atom | out, r::bad_atom_size, role::unconnected, {}, "67108865"},
        {"atom out, not a number", atom | out, r::bad_atom_size, role::unconnected, {}, "1k"},
        {"MIDI in", in, r::unknown_type, role::unconnected, {}, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto has = [&](unsigned flag) { return (c.flags & flag) != 0; };
        planned_port port;
        port_facts& f = port.facts;
        f.symbol = "x";
        f.audio = has(audio);
        f.control = has(control);
        f.cv = has(cv);
        f.atom = has(atom);
        f.input = has(in);
        f.output = has(out);
        f.optional = has(opt);
        f.reports_latency = has(lat);
        if (c.minimum_size)
            port.facts.minimum_size = c.minimum_size;
        const port_assignment assignment{"x", 1};
        port_plan plan;
        EXPECT_EQ(c.refusal, plan_port(port, has(assigned) ? &assignment : nullptr,
                                       !has(no_compensation), plan));
        EXPECT_EQ(c.counts, counts(plan.tally));
        EXPECT_EQ(c.role, port.role);
        EXPECT_EQ(c.role == role::latency, plan.latency_slot.has_value());
        EXPECT_EQ(c.minimum_size && c.refusal == r::none ? 65536u : default_atom_bytes,
                  plan.sequence_bytes);
        EXPECT_EQ(port.role == role::atom_in || port.role == role::atom_out ? plan.sequence_bytes
                                                                             : 0u,
                  port.atom_bytes);
    }
}

TEST(PortPlan, ReadsTheLastOfSeveralLatencyReporters) {
    port_plan plan;
    for (uint32_t i = 0; i < 3; ++i) {
        planned_port& reporter = plan.ports.emplace_back();
        reporter.facts.control = reporter.facts.output = true;
        reporter.facts.optional = i == 1;
        reporter.facts.reports_latency = i != 1;
        EXPECT_EQ(port_refusal::none, plan_port(reporter, nullptr, true, plan));
    }
    EXPECT_EQ(port_role::control_out, plan.ports[0].role);
    EXPECT_EQ(port_role::control_out, plan.ports[1].role);
    EXPECT_EQ(port_role::latency, plan.ports[2].role);
    EXPECT_EQ(plan.ports[2].slot, plan.latency_slot);
    EXPECT_EQ(2u, plan.tally.control_outputs);
}

TEST(PortPlan, ReturnsTheCountsOrTheFirstRefusalOfARealPlugin) {
    using r = port_refusal;
    const struct {
        const char* plugin;
        std::vector<const char*> assigned;  // symbols given a value, in command-line order
        bool compensation;
        port_refusal refusal;
        const char* subject;
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
        // Features are not the plan's business.
        {"needs_feature", {}, true, r::none, "", {1, 1, 1, 0, 0}, "", ""},
        {"atom_port", {}, true, r::none, "", {1, 1, 1, 0, 0}, "", ""},
        {"optional_atom", {}, true, r::none, "", {1, 1, 1, 0, 0}, "", ""},
        {"midi_first", {}, true, r::none, "", {1, 1, 1, 0, 0}, "", ""},
        {"cv_port", {"cv"}, true, r::none, "", {1, 1, 1, 0, 0}, "", ""},
        {"amp", {"in"}, true, r::assigned_audio_input, "in", {0, 0, 1, 1, 0}, "",
         "cannot assign a value to port 'in' (it is an audio in port)"},
        {"amp", {"out"}, true, r::assigned_audio_output, "out", {1, 1, 0, 1, 0}, "",
         "cannot assign a value to port 'out' (it is an audio out port)"},
        {"delay", {"reported"}, true, r::assigned_control_output, "reported", {1, 1, 1, 1, 0},
         "", "cannot assign a value to port 'reported' (it is a control out port)"},
        {"atom_port", {"events"}, true, r::assigned_atom, "events", {1, 1, 1, 0, 0}, "",
         "cannot assign a value to port 'events' (it is an atom port)"},
        // The walk goes on past a refusal: the audio ports after it are counted too.
        {"event_port", {}, true, r::unknown_type, "midi", {1, 1, 1, 0, 0}, "",
         "port 'midi' has a port type this program does not understand"},
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
        {"huge_atom", {}, true, r::bad_atom_size, "events_out", {1, 1, 1, 0, 0}, "",
         "port 'events_out' asks for a buffer size this program cannot give (rsz:minimumSize "
         "1000000000)"},
        {"negative_index", {}, true, r::broken_description,
         "http://kelvo.test/plugins/negative_index", {}, "",
         "plugin 'http://kelvo.test/plugins/negative_index' has a broken description: a port "
         "has the lv2:index '-1'"},
        {"duplicate_index", {}, true, r::broken_description,
         "http://kelvo.test/plugins/duplicate_index", {}, "",
         "plugin 'http://kelvo.test/plugins/duplicate_index' has a broken description: two "
         "ports have the lv2:index 0"},
        {"missing_index", {}, true, r::broken_description,
         "http://kelvo.test/plugins/missing_index", {}, "",
         "plugin 'http://kelvo.test/plugins/missing_index' has a broken description: a port "
         "has no lv2:index"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plugin << " " << testing::PrintToString(c.assigned)
                                        << (c.compensation ? "" : " --with-latency"));
        const LilvPlugin* const plugin = test_plugin(c.plugin);
        ASSERT_NE(nullptr, plugin);
        assignment_list assignments;
        for (const char* symbol : c.assigned)
            assignments.push_back({symbol, 1});
        const port_plan plan = plan_ports(test_bundle(), plugin, assignments, c.compensation);
        EXPECT_EQ(c.refusal, plan.refusal);
        EXPECT_EQ(c.subject, plan.subject);
        EXPECT_EQ(c.counts, counts(plan.tally));
        EXPECT_EQ(c.latency_port, latency_symbol(plan));
        EXPECT_EQ(c.reason, refusal_reason(plan));
        if (c.refusal == r::none) {
            for (const planned_port& p : plan.ports)
                EXPECT_EQ(p.assignment != nullptr,
                          p.assignment && std::string{p.assignment->symbol} == p.facts.symbol);
        }
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.refusal == r::none, accept_plan(plan, printed_diagnostics()));
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(c.refusal == r::none ? "" : std::string("kelvo: error: ") + c.reason + "\n",
                  err);
    }
}

TEST(PluginHost, RefusesOnlyPluginsThatRequireWhatIsNotOffered) {
    const struct {
        const char* plugin;
        std::vector<std::string> unsupported;
    } cases[] = {
        {"needs_feature", {"http://lv2plug.in/ns/ext/instance-access"}},
        {"unknown_option", {"http://kelvo.test/ns#unknown"}},
        {"amp", {}},  // declares an optional feature only
        {"no_ports", {}},
        {"urid", {}},
        {"options", {}},
        {"worker", {}},
        {"fixed_block", {}},
        {"logger", {}},
        {"default_state", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        const LilvPlugin* const plugin = test_plugin(c.plugin);
        ASSERT_NE(nullptr, plugin);
        EXPECT_EQ(c.unsupported, unsupported_features(test_bundle(), plugin));
        testing::internal::CaptureStderr();
        EXPECT_EQ(c.unsupported.empty(), check_features(test_bundle(), plugin, printed_diagnostics()));
        EXPECT_EQ(c.unsupported.empty()
                      ? ""
                      : "kelvo: error: the plugin requires features that this program does not "
                        "support, sorry\n",
                  testing::internal::GetCapturedStderr());
    }
}

TEST(PluginHost, RunsFixedBlocksOnlyOfALengthThePluginTakes) {
    const struct {
        const char* plugin;
        uint64_t frames;
        bool fixed;
        const char* err;
    } cases[] = {
        {"amp", 500, false, ""},
        {"amp", uint64_t{1} << 33, false, ""},  // knows nothing of block lengths
        {"fixed_block", 512, true, ""},
        {"fixed_block", 1, true, ""},
        {"fixed_block", 500, false,
         "kelvo: error: the plugin runs only in blocks of a power of two frames: use -n 256 or "
         "-n 512\n"},
        {"options", uint64_t{1} << 31, false,
         "kelvo: error: the plugin takes at most 2147483647 frames per cycle: use a smaller "
         "-n\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plugin << " " << c.frames);
        const LilvPlugin* const plugin = test_plugin(c.plugin);
        ASSERT_NE(nullptr, plugin);
        testing::internal::CaptureStderr();
        const std::optional<block_length> block = plan_block_length(plugin, c.frames, printed_diagnostics());
        EXPECT_EQ(c.err, testing::internal::GetCapturedStderr());
        ASSERT_EQ(c.err[0] == '\0', block.has_value());
        if (block) {
            EXPECT_EQ(c.frames, block->frames);
            EXPECT_EQ(c.fixed, block->fixed);
        }
    }
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
        check_range(c.range, c.rate_bounds, 48000, c.value, "freq", printed_diagnostics());
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

TEST(PluginHost, KeepsTheBundlesWhoseManifestMayMentionThePlugin) {
    const std::string uri = "http://kelvo.test/plugins/amp";
    const struct {
        const char* manifest;
        bool mentions;
    } cases[] = {
        {"<http://kelvo.test/plugins/amp> a lv2:Plugin .", true},
        {"@prefix kt: <http://kelvo.test/plugins/> .\nkt:amp a lv2:Plugin .", true},
        {"<x> lv2:appliesTo kt:amp;", true},
        {"<x> lv2:appliesTo kt:amp", true},
        {"@base <http://kelvo.test/plugins/> . <amp> a lv2:Plugin .", true},
        {"<urn:p/amp>", false},
        {"<urn:p#amp>", false},
        {"<other/amp>", true},  // relative: it may resolve to the plugin
        {"@prefix kt: <http://kelvo.test/plugins/> .\n[] lv2:appliesTo kt:amp .", true},
        {"PREFIX kt:\n  <http://kelvo.test/plugins/>\nkt:amp", true},
        {"@prefix x: <http://other/> .\nx:amp a lv2:Plugin .", false},
        {"@prefix x: <http://other/> .\n@prefix x: <http://kelvo.test/plugins/> .\nx:amp", true},
        {"@prefix : <http://other/> .\n:amp a lv2:Plugin .", false},
        {"@prefix : <http://kelvo.test/plugins/> .\n:amp a lv2:Plugin .", true},
        {"@prefix x: <http://other/> .\ny:amp a lv2:Plugin .", true},  // y is not declared
        {"# a comment about http://other/amp\n", true},  // not in an IRI: it may be
        {"kt:amplifier a lv2:Plugin .", false},
        {"kt:eg-amp a lv2:Plugin .", false},
        {"kt:amp2 a lv2:Plugin .", false},
        {"<http://kelvo.test/plugins/amp2> a lv2:Plugin .", false},
        {"lv2:binary <amp.so> .", false},
        {"lv2:appliesTo kt:amp.", true},
        {"amp", false},
        {"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.manifest);
        EXPECT_EQ(c.mentions, plugin_mentions(uri).in(c.manifest));
    }
    EXPECT_TRUE(plugin_mentions("urn:dragonfly:early").in("df:early a lv2:Plugin"));
    EXPECT_TRUE(plugin_mentions("urn:a-comp#stereo").in("<#stereo> a lv2:Plugin"));
    EXPECT_FALSE(plugin_mentions("urn:a-comp#stereo").in("<http://x/stereo> a lv2:Plugin"));
    EXPECT_FALSE(plugin_mentions("http://kelvo.test/p/").in("<http://kelvo.test/> a lv2:Plugin"));
}

TEST(PluginHost, ExpandsSearchFoldersAsLilvDoes) {
    setenv("KELVO_TEST_DIR", "/d", 1);
    unsetenv("KELVO_TEST_UNSET");
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "$HOME";
    const struct {
        const char* folder;
        std::string expanded;
    } cases[] = {
        {"/usr/lib/lv2", "/usr/lib/lv2"},
        {"~/.lv2", home + "/.lv2"},
        {"~", home},
        {"/a~b/~c", "/a~b/~c"},
        {"$KELVO_TEST_DIR/lv2", "/d/lv2"},
        {"$KELVO_TEST_UNSET/lv2", "$KELVO_TEST_UNSET/lv2"},
        {"$KELVO_TEST_DIRx", "/dx"},  // a name is upper case, digits and '_'
        {"", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.folder);
        EXPECT_EQ(c.expanded, expand_folder(c.folder));
    }
}

TEST(PluginHost, ListsTheBundlesToLoadForOnePlugin) {
    const std::string root = testing::TempDir() + "kelvo-bundles";
    const struct {
        const char* bundle;
        const char* manifest;  // null: a plain file instead of a bundle
    } entries[] = {
        {"amp.lv2", "kt:amp a lv2:Plugin ."},
        {"other.lv2", "kt:other a lv2:Plugin ."},
        {"core.lv2", "<http://lv2plug.in/ns/lv2core> a lv2:Specification ."},
        {"presets.lv2", "<p> lv2:appliesTo <http://kelvo.test/plugins/amp> ."},
        {"file.ttl", nullptr},
    };
    std::filesystem::remove_all(root);
    for (const auto& e : entries) {
        const std::string path = root + "/" + e.bundle;
        if (!e.manifest) {
            std::ofstream(path) << "kt:amp";
            continue;
        }
        std::filesystem::create_directories(path);
        std::ofstream(path + "/manifest.ttl") << e.manifest;
    }
    using list = std::vector<std::string>;
    auto found = [&](const std::string& path, bool vocabularies) {
        std::vector<std::string> bundles;
        const bool absolute =
            for_each_bundle_for(path, "http://kelvo.test/plugins/amp", vocabularies,
                                [&](const char* bundle) { bundles.push_back(bundle); });
        std::sort(bundles.begin(), bundles.end());
        return absolute ? bundles : list{"relative"};
    };
    const std::string amp = root + "/amp.lv2/", presets = root + "/presets.lv2/";
    EXPECT_EQ((list{amp, presets}), found(root, false));
    EXPECT_EQ((list{amp, root + "/core.lv2/", presets}), found(root, true));
    EXPECT_EQ((list{amp, amp, presets, presets}), found(root + "::/nowhere:" + root, false));
    EXPECT_EQ(list{"relative"}, found(root + ":relative/lv2", false));
    EXPECT_EQ(list{}, found("/nowhere", false));
    std::filesystem::remove_all(root);
}

TEST(HostFeatures, GivesEachUriOneNumberForTheRun) {
    urid_map urids;
    const LV2_URID a = urids.map("http://kelvo.test/a");
    const LV2_URID b = urids.map("urn:b");  // short enough to live inside a string
    for (int i = 0; i < 300; ++i)            // the table grows past its first storage
        urids.map(("urn:" + std::to_string(i)).c_str());
    EXPECT_EQ(1u, a);
    EXPECT_EQ(2u, b);
    EXPECT_EQ(a, urids.map("http://kelvo.test/a"));
    EXPECT_STREQ("urn:b", urids.unmap(b));
    EXPECT_EQ(nullptr, urids.unmap(0));
    EXPECT_EQ(nullptr, urids.unmap(303));
    EXPECT_EQ(0u, urids.map(nullptr));
    EXPECT_FALSE(urids.exhausted());
}

TEST(HostFeatures, MakesStatePathsOnlyInsideItsFolder) {
    const struct {
        const char* relative;
        bool inside;
    } cases[] = {
        {"a.txt", true},     {"dir/a.txt", true}, {"..a/b..", true}, {"a/./b", true},
        {"", false},         {"/etc/x", false},   {"..", false},     {"../a", false},
        {"a/../../b", false}, {"a/..", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.relative);
        EXPECT_EQ(c.inside, stays_inside(c.relative));
    }
}

namespace {

// Keeps what an engine reports, a line each: "error <kind>: text" or "warning: text".
class recorded_diagnostics final : public diagnostics {
public:
    void error(problem kind, std::string_view text) override {
        lines += "error " + std::to_string(static_cast<int>(kind)) + ": " + std::string{text};
    }
    void warning(std::string_view text) noexcept override {
        lines += "warning: " + std::string{text};
    }
    std::string lines;
};

}  // namespace

TEST(Chain, SetsControlsOfRunningInstances) {
    test_bundle();  // sets LV2_PATH to the test bundle
    const int no_port = static_cast<int>(problem::no_port);
    const int bad_value = static_cast<int>(problem::bad_value);
    // In turn on one running chain; the preset sets gain to 0.5.
    const struct {
        const char* symbol;
        std::optional<float> value;
        bool taken;
        float gain;  // what the amp runs with afterwards
        std::string said;
    } cases[] = {
        {"gain", 2.0f, true, 2.0f, ""},
        {"gain", 9.0f, true, 9.0f, "warning: out of range value for port 'gain' (min: 0, max: 8)"},
        {"gain", std::nullopt, true, 0.5f, ""},
        {"in", 1.0f, false, 0.5f,
         "error " + std::to_string(bad_value) +
             ": cannot assign a value to port 'in' (it is an audio in port)"},
        {"ghost", 1.0f, false, 0.5f, "error " + std::to_string(no_port) + ": port 'ghost' not found"},
        {"gain", 0.25f, true, 0.25f, ""},
    };
    recorded_diagnostics d;
    chain plugins{d};
    const plugin_request request{"http://kelvo.test/plugins/amp", {}, "Half"};
    ASSERT_TRUE(plugins.plan({&request, 1}, true, 4));
    ASSERT_TRUE(plugins.lay_out(1) && plugins.instantiate(48000));
    plugins.allocate();
    plugins.start();
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.symbol << " " << c.value.value_or(-1));
        d.lines.clear();
        EXPECT_EQ(c.taken, plugins.set_control(0, c.symbol, c.value));
        EXPECT_EQ(c.said, d.lines);
        EXPECT_EQ(c.gain, plugins.control_value(0, "gain"));
        std::fill(plugins.inputs()[0].begin(), plugins.inputs()[0].end(), 1.0f);
        plugins.run(4);
        EXPECT_EQ(c.gain, plugins.outputs()[0][3]);
    }
    EXPECT_EQ(std::nullopt, plugins.control_value(0, "out"));
    plugins.stop();
    plugins.release_storage();
    plugins.release_instances();
}
