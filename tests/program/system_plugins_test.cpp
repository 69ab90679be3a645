// Runs against plugins installed on the system, which no one here wrote.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

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

// The `"key":` number or text after `from` in a JSON text, as it is written.
std::string json_value(const std::string& json, const std::string& key, size_t from = 0) {
    const size_t at = json.find("\"" + key + "\":", from);
    if (at == std::string::npos)
        return "";
    const size_t start = at + key.size() + 3;
    const size_t end =
        json[start] == '"' ? json.find('"', start + 1) + 1 : json.find_first_of(",}", start);
    return json.substr(start, end - start);
}

// What kelvo-info and kelvo tell about one plugin, from the bundles that mention it and from
// every bundle: they must agree for every installed plugin, with LV2_PATH unset and a preset
// of the user's own, written with a prefixed name, in a bundle of its own.
TEST(SystemPlugins, OnePluginsBundlesTellWhatEveryBundleTells) {
    const temp_dir home;
    const std::string bundle = home / ".lv2/mine.lv2";
    std::filesystem::create_directories(bundle);
    std::ofstream(bundle + "/manifest.ttl")
        << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
           "@prefix mda: <http://drobilla.net/plugins/mda/> .\n"
           "<urn:kelvo-test:mine> a pset:Preset ; lv2:appliesTo mda:Detune ;\n"
           "    rdfs:seeAlso <mine.ttl> .\n";
    std::ofstream(bundle + "/mine.ttl")
        << "@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
           "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
           "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n"
           "<urn:kelvo-test:mine> rdfs:label \"Mine\" ;\n"
           "    lv2:port [ lv2:symbol \"detune\" ; pset:value 0.5 ] .\n";
    const temp_dir dir;
    auto options = [&](run_options o, bool full) {
        o.lv2_path = "";
        o.env = {{"HOME", home.path()}};
        if (full)
            o.env.emplace_back("KELVO_FULL_LOAD", "1");
        return o;
    };
    const result list = run_kelvo({"--json"}, options(info_options(), true));
    ASSERT_EQ(0, list.status) << list.err;
    std::vector<std::string> uris;
    for (size_t at = list.out.find("{\"uri\":"); at != std::string::npos;
         at = list.out.find("{\"uri\":", at + 1))
        uris.push_back(json_value(list.out, "uri", at));
    ASSERT_GT(uris.size(), 100u);

    std::mutex lock;
    std::vector<std::string> differences;
    size_t described = 0, ran = 0;
    std::atomic<size_t> next = 0;
    auto compare = [&](const std::string& what, const result& fast, const result& full,
                       const std::string& fast_file = "", const std::string& full_file = "") {
        if (fast.status == full.status && fast.out == full.out && fast.err == full.err &&
            fast_file == full_file)
            return;
        const std::lock_guard hold{lock};
        differences.push_back(what + "\nfast: " + fast.err + fast.out.substr(0, 300) +
                              "\nfull: " + full.err + full.out.substr(0, 300));
    };
    auto count_run = [&] {
        const std::lock_guard hold{lock};
        ++ran;
    };
    auto check = [&](const std::string& uri, const std::string& slot) {
        const std::string name = uri.substr(1, uri.size() - 2);
        result json;
        for (const bool as_json : {false, true}) {
            std::vector<std::string> args{name};
            if (as_json)
                args.insert(args.begin(), "--json");
            const result fast = run_kelvo(args, options(info_options(), false));
            compare("kelvo-info " + (as_json ? "--json " : std::string()) + name, fast,
                    run_kelvo(args, options(info_options(), true)));
            json = fast;
        }
        const size_t channels = json.out.find("\"input_channels\":{");
        if (json_value(json.out, "runnable") != "true" || channels == std::string::npos ||
            json_value(json.out, "output_channels") == "0")
            return;
        const int inputs = std::stoi(json_value(json.out, "minimum", channels));
        const std::string in = dir / (slot + ".wav");
        write_sound(in, numbered_sound(inputs, 2400));
        const std::string out = dir / (slot + "-out");
        // Fresh heap memory holds the same bytes in both loads, which leave the heap in
        // different states: a few plugins read memory they never wrote.
        auto run = [&](bool full, size_t padding, std::string& output) {
            std::filesystem::remove(out);
            run_options o = options({}, full);
            o.env.emplace_back("GLIBC_TUNABLES",
                               "glibc.malloc.tcache_count=0:glibc.malloc.perturb=165");
            o.env.emplace_back("KELVO_TEST_PADDING", std::string(padding, 'x'));
            const result r = run_kelvo({"-i", in, "-o", out, name}, o);
            output = read_file(out);
            return r;
        };
        std::string outputs[2], again;
        result runs[2];
        for (int k = 0; k < 2; ++k)
            runs[k] = run(k == 1, 0, outputs[k]);
        if (runs[0].status == runs[1].status && runs[0].err == runs[1].err &&
            outputs[0] == outputs[1])
            return count_run();
        // Some plugins' samples change from run to run: threads of their own, or stack memory
        // read before it is written, which moves with the stack (`padding`) and the addresses
        // chosen at random. Those must agree on all but the samples.
        bool steady = true;
        for (const size_t padding : {8, 24, 40, 72}) {
            for (int k = 0; k < 2 && steady; ++k) {
                const result r = run(k == 1, padding, again);
                steady = r.status == runs[k].status && again == outputs[k];
            }
        }
        if (steady) {
            compare("kelvo " + name, runs[0], runs[1], outputs[0], outputs[1]);
        } else {
            result fast, full;
            fast.status = runs[0].status;
            full.status = runs[1].status;
            compare("kelvo " + name + " (its samples are not steady)", fast, full,
                    std::to_string(outputs[0].size()), std::to_string(outputs[1].size()));
        }
        count_run();
    };
    std::vector<std::thread> workers;
    for (unsigned w = 0; w < std::max(2u, std::thread::hardware_concurrency()); ++w)
        workers.emplace_back([&, w] {
            for (size_t i; (i = next++) < uris.size();) {
                check(uris[i], std::to_string(w));
                const std::lock_guard hold{lock};
                ++described;
            }
        });
    for (std::thread& w : workers)
        w.join();
    EXPECT_EQ(uris.size(), described);
    EXPECT_GT(ran, uris.size() / 2);
    for (const std::string& d : differences)
        ADD_FAILURE() << d;
    const result mine =
        run_kelvo({"http://drobilla.net/plugins/mda/Detune"}, options(info_options(), false));
    EXPECT_NE(std::string::npos, mine.out.find("  Mine: urn:kelvo-test:mine\n")) << mine.out;
}

}  // namespace
}  // namespace kelvo::test
