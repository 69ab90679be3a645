// Failures of the machine and of the user's files: none may end in status 0, lose the input
// or leave the output half-truncated.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

#include <cstdio>

namespace kelvo::test {
namespace {

constexpr char out_of_memory[] = "kelvo: error: Cannot allocate memory\n";

TEST(Faults, AFullDiskIsAnError) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 1000));
    const result r = run_kelvo({"-i", dir / "in.wav", "-o", "/dev/full", test_uri("amp")});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("kelvo: error: could not open output file: System error : No space left on device.\n",
              r.err);
}

TEST(Faults, AShortWriteStopsTheRunWithAnError) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(2, 100000));
    for (const char* mode : {"", "--normalize"}) {
        SCOPED_TRACE(mode);
        run_options o;
        o.file_size_limit = 20000;  // the header fits, the samples do not
        std::vector<std::string> args{"-i", dir / "in.wav", "-o", dir / "out.wav"};
        if (*mode)
            args.push_back(mode);
        args.push_back(test_uri("stereo"));
        const result r = run_kelvo(args, o);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("kelvo: error: could not write output file: System error : File too large.\n",
                  r.err);
    }
}

TEST(Faults, AReadErrorIsNotTheEndOfTheFile) {
    const temp_dir dir;
    sound in = numbered_sound(1, 48000);
    in.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    write_sound(dir / "in.flac", in);
    std::string bytes = read_file(dir / "in.flac");
    for (size_t i = bytes.size() / 2; i < bytes.size() / 2 + 3000; ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5a);
    std::FILE* f = std::fopen((dir / "bad.flac").c_str(), "wb");
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
    for (const char* mode : {"", "--normalize"}) {
        SCOPED_TRACE(mode);
        std::vector<std::string> args{"-i", dir / "bad.flac", "-o",      dir / "out.flac",
                                      "-c", "latency:100",    "--timing"};
        if (*mode)
            args.push_back(mode);
        args.push_back(test_uri("delay"));
        const result r = run_kelvo(args);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ(0u, r.err.find("kelvo: error: could not read input file: ")) << r.err;
        EXPECT_EQ("", r.out);  // no gain line, no timing report after the error
    }
}

TEST(Faults, NeverWritesOverTheInput) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 1000));
    const std::string original = read_file(dir / "in.wav");
    ASSERT_EQ(0, symlink((dir / "in.wav").c_str(), (dir / "symlink.wav").c_str()));
    ASSERT_EQ(0, link((dir / "in.wav").c_str(), (dir / "hardlink.wav").c_str()));
    const std::string same_paths[] = {dir / "in.wav", dir / "symlink.wav", dir / "hardlink.wav",
                                      dir.path() + "/./in.wav"};
    for (const std::string& out : same_paths) {
        SCOPED_TRACE(out);
        const result r = run_kelvo({"-i", dir / "in.wav", "-o", out, test_uri("amp")});
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("kelvo: error: input and output are the same file\n", r.err);
        EXPECT_EQ(original, read_file(dir / "in.wav"));
    }
}

TEST(Faults, AnOutputFormatThatCannotHoldTheOutputLeavesTheFileAlone) {
    const temp_dir dir;
    sound in = numbered_sound(1, 1000);
    in.format = SF_FORMAT_WAV | SF_FORMAT_GSM610;  // mono only
    write_sound(dir / "in.wav", in);
    std::FILE* f = std::fopen((dir / "out.wav").c_str(), "wb");
    std::fputs("precious", f);
    std::fclose(f);
    const result r =
        run_kelvo({"-i", dir / "in.wav", "-o", dir / "out.wav", test_uri("mono_to_stereo")});
    EXPECT_EQ(1, r.status);
    EXPECT_EQ("kelvo: error: could not open output file: Format not recognised.\n", r.err);
    EXPECT_EQ("precious", read_file(dir / "out.wav"));
}

TEST(Faults, RefusesBlocksThatCannotBeRunOrHeldBeforeCreatingTheOutput) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(2, 1000));
    const char* const sizes[] = {"4294967296", "18446744073709551615", "-1", "4294967295"};
    for (const char* n : sizes) {
        for (const char* mode : {"", "--normalize"}) {
            SCOPED_TRACE(std::string(n) + " " + mode);
            std::vector<std::string> args{"-n", n, "-i", dir / "in.wav", "-o", dir / "out.wav"};
            if (*mode)
                args.push_back(mode);
            args.push_back(test_uri("stereo"));
            const result r = run_kelvo(args);
            EXPECT_EQ(1, r.status);
            EXPECT_EQ(out_of_memory, r.err);
            EXPECT_FALSE(file_exists(dir / "out.wav"));
        }
    }
}

// Neither the reports nor what a plugin prints on standard output may end up in the sound.
TEST(Faults, SoundOnStandardOutputKeepsTheReportsOutOfIt) {
    const temp_dir dir;
    sound in = numbered_sound(1, 3000);
    write_sound(dir / "in.wav", in);
    for (const char* plugin : {"amp", "chatty"}) {
        SCOPED_TRACE(plugin);
        const result r = run_kelvo(
            {"-i", dir / "in.wav", "-o", "-", "--normalize", "--timing", test_uri(plugin)});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("Applying ")) << r.err;
        EXPECT_NE(std::string::npos, r.err.find("\nTotal time     : "));
        EXPECT_NE(std::string::npos, r.err.find("\nProcessing time: "));
        EXPECT_EQ(plugin == std::string{"chatty"},
                  r.err.find("kelvo_test chatty: run 512\n") != std::string::npos);
        std::FILE* f = std::fopen((dir / "stdout.wav").c_str(), "wb");
        std::fwrite(r.out.data(), 1, r.out.size(), f);
        std::fclose(f);
        const sound out = read_sound(dir / "stdout.wav");
        ASSERT_EQ(in.frames(), out.frames());
        const float gain = 1.0f / *std::max_element(in.samples.begin(), in.samples.end());
        for (int64_t i = 0; i < in.frames(); ++i)
            ASSERT_EQ(in.at(i, 0) * gain, out.at(i, 0)) << "frame " << i;
    }
}

// The latency read at the end is larger than the one read at the start, so more frames are
// stored than the input declares: the buffers must grow rather than drop or overrun.
TEST(Faults, NormalizingKeepsFramesBeyondTheDeclaredLength) {
    const temp_dir dir;
    const sound in = numbered_sound(1, 1000);
    write_sound(dir / "in.wav", in);
    const result r =
        run_kelvo({"-i", dir / "in.wav", "-o", dir / "out.wav", "--normalize", "-c", "first:0",
                   "-c", "later:3000", "-c", "after:1", test_uri("changing_latency")});
    ASSERT_EQ(0, r.status) << r.err;
    const sound out = read_sound(dir / "out.wav");
    ASSERT_EQ(4000, out.frames());
    const float gain = 1.0f / in.samples.back();
    for (int64_t i = 0; i < in.frames(); ++i)
        ASSERT_FLOAT_EQ(in.at(i, 0) * gain, out.at(i, 0)) << "frame " << i;
    for (int64_t i = in.frames(); i < out.frames(); ++i)
        ASSERT_EQ(0.0f, out.at(i, 0)) << "frame " << i;
}

TEST(Faults, LibraryFailuresEndWithTheirMessages) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 1000));
    const struct {
        const char* name;
        const char* value;
        int status;
        const char* err;
    } cases[] = {
        {"KELVO_TEST_NO_LILV_WORLD", "1", 1, "kelvo: error: could not initialize Lilv\n"},
        // The output is closed first, then the input.
        {"KELVO_TEST_FAIL_CLOSE", "1", 1,
         "kelvo: error: could not close output file: System error.\n"},
        {"KELVO_TEST_FAIL_CLOSE", "2", 0,
         "kelvo: warning: could not close input file: System error.\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.err);
        run_options o;
        o.library_faults = true;
        o.env = {{c.name, c.value}};
        const result r =
            run_kelvo({"-i", dir / "in.wav", "-o", dir / "out.wav", test_uri("amp")}, o);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
    }
}

}  // namespace
}  // namespace kelvo::test
