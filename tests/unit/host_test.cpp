#include "host/port_binding.h"
#include "host/port_survey.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>

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
