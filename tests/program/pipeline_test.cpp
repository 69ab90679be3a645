#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace kelvo::test {
namespace {

// The lines of a log that start with `prefix`.
std::string lines_starting(const std::string& log, const std::string& prefix) {
    std::istringstream in{log};
    std::string kept;
    for (std::string line; std::getline(in, line);) {
        if (line.starts_with(prefix))
            kept += line + "\n";
    }
    return kept;
}

TEST(Pipeline, AudioOutputsCarryTheirPluginsWork) {
    // Each output channel is an input channel times a factor; -1 marks silence.
    struct source {
        int channel;
        float factor;
    };
    const struct {
        const char* plugin;
        std::vector<std::string> args;
        int channels;
        std::vector<source> outputs;
    } cases[] = {
        {"stereo", {"-c", "gain:0.5"}, 2, {{0, 0.5f}, {1, 0.5f}}},
        {"amp", {"-c", "gain:0.25", "-n", "100"}, 1, {{0, 0.25f}}},
        {"mono_to_stereo", {}, 1, {{0, 1.0f}, {0, 0.5f}}},
        {"no_activate", {}, 1, {{0, 2.0f}}},
        // Spare file channels go to the optional inputs; the optional output is never written.
        {"optional_input", {}, 2, {{0, 1.0f}, {1, 1.0f}}},
        {"optional_input", {}, 1, {{0, 1.0f}, {-1, 0.0f}}},
        {"only_optional_input", {}, 1, {{0, 1.0f}}},
        {"optional_output", {}, 1, {{0, 1.0f}}},
        // More channels than inputs: an instance per group of channels, each on its own.
        {"amp", {"-c", "gain:0.5"}, 2, {{0, 0.5f}, {1, 0.5f}}},
        {"amp", {"-c", "gain:0.5"}, 6, {{0, 0.5f}, {1, 0.5f}, {2, 0.5f}, {3, 0.5f}, {4, 0.5f}, {5, 0.5f}}},
        {"stereo", {"-c", "gain:0.5"}, 6, {{0, 0.5f}, {1, 0.5f}, {2, 0.5f}, {3, 0.5f}, {4, 0.5f}, {5, 0.5f}}},
        {"mono_to_stereo", {}, 2, {{0, 1.0f}, {0, 0.5f}, {1, 1.0f}, {1, 0.5f}}},
        {"delay", {"-c", "latency:100", "-n", "64"}, 2, {{0, 1.0f}, {1, 1.0f}}},
        // One channel feeds every required input.
        {"stereo", {"-c", "gain:0.5"}, 1, {{0, 0.5f}, {0, 0.5f}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string{c.plugin} + " on " + std::to_string(c.channels) + " channels");
        const sound in = numbered_sound(c.channels, 1000, 44100);
        const processed p = process(in, test_uri(c.plugin), c.args);
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("", p.r.out);
        EXPECT_EQ("", p.r.err);
        ASSERT_EQ(static_cast<int>(c.outputs.size()), p.out.channels);
        EXPECT_EQ(44100, p.out.samplerate);
        ASSERT_EQ(1000, p.out.frames());
        for (int o = 0; o < p.out.channels; ++o) {
            const source s = c.outputs[static_cast<size_t>(o)];
            for (int64_t i = 0; i < 1000; ++i) {
                const float expected = s.channel < 0 ? 0.0f : in.at(i, s.channel) * s.factor;
                ASSERT_EQ(expected, p.out.at(i, o)) << "frame " << i << " of channel " << o;
            }
        }
    }
}

TEST(Pipeline, OutputKeepsTheInputsFormatAndRate) {
    const struct {
        int format;
        int rate;
        double tolerance;  ///< one step of the encoding
    } cases[] = {
        {SF_FORMAT_WAV | SF_FORMAT_PCM_16, 44100, 1.0 / 32768},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 96000, 1.0 / 32768},
        {SF_FORMAT_AIFF | SF_FORMAT_PCM_24, 22050, 1.0 / 8388608},
        {SF_FORMAT_WAV | SF_FORMAT_DOUBLE, 8000, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        sound in = numbered_sound(2, 700, c.rate);
        in.format = c.format;
        const processed p = process(in, test_uri("stereo"), {});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("", p.r.err);
        EXPECT_EQ(c.format, p.out.format);
        EXPECT_EQ(c.rate, p.out.samplerate);
        EXPECT_EQ(2, p.out.channels);
        ASSERT_EQ(in.samples.size(), p.out.samples.size());
        for (size_t i = 0; i < in.samples.size(); ++i)
            ASSERT_NEAR(in.samples[i], p.out.samples[i], c.tolerance) << "sample " << i;
    }
}

TEST(Pipeline, ChannelCountOutsideTheAudioInputsIsRefused) {
    const struct {
        const char* plugin;
        int channels;
        const char* err;
    } cases[] = {
        {"optional_input", 3,
         "kelvo: error: the number of channels of the input file (3) and the number of input "
         "ports of the plugin (1 to 2) do not match\n"},
        {"stereo", 3,
         "kelvo: error: the number of channels of the input file (3) and the number of input "
         "ports of the plugin (2 to 2) do not match\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        const processed p = process(numbered_sound(c.channels, 10), test_uri(c.plugin), {});
        EXPECT_EQ(1, p.r.status);
        EXPECT_EQ("", p.r.out);
        EXPECT_EQ(c.err, p.r.err);
        EXPECT_FALSE(p.written);
    }
}

TEST(Pipeline, LifeCycleRunsInOrderAtTheFilesRate) {
    const processed p =
        process(numbered_sound(1, 1100, 44100), test_uri("recorder"), {"-n", "512"});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("", p.r.err);
    // lilv clears every port first; then the audio ports, the gain and both meters are
    // connected: some plugins write an optional meter whether it is connected or not.
    EXPECT_EQ(
        "instantiate recorder 44100\n"
        "connect 0\nconnect 1\nconnect 2\nconnect 3\nconnect 4\n"
        "connect 0\nconnect 1\nconnect 2\nconnect 3\nconnect 4\n"
        "activate\nrun 512\nrun 512\nrun 76\ndeactivate\ncleanup\n",
        p.log);
    EXPECT_EQ(1100, p.out.frames());
}

// Longer than numbered_sound can number within full scale: a pattern that repeats only after
// 65536 frames, different in each channel.
sound long_sound(int channels, int64_t frames) {
    sound s;
    s.channels = channels;
    for (int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c)
            s.samples.push_back(static_cast<float>((i * 7919 + c * 4099) % 65536) / 65536.0f);
    }
    return s;
}

// The file is read and written in pieces much larger than a block, and in pieces smaller
// than a very large block: the plugin must still see exactly the blocks asked for, the
// output must hold every frame once, and a latency must still line up across pieces.
TEST(Pipeline, LongInputsRunInTheBlocksAskedFor) {
    const struct {
        const char* plugin;
        int channels;
        int64_t frames, block, latency;  // the latency is flushed after the input
        std::vector<std::string> args;
    } cases[] = {
        {"recorder", 1, 200000, 512, 0, {}},
        {"recorder", 1, 70001, 64, 0, {}},
        {"recorder", 1, 200000, 4096, 0, {}},
        {"recorder", 1, 200000, 150000, 0, {}},
        {"recorder", 1, 3001, 1, 0, {}},
        {"stereo", 2, 100000, 333, 0, {"-c", "gain:1"}},
        {"stereo", 2, 100000, 100000, 0, {"-c", "gain:1"}},
        {"delay", 1, 200000, 512, 1000, {"-c", "latency:1000"}},
        {"delay", 1, 200000, 150000, 60000, {"-c", "latency:60000"}},
        {"delay", 1, 200000, 777, 1000, {"-c", "latency:1000", "--normalize"}},
    };
    // Whole blocks, then the short one that is left.
    const auto runs = [](int64_t frames, int64_t block) {
        std::string lines;
        for (int64_t i = 0; i < frames / block; ++i)
            lines += "run " + std::to_string(block) + "\n";
        if (frames % block)
            lines += "run " + std::to_string(frames % block) + "\n";
        return lines;
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plugin << " " << c.frames << " frames, -n "
                                        << c.block);
        const sound in = long_sound(c.channels, c.frames);
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"-n", std::to_string(c.block)});
        const processed p = process(in, test_uri(c.plugin), args);
        ASSERT_EQ(0, p.r.status) << p.r.err;
        EXPECT_EQ("", p.r.err);
        if (std::string{c.plugin} != "stereo") {
            EXPECT_EQ(runs(c.frames, c.block) + runs(c.latency, c.block),
                      lines_starting(p.log, "run "));
        }
        if (std::find(args.begin(), args.end(), "--normalize") == args.end()) {
            EXPECT_EQ(in.samples, p.out.samples);
        } else {
            ASSERT_EQ(in.samples.size(), p.out.samples.size());
            const float gain = 1 / *std::max_element(in.samples.begin(), in.samples.end());
            for (size_t i = 0; i < in.samples.size(); ++i)
                ASSERT_NEAR(in.samples[i] * gain, p.out.samples[i], 1e-6f) << i;
        }
    }
}

TEST(Pipeline, FailedInstantiationLeavesNoOutput) {
    const processed p = process(numbered_sound(1, 100), test_uri("fail_instantiate"), {});
    EXPECT_EQ(1, p.r.status);
    EXPECT_EQ("", p.r.out);
    EXPECT_EQ("kelvo: error: failed to instantiate the plugin\n", p.r.err);
    EXPECT_FALSE(p.written);
}

TEST(Pipeline, ControlInputsGetTheirDefaultOrTheAssignedValue) {
    // What each control input gets without an assignment, in port order. Defaults are used as
    // written, also for the port whose bounds scale with the rate.
    const std::vector<std::pair<std::string, std::string>> defaults = {
        {"with_default", "440"}, {"min_only", "0.5"},    {"max_only", "7"},
        {"bare", "0"},           {"rate_bound", "0.25"}, {"optional_knob", "3"},
        {"both_bounds", "-1"},
    };
    const struct {
        std::string symbol;  ///< empty: no assignment
        std::string value;
        int rate;
        const char* err;
        std::string seen;  ///< what the plugin gets
    } cases[] = {
        {"", "", 48000, "", ""},
        {"rate_bound", "30000", 48000,
         "kelvo: warning: out of range value for port 'rate_bound' (min: 0, max: 24000)\n",
         "30000"},
        {"rate_bound", "30000", 44100,
         "kelvo: warning: out of range value for port 'rate_bound' (min: 0, max: 22050)\n",
         "30000"},
        {"rate_bound", "20000", 48000, "", "20000"},
        {"with_default", "10", 48000,
         "kelvo: warning: out of range value for port 'with_default' (min: 20, max: 880)\n", "10"},
        {"min_only", "0.1", 48000,
         "kelvo: warning: out of range value for port 'min_only' (min: 0.5)\n", "0.100000001"},
        {"max_only", "8", 48000,
         "kelvo: warning: out of range value for port 'max_only' (max: 7)\n", "8"},
        {"bare", "-1e30", 48000, "", "-1.00000002e+30"},
        {"optional_knob", "5", 48000, "", "5"},
        {"both_bounds", "nan", 48000, "", "nan"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.symbol + ":" + c.value);
        std::vector<std::string> args;
        if (!c.symbol.empty())
            args = {"-c", c.symbol + ":" + c.value};
        const processed p = process(numbered_sound(1, 100, c.rate), test_uri("controls"), args);
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ(c.err, p.r.err);
        std::string expected;
        for (const auto& [symbol, shown] : defaults)
            expected += "control " + symbol + " " + (symbol == c.symbol ? c.seen : shown) + "\n";
        EXPECT_EQ(expected, lines_starting(p.log, "control "));
    }
}

TEST(Pipeline, UnreadableInputIsRefusedWithTheLibrarysText) {
    const temp_dir dir;
    // A headerless file: without a declared format there is nothing to tell what it holds.
    std::ofstream{dir / "in.raw", std::ios::binary} << std::string(4096, '\x11');
    const result r = run_kelvo({"-i", dir / "in.raw", "-o", dir / "out.wav", test_uri("amp")});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_TRUE(r.err.starts_with("kelvo: error: could not open input file: ")) << r.err;
    EXPECT_GT(r.err.size(), std::string{"kelvo: error: could not open input file: \n"}.size());
    EXPECT_EQ(1, std::count(r.err.begin(), r.err.end(), '\n')) << r.err;
    EXPECT_FALSE(file_exists(dir / "out.wav"));
}

TEST(Pipeline, EmptyInputGivesAnEmptyOutput) {
    sound in = numbered_sound(2, 0);
    in.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    const processed p = process(in, test_uri("stereo"), {});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("", p.r.out);
    EXPECT_EQ("", p.r.err);
    ASSERT_TRUE(p.written);
    EXPECT_EQ(SF_FORMAT_WAV | SF_FORMAT_PCM_16, p.out.format);
    EXPECT_EQ(2, p.out.channels);
    EXPECT_EQ(0, p.out.frames());
}

// The decay plugin's output for `in` followed by `silence` frames, computed as it computes it.
std::vector<float> decayed(const sound& in, int64_t silence) {
    const float a = std::exp(-1.0f / 1000.0f);
    std::vector<float> out;
    float level = 0;
    for (int64_t i = 0; i < in.frames() + silence; ++i) {
        level = a * level + (1.0f - a) * (i < in.frames() ? in.at(i, 0) : 0.0f);
        out.push_back(level);
    }
    return out;
}

TEST(Pipeline, TailKeepsWhatTheEffectAddsWhileItIsAudible) {
    const sound in = numbered_sound(1, 1000);
    std::vector<float> ringing = decayed(in, 48000);
    // The last sample at or above -96 dBFS ends the tail.
    while (std::fabs(ringing.back()) < 1.5848932e-5f)
        ringing.pop_back();
    ASSERT_GT(ringing.size(), 4000u);  // it rings out well within the second
    const struct {
        const char* plugin;
        std::vector<std::string> args;
        size_t frames;
    } cases[] = {
        {"decay", {"--tail", "1"}, ringing.size()},
        {"decay", {"--tail", "1", "-n", "64"}, ringing.size()},
        {"decay", {"--tail", "1", "--normalize"}, ringing.size()},
        {"decay", {"--tail", "0.05"}, 1000 + 2400},  // cut short while still audible
        {"decay", {"--tail", "0"}, 1000},
        {"decay", {}, 1000},
        {"amp", {"--tail", "5"}, 1000},  // adds nothing after the input
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.plugin << " " << testing::PrintToString(c.args));
        const processed p = process(in, test_uri(c.plugin), c.args);
        ASSERT_EQ(0, p.r.status) << p.r.err;
        EXPECT_EQ("", p.r.err);
        ASSERT_EQ(static_cast<int64_t>(c.frames), p.out.frames());
        const float scale = p.r.out.empty() ? 1.0f : 1.0f / *std::max_element(ringing.begin(), ringing.end());
        for (int64_t i = 0; i < p.out.frames() && c.plugin == std::string{"decay"}; ++i)
            ASSERT_EQ(ringing[static_cast<size_t>(i)] * scale, p.out.at(i, 0)) << "frame " << i;
    }
}

}  // namespace
}  // namespace kelvo::test
