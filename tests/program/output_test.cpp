#include "run_kelvo.h"
#include "sound.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace kelvo::test {
namespace {

constexpr float inf = std::numeric_limits<float>::infinity();

constexpr char nan_warning[] = "kelvo: warning: NaN detected in audio output\n";
constexpr char infinity_warning[] = "kelvo: warning: infinity value detected in audio output\n";
constexpr char clip_warning[] =
    "kelvo: warning: out of range value detected in audio output, clipping\n";
constexpr char unmeasurable_warning[] =
    "kelvo: warning: the output has no block above -70 LUFS (silent, or shorter than 0.4 s): "
    "its loudness is left as it is\n";
constexpr char silent_warning[] =
    "kelvo: warning: the plugin produced silent output, cannot normalize\n";

// A mono float sound of `frames` copies of `value`.
sound filled(int64_t frames, float value) {
    sound s;
    s.samples.assign(static_cast<size_t>(frames), value);
    return s;
}

TEST(Output, BadSamplesAreFixedAndEachKindReportedOnce) {
    // 1100 frames in blocks of 512: the warnings must not repeat from block to block.
    const struct {
        const char* value;
        float written;
        std::string err;
    } cases[] = {
        {"0.5", 0.5f, ""},
        {"1", 1.0f, ""},
        {"-1", -1.0f, ""},
        {"1.5", 1.0f, clip_warning},
        {"-1.5", -1.0f, clip_warning},
        {"nan", 0.0f, nan_warning},
        {"inf", 1.0f, std::string{infinity_warning} + clip_warning},
        {"-inf", -1.0f, std::string{infinity_warning} + clip_warning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const processed p = process(filled(1100, 0.0f), test_uri("constant"),
                                    {"-c", std::string{"value:"} + c.value});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("", p.r.out);
        EXPECT_EQ(c.err, p.r.err);
        EXPECT_EQ(filled(1100, c.written).samples, p.out.samples);
    }
}

TEST(Output, NormalizeScalesThePeakToFullScale) {
    const struct {
        const char* value;
        float written;
        const char* out;
        std::string err;
    } cases[] = {
        {"2", 1.0f, "Applying 0.5x gain (-6.0206 dB) to all output channels\n", ""},
        {"0.5", 1.0f, "Applying 2x gain (6.0206 dB) to all output channels\n", ""},
        {"-0.25", -1.0f, "Applying 4x gain (12.0412 dB) to all output channels\n", ""},
        {"0", 0.0f, "", silent_warning},
        {"nan", 0.0f, "", std::string{nan_warning} + silent_warning},
        // Infinities never count for the peak, but must not reach the file as such.
        {"inf", 1.0f, "", std::string{infinity_warning} + silent_warning},
        {"-inf", -1.0f, "", std::string{infinity_warning} + silent_warning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        const processed p = process(filled(1100, 0.0f), test_uri("constant"),
                                    {"--normalize", "-c", std::string{"value:"} + c.value});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ(c.out, p.r.out);
        EXPECT_EQ(c.err, p.r.err);
        EXPECT_EQ(filled(1100, c.written).samples, p.out.samples);
    }
}

// A stereo 1 kHz sine at -23 dBFS, `seconds` long.
sound stereo_sine(double seconds) {
    sound s;
    s.channels = 2;
    for (int64_t i = 0; i < static_cast<int64_t>(seconds * s.samplerate); ++i) {
        const auto x = static_cast<float>(0.0707946 * std::sin(2 * M_PI * 1000 * static_cast<double>(i) / 48000));
        s.samples.insert(s.samples.end(), {x, x});
    }
    return s;
}

TEST(Output, LoudnessScalesToTheTargetOrWarns) {
    const struct {
        sound in;
        std::vector<std::string> args;
        const char* out;
        const char* err;
        double lufs;  // of the output read back; 0: not measurable, the input is kept
    } cases[] = {
        {stereo_sine(3), {"--loudness", "-16"},
         "Applying 6.99 dB gain: -22.99 LUFS to -16.00 LUFS, true peak -16.01 dBTP\n", "", -16},
        {stereo_sine(3), {"--loudness", "-9", "--true-peak", "-12.5"},
         "Applying 10.50 dB gain: -22.99 LUFS to -12.49 LUFS, true peak -12.50 dBTP\n",
         "kelvo: warning: the true-peak ceiling of -12.50 dBTP holds the output at -12.49 LUFS, "
         "short of -9.00 LUFS\n",
         -12.5},
        {filled(48000, 0.0f), {"--loudness", "-16"}, "", unmeasurable_warning, 0},
        {stereo_sine(0.3), {"--loudness", "-16"}, "", unmeasurable_warning, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.out);
        const processed p = process(c.in, test_uri(c.in.channels == 2 ? "stereo" : "amp"), c.args);
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ(c.out, p.r.out);
        EXPECT_EQ(c.err, p.r.err);
        ASSERT_EQ(c.in.samples.size(), p.out.samples.size());
        if (c.lufs == 0) {
            EXPECT_EQ(c.in.samples, p.out.samples);
            continue;
        }
        ebur128_state* meter = ebur128_init(2, 48000, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
        ebur128_add_frames_float(meter, p.out.samples.data(), p.out.samples.size() / 2);
        double lufs = 0, left = 0, right = 0;
        ebur128_loudness_global(meter, &lufs);
        ebur128_true_peak(meter, 0, &left);
        ebur128_true_peak(meter, 1, &right);
        ebur128_destroy(&meter);
        EXPECT_NEAR(c.lufs, lufs, 0.1);
        EXPECT_LE(20 * std::log10(std::max(left, right)), c.lufs < -12 ? -12.5 : -1.0);
    }
}

TEST(Output, NormalizeSetsInfinitiesToFullScaleAndScalesTheRest) {
    // Finite samples up to 0.25, so the gain is exactly 4.
    sound in;
    for (int i = 0; i < 1100; ++i)
        in.samples.push_back(static_cast<float>(i % 257) / 1024.0f);
    in.samples[3] = inf;
    in.samples[700] = -inf;
    in.samples[1099] = inf;
    const processed p = process(in, test_uri("amp"), {"--normalize", "-n", "64"});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("Applying 4x gain (12.0412 dB) to all output channels\n", p.r.out);
    EXPECT_EQ(infinity_warning, p.r.err);
    std::vector<float> expected;
    for (const float x : in.samples)
        expected.push_back(std::isinf(x) ? std::copysign(1.0f, x) : x * 4);
    EXPECT_EQ(expected, p.out.samples);
}

TEST(Output, NormalizeTreatsADenormalPeakAsSilence) {
    // 1 / peak would overflow to infinity: the samples are left as they are.
    const float tiny = 1e-40f;
    ASSERT_EQ(FP_SUBNORMAL, std::fpclassify(tiny));
    sound in = filled(1100, tiny);
    in.samples[5] = -tiny;
    const processed plain = process(in, test_uri("amp"), {"--normalize"});
    EXPECT_EQ(0, plain.r.status);
    EXPECT_EQ("", plain.r.out);
    EXPECT_EQ(silent_warning, plain.r.err);
    EXPECT_EQ(in.samples, plain.out.samples);

    in.samples[9] = -inf;
    const processed with_infinity = process(in, test_uri("amp"), {"--normalize"});
    EXPECT_EQ(0, with_infinity.r.status);
    EXPECT_EQ("", with_infinity.r.out);
    EXPECT_EQ(std::string{infinity_warning} + silent_warning, with_infinity.r.err);
    in.samples[9] = -1.0f;
    EXPECT_EQ(in.samples, with_infinity.out.samples);
}

TEST(Output, NormalizeWithLatencyKeepsTheInputsLengthAndCountsTheDroppedFrames) {
    // The loudest sample is 0.5; with the plugin that only reports its latency it lies in the
    // dropped frames, and still sets the gain.
    sound in = numbered_sound(1, 900);
    in.samples[50] = 0.5f;
    const struct {
        const char* plugin;
        int64_t moved;
    } cases[] = {{"delay", 0}, {"artificial_latency", 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.plugin);
        const processed p =
            process(in, test_uri(c.plugin), {"--normalize", "-n", "64", "-c", "latency:100"});
        EXPECT_EQ(0, p.r.status);
        EXPECT_EQ("Applying 2x gain (6.0206 dB) to all output channels\n", p.r.out);
        EXPECT_EQ("", p.r.err);
        std::vector<float> expected(900, 0.0f);
        for (int64_t i = 0; i + c.moved < 900; ++i)
            expected[static_cast<size_t>(i)] = in.samples[static_cast<size_t>(i + c.moved)] * 2;
        EXPECT_EQ(expected, p.out.samples);
    }
}

TEST(Output, NormalizeOnAnEmptyInputWarnsOfSilence) {
    const processed p = process(filled(0, 0.0f), test_uri("amp"), {"--normalize"});
    EXPECT_EQ(0, p.r.status);
    EXPECT_EQ("", p.r.out);
    EXPECT_EQ(silent_warning, p.r.err);
    EXPECT_TRUE(p.written);
    EXPECT_EQ(0, p.out.frames());
}

}  // namespace
}  // namespace kelvo::test
