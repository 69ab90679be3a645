#include "run_kelvo.h"
#include "sound.h"

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
