// The output's format and depth: --format, --bits, and what the output's name says.

#include "sound.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <random>

namespace kelvo::test {
namespace {

constexpr int pcm16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
constexpr int float_wav = SF_FORMAT_WAV | SF_FORMAT_FLOAT;

TEST(Format, WritesEachFormatAndDepthAskedFor) {
    const struct {
        int input;
        const char* format;  // null: not given
        const char* bits;
        int written;
    } cases[] = {
        {pcm16, "wav", "8", SF_FORMAT_WAV | SF_FORMAT_PCM_U8},
        {pcm16, "wav", "24", SF_FORMAT_WAV | SF_FORMAT_PCM_24},
        {pcm16, "wav", "32", SF_FORMAT_WAV | SF_FORMAT_PCM_32},
        {pcm16, "WAV", "double", SF_FORMAT_WAV | SF_FORMAT_DOUBLE},
        {pcm16, "w64", "8", SF_FORMAT_W64 | SF_FORMAT_PCM_U8},
        {pcm16, "rf64", "float", SF_FORMAT_RF64 | SF_FORMAT_FLOAT},
        {pcm16, "aiff", "8", SF_FORMAT_AIFF | SF_FORMAT_PCM_S8},
        {pcm16, "caf", "24", SF_FORMAT_CAF | SF_FORMAT_PCM_24},
        {pcm16, "au", "float", SF_FORMAT_AU | SF_FORMAT_FLOAT},
        {pcm16, "flac", "8", SF_FORMAT_FLAC | SF_FORMAT_PCM_S8},
        {pcm16, "flac", "24", SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {pcm16, "ogg", nullptr, SF_FORMAT_OGG | SF_FORMAT_VORBIS},
        {pcm16, "opus", nullptr, SF_FORMAT_OGG | SF_FORMAT_OPUS},
        {pcm16, "mp3", nullptr, SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III},
        // Without --bits the input's depth stays where the format holds it, else its usual.
        {pcm16, "flac", nullptr, SF_FORMAT_FLAC | SF_FORMAT_PCM_16},
        {float_wav, "flac", nullptr, SF_FORMAT_FLAC | SF_FORMAT_PCM_24},
        {float_wav, "aiff", nullptr, SF_FORMAT_AIFF | SF_FORMAT_FLOAT},
        // Without --format the input's format stays.
        {pcm16, nullptr, "float", float_wav},
        {float_wav, nullptr, "16", pcm16},
        {pcm16, nullptr, nullptr, pcm16},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.input << " " << (c.format ? c.format : "-")
                                        << " " << (c.bits ? c.bits : "-"));
        sound in = numbered_sound(2, 4800);
        in.format = c.input;
        std::vector<std::string> args;
        for (const auto& [option, value] : {std::pair{"--format", c.format}, {"--bits", c.bits}}) {
            if (value)
                args.insert(args.end(), {option, value});
        }
        const processed p = process(in, test_uri("stereo"), args);
        ASSERT_EQ(0, p.r.status) << p.r.err;
        EXPECT_EQ("", p.r.err);
        EXPECT_EQ(c.written, p.out.format & (SF_FORMAT_TYPEMASK | SF_FORMAT_SUBMASK));
        EXPECT_EQ(2, p.out.channels);
        EXPECT_NEAR(4800.0, static_cast<double>(p.out.frames()), 1200);  // codecs may pad
    }
}

TEST(Format, RefusesWhatTheFormatCannotHoldBeforeTouchingTheOutput) {
    const struct {
        int input;
        int rate;
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {pcm16, 48000, {"--format", "mp4"},
         "kelvo: error: unknown output format 'mp4' (known: wav, w64, rf64, aiff, caf, au, flac, "
         "ogg, opus, mp3)\n"},
        {pcm16, 48000, {"--bits", "12"},
         "kelvo: error: invalid bit depth '12' (8, 16, 24, 32, float or double)\n"},
        {pcm16, 48000, {"--format", "flac", "--bits", "float"},
         "kelvo: error: the FLAC format cannot hold float samples\n"},
        {pcm16, 48000, {"--format", "ogg", "--bits", "16"},
         "kelvo: error: the Ogg Vorbis format has no bit depth to choose: leave out --bits\n"},
        {SF_FORMAT_FLAC | SF_FORMAT_PCM_16, 48000, {"--bits", "double"},
         "kelvo: error: the FLAC format cannot hold double samples\n"},
        {pcm16, 48000, {"--format", "flac", "--quality", "5"},
         "kelvo: error: the FLAC format has no quality to choose: leave out --quality\n"},
        {pcm16, 48000, {"--quality", "5"},
         "kelvo: error: the WAV format has no quality to choose: leave out --quality\n"},
        {pcm16, 44100, {"--format", "opus"},
         "kelvo: error: could not open output file: Error : Opus only supports sample rates of "
         "8000, 12000, 16000, 24000, and 48000.\n"},
    };
    const temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        sound in = numbered_sound(2, 100, c.rate);
        in.format = c.input;
        write_sound(dir / "in", in);
        write_sound(dir / "out", in);
        const std::string before = read_file(dir / "out");
        std::vector<std::string> args{"-i", dir / "in", "-o", dir / "out", test_uri("stereo")};
        args.insert(args.begin(), c.args.begin(), c.args.end());
        const result r = run_kelvo(args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(before, read_file(dir / "out"));
    }
}

// Stereo pink noise at about -20 dBFS: what a lossy encoder finds hard to make small.
sound pink_noise(int rate, double seconds) {
    sound s;
    s.channels = 2;
    s.samplerate = rate;
    s.format = pcm16;
    std::mt19937 random{7};
    std::uniform_real_distribution<double> white{-1, 1};
    const auto frames = static_cast<size_t>(rate * seconds);
    s.samples.resize(frames * 2);
    for (size_t c = 0; c < 2; ++c) {
        double b[7] = {};
        for (size_t i = 0; i < frames; ++i) {
            const double w = white(random);
            b[0] = 0.99886 * b[0] + w * 0.0555179;
            b[1] = 0.99332 * b[1] + w * 0.0750759;
            b[2] = 0.96900 * b[2] + w * 0.1538520;
            b[3] = 0.86650 * b[3] + w * 0.3104856;
            b[4] = 0.55000 * b[4] + w * 0.5329522;
            b[5] = -0.7616 * b[5] - w * 0.0168980;
            const double pink = b[0] + b[1] + b[2] + b[3] + b[4] + b[5] + b[6] + w * 0.5362;
            b[6] = w * 0.115926;
            s.samples[i * 2 + c] = static_cast<float>(pink * 0.05);
        }
    }
    return s;
}

TEST(Format, QualityOrdersTheBitRateAndDefaultsHigh) {
    const struct {
        const char* format;
        int rate;
        double default_floor;  // kbps without --quality
    } cases[] = {{"mp3", 44100, 160}, {"ogg", 44100, 160}, {"opus", 48000, 0}};
    const temp_dir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.format);
        const double seconds = 4;
        write_sound(dir / "in", pink_noise(c.rate, seconds));
        const auto kbps = [&](std::vector<std::string> args) {
            args.insert(args.end(), {"--format", c.format, "-i", dir / "in", "-o", dir / "out",
                                     test_uri("stereo")});
            const result r = run_kelvo(args);
            EXPECT_EQ(0, r.status) << r.err;
            struct stat st {};
            stat((dir / "out").c_str(), &st);
            EXPECT_EQ(2, read_sound(dir / "out").channels);
            return static_cast<double>(st.st_size) * 8 / seconds / 1000;
        };
        const double low = kbps({"--quality", "1"});
        const double middle = kbps({"--quality", "5"});
        const double high = kbps({"--quality", "9.5"});
        EXPECT_LT(low, middle);
        EXPECT_LT(middle, high);
        EXPECT_GE(kbps({}), c.default_floor);
    }
}

TEST(Format, WarnsOnceWhenTheNameSaysAnotherFormat) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 100));
    for (const char* name : {"out.flac", "out.AIFF", "out.wav", "out", "out.snd"}) {
        SCOPED_TRACE(name);
        const result r = run_kelvo({"-i", dir / "in.wav", "-o", dir / name, test_uri("amp")});
        ASSERT_EQ(0, r.status);
        const bool misleading = name == std::string{"out.flac"} || name == std::string{"out.AIFF"};
        EXPECT_EQ(misleading ? "kelvo: warning: '" + dir / name +
                                   "' is written in the WAV format, whatever its name says; "
                                   "--format chooses another\n"
                             : "",
                  r.err);
        EXPECT_EQ(float_wav, read_sound(dir / name).format);
    }
}

}  // namespace
}  // namespace kelvo::test
