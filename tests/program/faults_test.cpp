// Failures of the machine and of the user's files: none may end in status 0, lose the input
// or leave the output half-truncated.

#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <set>

namespace kelvo::test {
namespace {

constexpr char out_of_memory[] = "kelvo: error: Cannot allocate memory\n";

// The names in a folder.
std::set<std::string> listing(const std::string& dir) {
    std::set<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

void write_text(const std::string& path, const std::string& text) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

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

// Whatever ends a run early, the output path is left as it was: an old file keeps its bytes,
// no file appears where there was none, and no temporary file stays behind.
TEST(Faults, ARunThatDoesNotFinishLeavesTheOutputPathAsItWas) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 100000));  // more than the short write takes
    write_sound(dir / "in16.flac", [] {
        sound s = numbered_sound(1, 48000);
        s.format = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
        return s;
    }());
    std::string bad = read_file(dir / "in16.flac");
    for (size_t i = bad.size() / 2; i < bad.size() / 2 + 3000; ++i)
        bad[i] = static_cast<char>(bad[i] ^ 0x5a);
    write_text(dir / "bad.flac", bad);
    const std::string crashed = "kelvo: error: the plugin crashed (Segmentation fault); nothing was written\n";
    const struct {
        const char* name;
        std::vector<std::string> args;  // then -o and the output
        int status;
        std::string err;  // all of it when empty, else a part
        long file_size_limit;
        const char* fail_close;
    } cases[] = {
        {"bad pointer", {"-c", "fault:1", "-c", "block:10"}, 128 + SIGSEGV, crashed, -1, nullptr},
        {"abort", {"-c", "fault:2", "-c", "block:10"}, 128 + SIGABRT,
         "kelvo: error: the plugin crashed (Aborted); nothing was written\n", -1, nullptr},
        {"SIGINT", {"-c", "fault:3", "-c", "block:10"}, 128 + SIGINT, "", -1, nullptr},
        {"SIGTERM", {"-c", "fault:4", "-c", "block:10"}, 128 + SIGTERM, "", -1, nullptr},
        {"crash in cleanup", {"-c", "fault:1", "-c", "block:0"}, 128 + SIGSEGV, crashed, -1,
         nullptr},
        {"crash in a chain",
         {test_uri("amp"), test_uri("faulty"), "-c", "fault:1", "-c", "block:10"},
         128 + SIGSEGV,
         "kelvo: error: plugin 2 (" + test_uri("faulty") +
             "): the plugin crashed (Segmentation fault); nothing was written\n",
         -1, nullptr},
        {"read error", {}, 1, "kelvo: error: could not read input file: ", -1, nullptr},
        {"short write", {}, 1, "kelvo: error: could not write output file: ", 20000, nullptr},
        {"failed close", {}, 1, "kelvo: error: could not close output file: ", -1, "1"},
    };
    for (const auto& c : cases) {
        for (const bool existing : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (existing ? ", over an old output" : ""));
            std::filesystem::remove(dir / "out.wav");
            if (existing)
                write_text(dir / "out.wav", "yesterday's good result");
            const bool reads_bad = std::string(c.name) == "read error";
            std::vector<std::string> args{"-n", "64", "-i", dir / (reads_bad ? "bad.flac" : "in.wav")};
            args.insert(args.end(), c.args.begin(), c.args.end());
            args.insert(args.end(), {"-o", dir / "out.wav", test_uri(c.args.empty() ? "amp" : "faulty")});
            run_options o;
            o.file_size_limit = c.file_size_limit;
            if (c.fail_close) {
                o.library_faults = true;
                o.env = {{"KELVO_TEST_FAIL_CLOSE", c.fail_close}};
            }
            const result r = run_kelvo(args, o);
            EXPECT_EQ(c.status, r.status) << r.err;
            if (c.err.empty())
                EXPECT_EQ("", r.err);
            else
                EXPECT_NE(std::string::npos, r.err.find(c.err)) << r.err;
            std::set<std::string> expected{"in.wav", "in16.flac", "bad.flac"};
            if (existing)
                expected.insert("out.wav");
            EXPECT_EQ(expected, listing(dir.path()));
            if (existing) {
                EXPECT_TRUE(read_file(dir / "out.wav") == "yesterday's good result");
            }
        }
    }
}

// A finished output replaces a regular file or a symbolic link's target, with the permission
// bits the old file had; a file with other names, and one in a folder where no file can be
// created, is written in place.
TEST(Faults, AnOutputKeepsItsNamesLinksAndPermissions) {
    const temp_dir dir;
    const sound in = numbered_sound(1, 1000);
    write_sound(dir / "in.wav", in);
    const mode_t mask = umask(0);
    umask(mask);
    const struct {
        const char* name;
        const char* path;  // given to -o
        const char* old;   // the file there before, or null
        mode_t mode;       // of the old file
        const char* link;  // a symbolic or hard link to it, made first
        bool hard;
        const char* sound_at;  // where the sound should be found
        mode_t expected_mode;
    } cases[] = {
        {"new file", "new.wav", nullptr, 0, nullptr, false, "new.wav", 0666 & ~mask},
        {"old file", "old.wav", "old.wav", 0604, nullptr, false, "old.wav", 0604},
        {"symbolic link", "link.wav", "target.wav", 0640, "link.wav", false, "target.wav", 0640},
        {"hard link", "first.wav", "first.wav", 0644, "second.wav", true, "second.wav", 0644},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.old) {
            write_text(dir / c.old, "old");
            chmod((dir / c.old).c_str(), c.mode);
        }
        if (c.link) {
            ASSERT_EQ(0, c.hard ? link((dir / c.old).c_str(), (dir / c.link).c_str())
                                : symlink(c.old, (dir / c.link).c_str()));
        }
        const auto before = listing(dir.path());
        const result r = run_kelvo({"-i", dir / "in.wav", "-o", dir / c.path, test_uri("amp")});
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(before.size() + (c.old ? 0 : 1), listing(dir.path()).size());
        EXPECT_EQ(in.samples, read_sound(dir / c.sound_at).samples);
        struct stat st {};
        ASSERT_EQ(0, stat((dir / c.sound_at).c_str(), &st));
        EXPECT_EQ(c.expected_mode, st.st_mode & 0777);
        if (c.link) {
            struct stat link_st {};
            ASSERT_EQ(0, lstat((dir / c.link).c_str(), &link_st));
            EXPECT_EQ(c.hard ? S_IFREG : S_IFLNK, link_st.st_mode & S_IFMT);
        }
    }
    // A crash leaves the link's target as it was.
    write_text(dir / "target.wav", "old");
    const result crash = run_kelvo({"-i", dir / "in.wav", "-o", dir / "link.wav", "-c",
                                    "fault:1", "-c", "block:1", test_uri("faulty")});
    EXPECT_EQ(128 + SIGSEGV, crash.status);
    EXPECT_EQ("old", read_file(dir / "target.wav"));
    // With no right to create a file in its folder, a writable output is written where it is.
    if (geteuid() != 0) {
        const std::string locked = dir / "locked";
        std::filesystem::create_directory(locked);
        write_text(locked + "/out.wav", "old");
        chmod(locked.c_str(), 0555);
        const result in_place =
            run_kelvo({"-i", dir / "in.wav", "-o", locked + "/out.wav", test_uri("amp")});
        chmod(locked.c_str(), 0755);
        ASSERT_EQ(0, in_place.status) << in_place.err;
        EXPECT_EQ(in.samples, read_sound(locked + "/out.wav").samples);
    }
}

}  // namespace
}  // namespace kelvo::test
