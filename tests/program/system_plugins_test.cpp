// Runs against plugins installed on the system, which no one here wrote.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace kelvo::test {
namespace {

constexpr char system_lv2_path[] = "/usr/lib/lv2";

result run_installed(const std::vector<std::string>& args) {
    run_options o;
    o.lv2_path = system_lv2_path;
    return run_kelvo(args, o);
}

// Each plugin needs one of what the host offers: a feature, an atom or a CV port.
TEST(SystemPlugins, RunsPluginsThatNeedFeaturesOrAtomAndCVPorts) {
    const temp_dir dir;
    const struct {
        const char* what;
        const char* uri;
        int channels;
    } cases[] = {
        {"urid:map, atom input", "http://lv2plug.in/plugins/eg-midigate", 1},
        {"CV inputs", "http://drobilla.net/plugins/fomp/mvclpf1", 1},
        {"lv2:isLive", "http://drobilla.net/plugins/fomp/reverb", 2},
        {"urid:map, optional atom ports of 4 KiB", "http://lsp-plug.in/plugins/lv2/comp_delay_mono",
         1},
        {"urid:map, optional atom ports", "http://calf.sourceforge.net/plugins/Filterclavier", 2},
        {"options:options", "urn:dragonfly:early", 2},
        {"options, worker, required atom ports", "urn:dragonfly:room", 2},
        {"options, boundedBlockLength, worker", "http://gareus.org/oss/lv2/zeroconvolv#Mono", 1},
        {"required atom input and output", "http://gareus.org/oss/lv2/balance", 2},
        {"log:log, MIDI input", "http://gareus.org/oss/lv2/fat1", 1},
        // These write their optional outputs and meters whether they are connected or not.
        {"optional audio output", "http://calf.sourceforge.net/plugins/BassEnhancer", 1},
        {"optional control outputs", "http://calf.sourceforge.net/plugins/ReverseDelay", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ": " + c.uri);
        const sound in = numbered_sound(c.channels, 4800);
        write_sound(dir / "in.wav", in);
        const result r = run_installed({"-i", dir / "in.wav", "-o", dir / "out.wav", c.uri});
        ASSERT_EQ(0, r.status) << r.err;
        const sound out = read_sound(dir / "out.wav");
        EXPECT_EQ(in.frames(), out.frames());
        EXPECT_TRUE(std::all_of(out.samples.begin(), out.samples.end(),
                                [](float x) { return std::isfinite(x); }));
    }
}

// A mono plugin on a stereo file: an instance for each side.
TEST(SystemPlugins, AmplifierScalesEverySampleByItsGainInDecibels) {
    const temp_dir dir;
    for (const int channels : {1, 2}) {
        SCOPED_TRACE(channels);
        const sound in = numbered_sound(channels, 3000, 44100);
        write_sound(dir / "in.wav", in);
        const result r = run_installed({"-i", dir / "in.wav", "-o", dir / "out.wav", "-c",
                                        "gain:-6", "http://lv2plug.in/plugins/eg-amp"});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ("", r.err);
        const sound out = read_sound(dir / "out.wav");
        ASSERT_EQ(in.frames(), out.frames());
        ASSERT_EQ(channels, out.channels);
        EXPECT_EQ(44100, out.samplerate);
        const double factor = std::pow(10.0, -6.0 / 20.0);
        for (int64_t i = 0; i < in.frames(); ++i) {
            for (int c = 0; c < channels; ++c)
                ASSERT_NEAR(in.at(i, c) * factor, out.at(i, c),
                            1e-6 * std::fabs(in.at(i, c)) + 1e-9)
                    << "frame " << i << " of channel " << c;
        }
    }
}

// The preset's values, as its Turtle gives them, set one by one give the same output.
TEST(SystemPlugins, APresetSetsWhatItsValuesSet) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(2, 4800));
    const std::string uri = "http://drobilla.net/plugins/mda/Detune";
    const std::vector<std::string> by_preset{"-p", "Out Of Tune"};
    const std::vector<std::string> by_values{"-c", "detune:0.8", "-c", "mix:0.7", "-c",
                                             "output:0.5", "-c", "latency:0.5"};
    std::string outputs[2];
    for (int k = 0; k < 2; ++k) {
        std::vector<std::string> args{"-i", dir / "in.wav", "-o", dir / "out.wav"};
        const auto& set = k == 0 ? by_preset : by_values;
        args.insert(args.end(), set.begin(), set.end());
        args.push_back(uri);
        const result r = run_installed(args);
        ASSERT_EQ(0, r.status) << r.err;
        outputs[k] = read_file(dir / "out.wav");
    }
    EXPECT_EQ(outputs[1], outputs[0]);
    const result defaults = run_installed({"-i", dir / "in.wav", "-o", dir / "out.wav", uri});
    ASSERT_EQ(0, defaults.status);
    EXPECT_NE(outputs[0], read_file(dir / "out.wav"));  // the preset is not the defaults
}

TEST(SystemPlugins, AReverbsTailRingsOutBeforeItsLimit) {
    const temp_dir dir;
    const sound in = numbered_sound(2, 4800);
    write_sound(dir / "in.wav", in);
    const result r = run_installed(
        {"-i", dir / "in.wav", "-o", dir / "out.wav", "--tail", "5", "urn:dragonfly:plate"});
    ASSERT_EQ(0, r.status) << r.err;
    const sound out = read_sound(dir / "out.wav");
    EXPECT_GT(out.frames(), in.frames() + 4800);       // rings on for more than 0.1 s
    EXPECT_LT(out.frames(), in.frames() + 5 * 48000);  // and dies away before the limit
    float last = 0;
    for (int c = 0; c < 2; ++c)
        last = std::max(last, std::fabs(out.at(out.frames() - 1, c)));
    EXPECT_GE(last, 1.5848932e-5f);  // the last frame kept is audible
}

// This plugin reports a latency of `delay` milliseconds but does not delay its audio, so
// compensation moves the sound earlier by that much.
TEST(SystemPlugins, CompensatesAReportedLatencyThatIsNotThere) {
    const temp_dir dir;
    const sound in = numbered_sound(1, 2000, 48000);
    write_sound(dir / "in.wav", in);
    const std::string uri = "http://plugin.org.uk/swh-plugins/artificialLatency";
    const int64_t latency = 480;  // 10 ms at 48 kHz
    for (const bool compensate : {true, false}) {
        SCOPED_TRACE(compensate ? "compensated" : "--with-latency");
        std::vector<std::string> args{"-i", dir / "in.wav", "-o", dir / "out.wav",
                                      "-c", "delay:10"};
        if (!compensate)
            args.push_back("--with-latency");
        args.push_back(uri);
        const result r = run_installed(args);
        ASSERT_EQ(0, r.status) << r.err;
        const sound out = read_sound(dir / "out.wav");
        ASSERT_EQ(in.frames(), out.frames());
        const int64_t shift = compensate ? latency : 0;
        for (int64_t i = 0; i < out.frames(); ++i) {
            const float expected = i + shift < in.frames() ? in.at(i + shift, 0) : 0.0f;
            ASSERT_EQ(expected, out.at(i, 0)) << "frame " << i;
        }
    }
}

TEST(SystemPlugins, StereoEffectRunsOnAStereoFile) {
    const temp_dir dir;
    sound in = numbered_sound(2, 5000, 44100);
    in.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    write_sound(dir / "in.wav", in);
    const result r = run_installed(
        {"-i", dir / "in.wav", "-o", dir / "out.wav", "http://drobilla.net/plugins/mda/Overdrive"});
    ASSERT_EQ(0, r.status) << r.err;
    const sound out = read_sound(dir / "out.wav");
    EXPECT_EQ(2, out.channels);
    EXPECT_EQ(in.frames(), out.frames());
    EXPECT_EQ(SF_FORMAT_WAV | SF_FORMAT_PCM_16, out.format);
    float loudest = 0;
    for (const float x : out.samples)
        loudest = std::max(loudest, std::fabs(x));
    EXPECT_GT(loudest, 0.0f);
}

}  // namespace
}  // namespace kelvo::test
