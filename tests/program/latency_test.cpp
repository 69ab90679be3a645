#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace kelvo::test {
namespace {

// The pieces (first frame, count) of a mono input one after the other, then `silence` zeros.
std::vector<float> moved(const sound& in, std::vector<std::pair<int64_t, int64_t>> pieces,
                         int64_t silence) {
    std::vector<float> s;
    for (const auto& [first, count] : pieces)
        s.insert(s.end(), in.samples.begin() + first, in.samples.begin() + first + count);
    s.insert(s.end(), static_cast<size_t>(silence), 0.0f);
    return s;
}

std::vector<float> moved_earlier(const sound& in, int64_t frames) {
    return moved(in, {{frames, in.frames() - frames}}, frames);
}

constexpr char implausible_prefix[] = "kelvo: warning: the plugin reports an implausible latency (";
constexpr char implausible_suffix[] = " frames), latency compensation is off\n";

TEST(Latency, CompensationGivesBackTheInputOfADelayingPlugin) {
    const sound in = numbered_sound(1, 900);
    for (const char* latency : {"0", "100", "600"}) {
        for (const char* block : {"512", "64"}) {
            SCOPED_TRACE(std::string{"latency "} + latency + ", block " + block);
            const processed p = process(in, test_uri("delay"),
                                        {"-n", block, "-c", std::string{"latency:"} + latency});
            EXPECT_EQ(0, p.r.status);
            EXPECT_EQ("", p.r.out);
            EXPECT_EQ("", p.r.err);
            EXPECT_EQ(in.samples, p.out.samples);
        }
    }
}

TEST(Latency, ReportedLatencyIsDroppedInRoundedFramesAndMadeUpWithSilence) {
    // This plugin reports a latency but does not delay, so what is dropped and what the flush
    // fed the plugin both show in the output.
    const struct {
        int64_t frames;
        const char* latency;
        const char* block;
        int64_t dropped;
    } cases[] = {
        {900, "10.4", "512", 10},  {900, "10.5", "512", 11}, {900, "10.6", "512", 11},
        {1024, "100", "512", 100},  // the last read filled the block: the flush must not reuse it
        {900, "600", "64", 600},    // dropped over several blocks, flushed in several
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string{c.latency} + " on " + std::to_string(c.frames) + " frames");
        const sound in = numbered_sound(1, c.frames);
        const processed p = process(in, test_uri("artificial_latency"),
                                    {"-n", c.block, "-c", std::string{"latency:"} + c.latency});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("", p.r.err);
        EXPECT_EQ(moved_earlier(in, c.dropped), p.out.samples);
    }
}

TEST(Latency, WithLatencyLeavesThePluginsDelayIn) {
    const sound in = numbered_sound(1, 900);
    const processed delayed =
        process(in, test_uri("delay"), {"--with-latency", "-c", "latency:100"});
    EXPECT_EQ(0, delayed.r.status);
    EXPECT_EQ("", delayed.r.err);
    std::vector<float> expected(100, 0.0f);
    expected.insert(expected.end(), in.samples.begin(), in.samples.end() - 100);
    EXPECT_EQ(expected, delayed.out.samples);

    const processed reported =
        process(in, test_uri("artificial_latency"), {"--with-latency", "-c", "latency:100"});
    EXPECT_EQ(0, reported.r.status);
    EXPECT_EQ(in.samples, reported.out.samples);
}

TEST(Latency, LatencyLongerThanTheInputWritesOnlyTheInputsFrames) {
    const sound in = numbered_sound(1, 100);
    for (const char* block : {"512", "64"}) {
        SCOPED_TRACE(block);
        const processed p = process(in, test_uri("delay"), {"-n", block, "-c", "latency:300"});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("", p.r.err);
        EXPECT_EQ(in.samples, p.out.samples);
    }
}

TEST(Latency, ImplausibleLatencyTurnsCompensationOffWithOneWarning) {
    // The delay plugin cannot delay by any of these, so the output is the input when nothing
    // is dropped. The last two are just over a minute at their rates.
    const struct {
        const char* latency;
        int rate;
        const char* shown;
    } cases[] = {
        {"nan", 48000, "nan"},   {"inf", 48000, "inf"},          {"-inf", 48000, "-inf"},
        {"1e15", 48000, "1e+15"}, {"3e6", 48000, "3e+06"}, {"480001", 8000, "480001"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.latency);
        const sound in = numbered_sound(1, 900, c.rate);
        const processed p =
            process(in, test_uri("delay"), {"-n", "64", "-c", std::string{"latency:"} + c.latency});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ(std::string{implausible_prefix} + c.shown + implausible_suffix, p.r.err);
        EXPECT_EQ(in.samples, p.out.samples);
        EXPECT_EQ(c.rate, p.out.samplerate);
    }
}

TEST(Latency, AMinuteOfLatencyIsStillCompensated) {
    // Exactly 60 s at 8 kHz: the plugin passes the audio through, so the whole input is
    // dropped and the flush gives back as many frames of silence.
    const sound in = numbered_sound(1, 900, 8000);
    const processed p = process(in, test_uri("delay"), {"-c", "latency:480000"});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("", p.r.err);
    EXPECT_EQ(std::vector<float>(900, 0.0f), p.out.samples);
}

TEST(Latency, NegativeLatencyDropsNothing) {
    const sound in = numbered_sound(1, 900);
    for (const char* latency : {"-5", "-600.5"}) {
        SCOPED_TRACE(latency);
        const processed p =
            process(in, test_uri("delay"), {"-n", "64", "-c", std::string{"latency:"} + latency});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("", p.r.err);
        EXPECT_EQ(in.samples, p.out.samples);
    }
}

TEST(Latency, ChangingLatencyDropsTheFirstReadingAndFlushesTheLast) {
    // Blocks of 512 on 900 frames; the plugin reports `first` for its first run only.
    const sound in = numbered_sound(1, 900);
    const struct {
        const char* first;
        const char* later;
        std::vector<std::pair<int64_t, int64_t>> pieces;
        int64_t silence;
    } cases[] = {
        {"-1", "100", {{0, 512}, {612, 288}}, 100},  // not read until the second block
        {"20", "100", {{20, 880}}, 100},
        {"100", "20", {{100, 800}}, 20},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string{c.first} + " then " + c.later);
        const processed p =
            process(in, test_uri("changing_latency"),
                    {"-c", std::string{"first:"} + c.first, "-c", std::string{"later:"} + c.later});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("", p.r.err);
        EXPECT_EQ(moved(in, c.pieces, c.silence), p.out.samples);
    }
}

TEST(Latency, TheLastReportingPortIsTheLatency) {
    // The plugin delays by 10 and reports 5, then 10 on a later port.
    const sound in = numbered_sound(1, 900);
    const processed p = process(in, test_uri("two_latency"), {"-n", "64"});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("", p.r.err);
    EXPECT_EQ(in.samples, p.out.samples);
}

TEST(Latency, EmptyInputGivesAnEmptyOutputAndBothTimingLines) {
    const sound in = numbered_sound(1, 0);
    const processed p = process(in, test_uri("delay"), {"--timing", "-c", "latency:100"});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("", p.r.err);
    EXPECT_TRUE(is_timing_report(p.r.out)) << p.r.out;
    EXPECT_TRUE(p.written);
    EXPECT_EQ(0, p.out.frames());
}

}  // namespace
}  // namespace kelvo::test
