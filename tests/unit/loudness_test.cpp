#include "audio/loudness.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <sndfile.h>

#include <stdlib.h>
#include <unistd.h>

#include <cmath>
#include <numbers>
#include <string>
#include <vector>

using namespace kelvo;

namespace {

using channels = std::vector<std::vector<float>>;

constexpr double rate = 48000;

// A 1 kHz sine at `dbfs` for `seconds`, appended to `samples`.
void add_sine(std::vector<float>& samples, double dbfs, double seconds, double hz = 1000,
              double phase = 0) {
    const double amplitude = std::pow(10.0, dbfs / 20);
    const auto frames = static_cast<size_t>(seconds * rate);
    for (size_t i = 0; i < frames; ++i) {
        const double t = static_cast<double>(samples.size()) / rate;
        samples.push_back(static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * hz * t + phase)));
    }
}

std::vector<float> sine(double dbfs, double seconds = 3, double hz = 1000, double phase = 0) {
    std::vector<float> s;
    add_sine(s, dbfs, seconds, hz, phase);
    return s;
}

whole_output stored(const channels& c) {
    const auto frames = static_cast<int64_t>(c[0].size());
    whole_output whole = make_whole_output(static_cast<uint32_t>(c.size()),
                                           static_cast<uint64_t>(frames));
    append(whole, c, 0, frames);
    return whole;
}

channels scaled(channels c, float gain) {
    for (std::vector<float>& channel : c) {
        for (float& x : channel)
            x *= gain;
    }
    return c;
}

loudness_measurement measure(const channels& c) {
    whole_output whole = stored(c);
    return measure_loudness(whole, rate, loudness_channels(static_cast<uint32_t>(c.size()), {}));
}

// libebur128's true peak over every frame at once, which measure_loudness must equal.
double full_true_peak(const channels& c) {
    ebur128_state* state =
        ebur128_init(static_cast<unsigned>(c.size()), static_cast<unsigned long>(rate),
                     EBUR128_MODE_TRUE_PEAK);
    std::vector<float> frames;
    for (size_t i = 0; i < c[0].size(); ++i) {
        for (const std::vector<float>& channel : c)
            frames.push_back(channel[i]);
    }
    ebur128_add_frames_float(state, frames.data(), c[0].size());
    double peak = 0;
    for (unsigned k = 0; k < c.size(); ++k) {
        double p = 0;
        ebur128_true_peak(state, k, &p);
        peak = std::max(peak, p);
    }
    ebur128_destroy(&state);
    return peak;
}

}  // namespace

TEST(Loudness, MeasuresTheTech3341CasesAndReachesTheTarget) {
    std::vector<float> gated;
    add_sine(gated, -36, 2);
    add_sine(gated, -23, 12);
    add_sine(gated, -36, 2);
    const std::vector<float> silent(static_cast<size_t>(5 * rate), 0.0f);
    const struct {
        const char* name;
        channels signal;
        double lufs;
    } cases[] = {
        {"stereo -23 dBFS", {sine(-23), sine(-23)}, -23.0},
        {"stereo -33 dBFS", {sine(-33), sine(-33)}, -33.0},
        {"gated -36/-23/-36 dBFS", {gated, gated}, -23.0},
        {"mono -23 dBFS", {sine(-23)}, -26.01},
        // L R C at -28, the surrounds at -24.5 weighted 1.41, the LFE loud but left out.
        {"5.1",
         {sine(-28), sine(-28), sine(-28), sine(-12), sine(-24.5), sine(-24.5)},
         -21.32},
        {"three channels count 1.0 each", {sine(-23), sine(-23), silent}, -23.0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const loudness_measurement m = measure(c.signal);
        EXPECT_NEAR(c.lufs, m.lufs, 0.1);
        const loudness_gain g = plan_loudness_gain(m, {-16, -1});
        ASSERT_TRUE(g.measurable);
        EXPECT_FALSE(g.capped);
        EXPECT_NEAR(-16, measure(scaled(c.signal, g.gain)).lufs, 0.1);
    }
}

TEST(Loudness, TheCeilingHoldsOnTheTruePeakNotTheSamplePeak) {
    // At a quarter of the rate with a 45 degree phase, every sample lies 3 dB below the peak.
    const channels signal{sine(-6.02, 2, rate / 4, std::numbers::pi / 4)};
    const loudness_measurement m = measure(signal);
    EXPECT_NEAR(0.3536, std::fabs(signal[0][0]), 1e-4);
    EXPECT_NEAR(0.5, m.true_peak, 0.01);
    // +5.5 dB keeps the samples at -3.5 dBFS but would take the true peak over -1 dBTP.
    const loudness_gain g = plan_loudness_gain(m, {m.lufs + 5.5, -1});
    EXPECT_TRUE(g.capped);
    EXPECT_NEAR(-1, g.true_peak_after_dbtp, 1e-6);
    EXPECT_LE(g.true_peak_after_dbtp, -1);
    EXPECT_NEAR(m.lufs + 4.92, g.lufs_after, 0.05);
    const loudness_measurement after = measure(scaled(signal, g.gain));
    EXPECT_LE(20 * std::log10(after.true_peak), -1 + 1e-5);
    EXPECT_NEAR(g.lufs_after, after.lufs, 0.01);
}

TEST(Loudness, TruePeakOfTheLoudSegmentsEqualsTheFullMeasurement) {
    // Speech-like bursts, quiet stretches that need no oversampling, and inter-sample peaks
    // where a segment starts, at the very first frame, and in a quiet channel.
    std::vector<float> bursts;
    for (int i = 0; i < 40; ++i)
        add_sine(bursts, -40 + (i * 7) % 37, 0.05 + 0.01 * (i % 5), 300 + 50 * i);
    std::vector<float> edge = bursts;
    std::vector<float> first = bursts;
    for (size_t i = 0; i < 9; ++i) {
        const float x = (i % 4 < 2 ? 0.45f : -0.45f);
        edge[4096 * 5 - 4 + i] = x;
        first[i] = x;
    }
    std::vector<float> quiet(bursts.size(), 0.001f);
    quiet[70000] = 0.9f;
    quiet[70001] = -0.9f;
    const channels cases[] = {{bursts}, {edge, bursts}, {bursts, first}, {bursts, quiet}};
    for (const channels& c : cases) {
        SCOPED_TRACE(c.size());
        EXPECT_EQ(full_true_peak(c), measure(c).true_peak);
    }
}

TEST(Loudness, NothingAboveTheGateGetsNoGain) {
    const channels cases[] = {
        {std::vector<float>(48000, 0.0f)},
        {sine(-80, 1)},
        {sine(-10, 0.3), sine(-10, 0.3)},  // shorter than one 400 ms block
        {std::vector<float>{}},
    };
    for (const channels& c : cases) {
        SCOPED_TRACE(c[0].size());
        const loudness_gain g = plan_loudness_gain(measure(c), {-16, -1});
        EXPECT_FALSE(g.measurable);
        EXPECT_EQ(1.0f, g.gain);
    }
}

TEST(Loudness, WeighsChannelsByTheFilesMapElseTheWavOrder) {
    const int L = EBUR128_LEFT, R = EBUR128_RIGHT, C = EBUR128_CENTER, lfe = EBUR128_UNUSED,
              Ls = EBUR128_LEFT_SURROUND, Rs = EBUR128_RIGHT_SURROUND;
    const struct {
        uint32_t channels;
        std::vector<int> map;
        std::vector<int> kinds;
    } cases[] = {
        {1, {}, {L}},
        {2, {SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_LEFT}, {L, R}},
        {4, {}, {C, C, C, C}},
        {6, {}, {L, R, C, lfe, Ls, Rs}},
        {8, {}, {L, R, C, lfe, Ls, Rs, Ls, Rs}},
        {6,
         {SF_CHANNEL_MAP_LEFT, SF_CHANNEL_MAP_RIGHT, SF_CHANNEL_MAP_SIDE_LEFT,
          SF_CHANNEL_MAP_SIDE_RIGHT, SF_CHANNEL_MAP_CENTER, SF_CHANNEL_MAP_LFE},
         {C, C, Ls, Rs, C, lfe}},
        {6, {SF_CHANNEL_MAP_LFE}, {L, R, C, lfe, Ls, Rs}},  // a map of another count
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.channels << " channels, map of " << c.map.size());
        EXPECT_EQ(c.kinds, loudness_channels(c.channels, c.map));
    }
}

TEST(Loudness, ReadsTheInputsChannelMapAndReportsOneLine) {
    // Six channels with a back centre where the WAV order has its LFE: counted by the map,
    // the 5.1 of the table above gains a -28 dBFS channel.
    char path[] = "/tmp/kelvo_loudness_XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    const channels signal{sine(-28), sine(-28), sine(-28), sine(-28), sine(-24.5), sine(-24.5)};
    SF_INFO info{};
    info.samplerate = static_cast<int>(rate);
    info.channels = 6;
    info.format = SF_FORMAT_WAVEX | SF_FORMAT_FLOAT;
    SNDFILE* file = sf_open(path, SFM_WRITE, &info);
    ASSERT_NE(nullptr, file);
    int map[] = {SF_CHANNEL_MAP_LEFT,        SF_CHANNEL_MAP_RIGHT,     SF_CHANNEL_MAP_CENTER,
                 SF_CHANNEL_MAP_REAR_CENTER, SF_CHANNEL_MAP_SIDE_LEFT, SF_CHANNEL_MAP_SIDE_RIGHT};
    sf_command(file, SFC_SET_CHANNEL_MAP_INFO, map, sizeof map);
    std::vector<float> frame(6, 0.0f);
    sf_writef_float(file, frame.data(), 1);
    sf_close(file);
    file = sf_open(path, SFM_READ, &info);
    ASSERT_NE(nullptr, file);
    whole_output whole = stored(signal);
    FILE* report = tmpfile();
    const std::optional<float> gain = apply_loudness(whole, {-23, -1}, rate, file, report);
    sf_close(file);
    unlink(path);
    ASSERT_TRUE(gain.has_value());
    EXPECT_NEAR(std::pow(10.0f, -2.13f / 20), *gain, 1e-3);
    std::string line(200, '\0');
    rewind(report);
    line.resize(std::fread(line.data(), 1, line.size(), report));
    fclose(report);
    EXPECT_EQ("Applying -2.13 dB gain: -20.87 LUFS to -23.00 LUFS, true peak -26.63 dBTP\n", line);
}
