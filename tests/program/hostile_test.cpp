// Hostile files, outputs, command lines and plugins. Whatever kelvo is fed, it ends with status
// 0 or 1, says why in its own lines, leaves the input alone, closes what it opened, keeps its
// memory modest and writes only what libsndfile can read back.

#include "run_kelvo.h"
#include "sound.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace kelvo::test {
namespace {

// Trusting a header that claims 2^31 frames would cost 8 GiB; no honest run comes near this.
constexpr long max_peak_kib = 1L << 20;
// The kernel refuses a longer single argument (its terminator included).
constexpr size_t huge_length = 128 * 1024 - 1;

constexpr char nan_warning[] = "kelvo: warning: NaN detected in audio output\n";
constexpr char inf_warning[] = "kelvo: warning: infinity value detected in audio output\n";
constexpr char clip_warning[] =
    "kelvo: warning: out of range value detected in audio output, clipping\n";
constexpr char silent_warning[] =
    "kelvo: warning: the plugin produced silent output, cannot normalize\n";

/// What the output of a successful run must be.
struct shape {
    int channels = 1;
    int samplerate = 48000;
    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
};

bool is_regular(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// What libsndfile reads from `path`, block by block: the header may claim any length.
std::optional<sound> read_all(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        return std::nullopt;
    sound s{info.channels, info.samplerate, info.format, {}};
    std::vector<float> block(4096 * static_cast<size_t>(info.channels));
    for (sf_count_t n; (n = sf_readf_float(f, block.data(), 4096)) > 0;)
        s.samples.insert(s.samples.end(), block.begin(), block.begin() + n * info.channels);
    sf_close(f);
    return s;
}

// Feeds `bytes` into a FIFO while someone reads it. The open does not block, and the writer
// gives up once the object goes, so a reader that never comes cannot hang the test.
class fifo_writer {
public:
    fifo_writer(const std::string& path, std::string bytes)
        : path_{path},
          bytes_{std::move(bytes)},
          made_{make_fifo(path)},
          thread_{[this] { feed(); }} {}
    ~fifo_writer() {
        done_ = true;
        thread_.join();
    }
    fifo_writer(const fifo_writer&) = delete;
    fifo_writer& operator=(const fifo_writer&) = delete;

private:
    // Whatever was at `path` goes: if no FIFO can be made there, the reader fails, not waits.
    static bool make_fifo(const std::string& path) {
        unlink(path.c_str());
        return mkfifo(path.c_str(), 0600) == 0;
    }

    void feed() {
        sigset_t pipe_signal;  // a reader that leaves early gives EPIPE, not a dead test
        sigemptyset(&pipe_signal);
        sigaddset(&pipe_signal, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
        int fd = -1;
        while (made_ && !done_ && (fd = open(path_.c_str(), O_WRONLY | O_NONBLOCK)) < 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        if (fd < 0)
            return;
        fcntl(fd, F_SETFL, 0);
        for (size_t at = 0; at < bytes_.size();) {
            const ssize_t n = write(fd, bytes_.data() + at, bytes_.size() - at);
            if (n <= 0)
                break;
            at += static_cast<size_t>(n);
        }
        close(fd);
    }

    std::string path_;
    std::string bytes_;
    bool made_;
    std::atomic<bool> done_{false};
    std::thread thread_;
};

// Runs kelvo from a forked helper whose only child it is, so that the helper's view of its
// children's peak memory is the program's alone. The helper hands the result over in files.
result run_measured(const std::vector<std::string>& args, const run_options& o, long& peak_kib) {
    const temp_dir dir;
    const pid_t pid = fork();
    if (pid == 0) {
        try {  // a copy of the test binary must never return into the tests
            const result r = run_kelvo(args, o);
            rusage usage{};
            getrusage(RUSAGE_CHILDREN, &usage);
            const std::pair<const char*, std::string> parts[] = {
                {"out", r.out}, {"err", r.err}, {"fds", r.open_fds},
                {"peak", std::to_string(usage.ru_maxrss)}};
            for (const auto& [name, text] : parts)
                std::ofstream{dir / name, std::ios::binary} << text;
            _exit(r.status);
        } catch (...) {
        }
        _exit(125);
    }
    if (pid < 0)
        return {};
    int wstatus = 0;
    waitpid(pid, &wstatus, 0);
    peak_kib = std::atol(read_file(dir / "peak").c_str());
    return {WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1, read_file(dir / "out"),
            read_file(dir / "err"), read_file(dir / "fds")};
}

// The promise of every run: status 0 or 1, only the program's own error and warning lines,
// the input (when a regular file) unchanged, no descriptor left open, modest memory, and after
// a success an output that libsndfile opens with the expected shape.
result check_promise(const std::vector<std::string>& args, const std::string& input,
                     const std::string& output, const shape& expected = {}, run_options o = {}) {
    const bool under_valgrind = std::getenv("KELVO_TEST_VALGRIND") != nullptr;
    const bool keep = is_regular(input);
    const std::string before = keep ? read_file(input) : "";
    o.check_fds = true;
    // A sanitized build refuses to start when the preloaded report comes before its runtime.
    const char* asan = std::getenv("ASAN_OPTIONS");
    o.env.emplace_back("ASAN_OPTIONS", std::string(asan ? asan : "") + ":verify_asan_link_order=0");
    long peak_kib = 0;
    const result r = run_measured(args, o, peak_kib);
    EXPECT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status << "\n" << r.err;
    for (size_t start = 0; start < r.err.size();) {
        const size_t end = r.err.find('\n', start);
        const std::string line = r.err.substr(start, end - start);
        EXPECT_TRUE(line.starts_with(o.argv0 + ": error: ") ||
                    line.starts_with(o.argv0 + ": warning: "))
            << "a line of its own: " << line.substr(0, 200);
        EXPECT_NE(std::string::npos, end) << "unterminated line: " << line.substr(0, 200);
        start = end == std::string::npos ? r.err.size() : end + 1;
    }
    if (keep) {
        EXPECT_TRUE(before == read_file(input)) << "the input changed";
    }
    if (!under_valgrind) {  // there the descriptors listed are valgrind's own
        EXPECT_EQ("", r.open_fds);
    }
    EXPECT_LT(peak_kib, max_peak_kib);
    if (r.status == 0) {
        SF_INFO info{};
        SNDFILE* f = sf_open(output.c_str(), SFM_READ, &info);
        EXPECT_NE(nullptr, f) << "output: " << sf_strerror(nullptr);
        if (f) {
            EXPECT_EQ(expected.channels, info.channels);
            EXPECT_EQ(expected.samplerate, info.samplerate);
            EXPECT_EQ(expected.format, info.format) << std::hex << info.format;
            sf_close(f);
        }
    }
    return r;
}

// The bytes libsndfile writes for 1000 numbered mono frames in `format`.
std::string encoded(int format, const std::string& scratch) {
    sound s = numbered_sound(1, 1000);
    s.format = format;
    write_sound(scratch, s);
    return read_file(scratch);
}

struct field {
    size_t at;
    uint64_t value;
    size_t size;  ///< bytes, little-endian
};

std::string patched(std::string bytes, std::initializer_list<field> fields) {
    for (const field& f : fields) {
        for (size_t i = 0; i < f.size; ++i)
            bytes[f.at + i] = static_cast<char>(f.value >> (8 * i));
    }
    return bytes;
}

// FLAC keeps the length in the low 36 bits of the 8 big-endian bytes at 18 (STREAMINFO).
std::string flac_declaring(std::string bytes, uint64_t frames) {
    uint64_t word = 0;
    for (size_t i = 0; i < 8; ++i)
        word = word << 8 | static_cast<unsigned char>(bytes[18 + i]);
    word = (word & ~((uint64_t{1} << 36) - 1)) | frames;
    for (size_t i = 0; i < 8; ++i)
        bytes[25 - i] = static_cast<char>(word >> (8 * i));
    return bytes;
}

std::vector<std::string> with_mode(std::vector<std::string> args, bool normalize,
                                   const std::string& uri) {
    if (normalize)
        args.push_back("--normalize");
    args.push_back(uri);
    return args;
}

TEST(HostileInput, BrokenAndLyingFilesEndCleanly) {
    const temp_dir dir;
    constexpr int wav16 = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    constexpr int flac16 = SF_FORMAT_FLAC | SF_FORMAT_PCM_16;
    constexpr int wav8_format = SF_FORMAT_WAV | SF_FORMAT_PCM_U8;
    constexpr int rf64_format = SF_FORMAT_RF64 | SF_FORMAT_FLOAT;
    const std::string unopened = "kelvo: error: could not open input file: ";
    const std::string unread = "kelvo: error: could not read input file: ";
    // Canonical 44-byte headers: channels at 22, rate at 24, byte rate at 28, block at 32,
    // data size at 40.
    const std::string wav = encoded(wav16, dir / "s.wav");
    const std::string wav8 = encoded(wav8_format, dir / "s8.wav");
    const std::string flac = encoded(flac16, dir / "s.flac");
    // The ds64 chunk holds the data size at 28 and the frame count at 36.
    const std::string rf64 = encoded(rf64_format, dir / "s.rf64");
    std::string bad_flac = flac;
    for (size_t i = bad_flac.size() / 2; i < bad_flac.size() * 3 / 4; ++i)
        bad_flac[i] = static_cast<char>(bad_flac[i] ^ 0x5a);
    std::string noise(4096, '\0');
    std::mt19937 gen{20240611};
    for (char& b : noise)
        b = static_cast<char>(gen());
    const uint64_t two_36 = uint64_t{1} << 36;
    mkdir((dir / "folder").c_str(), 0700);
    const auto rate = [&](uint64_t r) { return patched(wav, {{24, r, 4}, {28, r * 2, 4}}); };

    const struct {
        const char* name;
        std::string bytes;
        int status;
        std::string err;  ///< the start of standard error
        shape expected = {1, 48000, wav16};
        bool through_fifo = false;
        std::string path = {};  ///< instead of bytes
    } cases[] = {
        // From a regular file libsndfile cuts a claimed length down to the file's size; through
        // a FIFO, or in FLAC's STREAMINFO, the claim reaches the program as it stands.
        {"empty file", "", 1, unopened},
        {"header cut at 4", wav.substr(0, 4), 1, unopened},
        {"header cut at 12", wav.substr(0, 12), 1, unopened},
        {"header cut at 30", wav.substr(0, 30), 1, unopened},
        {"header cut at 38", wav.substr(0, 38), 1, unopened},
        {"header cut at 42", wav.substr(0, 42), 0, ""},
        {"no data", wav.substr(0, 44), 0, ""},
        {"data cut mid-sample", wav.substr(0, 44 + 2 * 500 + 1), 0, ""},
        {"data chunk larger than the file", patched(wav, {{40, 0x7ffffff0, 4}}), 0, ""},
        {"2^31 frames declared", patched(wav8, {{40, uint64_t{1} << 31, 4}}), 0, "",
         {1, 48000, wav8_format}},
        {"2^31 frames declared, through a FIFO", patched(wav8, {{40, uint64_t{1} << 31, 4}}), 0,
         "", {1, 48000, wav8_format}, true},
        {"2^31 frames declared in FLAC", flac_declaring(flac, uint64_t{1} << 31), 0, "",
         {1, 48000, flac16}},
        {"2^36 - 1 frames declared in FLAC", flac_declaring(flac, two_36 - 1), 0, "",
         {1, 48000, flac16}},
        {"2^36 frames declared in RF64", patched(rf64, {{28, two_36 * 4, 8}, {36, two_36, 8}}),
         0, "", {1, 48000, rf64_format}},
        {"2^36 frames declared in RF64, through a FIFO",
         patched(rf64, {{28, two_36 * 4, 8}, {36, two_36, 8}}), 0, "",
         {1, 48000, rf64_format}, true},
        {"zero channels", patched(wav, {{22, 0, 2}}), 1, unopened},
        {"4096 channels", patched(wav, {{22, 4096, 2}, {28, 48000 * 8192, 4}, {32, 8192, 2}}), 1,
         unopened},
        {"rate 0", rate(0), 1, unopened},
        {"rate 1", rate(1), 0, "", {1, 1, wav16}},
        {"rate 2^31 - 1", rate(0x7fffffff), 0, "", {1, 0x7fffffff, wav16}},
        {"rate 0xffffffff", rate(0xffffffff), 1, unopened},
        {"random bytes", noise, 1, unopened},
        {"corrupted FLAC", bad_flac, 1, unread},
        {"FLAC cut in half", flac.substr(0, flac.size() / 2), 1, unread},
        {"a FIFO", wav, 0, "", {1, 48000, wav16}, true},
        {"a directory", "", 1, unopened, {}, false, dir / "folder"},
        {"/dev/null", "", 1, unopened, {}, false, "/dev/null"},
    };
    for (const auto& c : cases) {
        for (const bool normalize : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (normalize ? " --normalize" : ""));
            const std::string in = c.path.empty() ? dir / "in" : c.path;
            const std::string out = dir / "out";
            std::remove(out.c_str());
            std::optional<sound> expected;
            if (c.through_fifo) {
                const fifo_writer probe{dir / "probe", c.bytes};
                expected = read_all(dir / "probe");
            } else if (c.path.empty()) {
                std::remove(in.c_str());  // the last case may have left a FIFO there
                std::ofstream{in, std::ios::binary} << c.bytes;
                expected = read_all(in);
            }
            std::optional<fifo_writer> writer;
            if (c.through_fifo)
                writer.emplace(in, c.bytes);
            const result r = check_promise(
                with_mode({"-i", in, "-o", out}, normalize, test_uri("amp")), in, out, c.expected);
            writer.reset();
            EXPECT_EQ(c.status, r.status) << r.err;
            EXPECT_TRUE(r.err.starts_with(c.err)) << r.err;
            if (c.status != 0 || r.status != 0 || !expected)
                continue;
            const bool silent = std::all_of(expected->samples.begin(), expected->samples.end(),
                                            [](float x) { return x == 0; });
            EXPECT_EQ(normalize && silent ? silent_warning : "", r.err);
            // Every frame libsndfile delivers comes out, in order; normalized, only the count.
            const std::optional<sound> got = read_all(out);
            ASSERT_TRUE(got);
            EXPECT_EQ(expected->frames(), got->frames());
            if (!normalize) {
                EXPECT_EQ(expected->samples, got->samples);
            }
        }
    }
}

// Read from a pipe, a stream of unknown length leaves the last block's samples where the
// read that finds its end put nothing; the latency flush must still feed the plugin silence.
TEST(HostileInput, TheFlushOfAStreamOfUnknownLengthIsSilence) {
    const temp_dir dir;
    sound in = numbered_sound(1, 1000);
    in.format = SF_FORMAT_AU | SF_FORMAT_FLOAT;
    write_sound(dir / "in.au", in);
    std::string bytes = read_file(dir / "in.au");
    bytes.replace(8, 4, "\xff\xff\xff\xff");  // the data size an AU stream leaves unknown
    const fifo_writer writer{dir / "fifo", bytes};
    const result r = run_kelvo({"-i", dir / "fifo", "-o", dir / "out.au", "-c", "latency:100",
                                test_uri("artificial_latency")});
    ASSERT_EQ(0, r.status) << r.err;
    const sound out = read_sound(dir / "out.au");
    ASSERT_EQ(1000, out.frames());
    for (int64_t i = 0; i < 1000; ++i)
        ASSERT_EQ(i < 900 ? in.samples[i + 100] : 0.0f, out.samples[i]) << i;
}

TEST(HostileOutput, OutputsThatCannotBeWrittenAreErrors) {
    const temp_dir dir;
    const std::string in = dir / "in.wav";
    write_sound(in, numbered_sound(1, 2000));
    ASSERT_EQ(0, symlink(in.c_str(), (dir / "symlink.wav").c_str()));
    ASSERT_EQ(0, link(in.c_str(), (dir / "hardlink.wav").c_str()));
    run_options limited;
    limited.file_size_limit = 4096;  // the header fits, the samples do not
    const struct {
        const char* name;
        std::string out;
        run_options options;
        const char* err;
    } cases[] = {
        {"/dev/full", "/dev/full", {},
         "kelvo: error: could not open output file: System error : No space left on device.\n"},
        {"missing folder", dir / "missing/out.wav", {},
         "kelvo: error: could not open output file: System error : No such file or directory.\n"},
        {"a folder", dir.path(), {},
         "kelvo: error: could not open output file: System error : Is a directory.\n"},
        {"file size limit", dir / "out.wav", limited,
         "kelvo: error: could not write output file: System error : File too large.\n"},
        {"the input via a symlink", dir / "symlink.wav", {},
         "kelvo: error: input and output are the same file\n"},
        {"the input via a hard link", dir / "hardlink.wav", {},
         "kelvo: error: input and output are the same file\n"},
    };
    for (const auto& c : cases) {
        for (const bool normalize : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (normalize ? " --normalize" : ""));
            const result r = check_promise(
                with_mode({"-i", in, "-o", c.out}, normalize, test_uri("amp")), in, c.out, {},
                c.options);
            EXPECT_EQ(1, r.status);
            EXPECT_EQ(c.err, r.err);
        }
    }
}

TEST(HostileOutput, AReadOnlyFolderIsAnError) {
    const temp_dir dir;
    const temp_dir read_only;
    const std::string in = dir / "in.wav";
    write_sound(in, numbered_sound(1, 1000));
    // Root writes into any folder its permissions forbid; only a read-only mount stops it.
    const std::string mount = "mount --bind -o ro \"$1\" \"$1\"";
    const std::string probe = "unshare -m --propagation private bash -c '" + mount + "' bash " +
                              read_only.path() + " >/dev/null 2>&1";
    if (std::system(probe.c_str()) != 0)
        GTEST_SKIP() << "no private read-only bind mount here (unshare -m or mount not permitted)";
    run_options o;
    o.wrapper = {"unshare", "-m", "--propagation", "private", "bash", "-c",
                 mount + " && exec -a kelvo \"${@:2}\"", "bash", read_only.path()};
    for (const bool normalize : {false, true}) {
        SCOPED_TRACE(normalize ? "--normalize" : "");
        const std::string out = read_only / "out.wav";
        const result r = check_promise(
            with_mode({"-i", in, "-o", out}, normalize, test_uri("amp")), in, out, {}, o);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("kelvo: error: could not open output file: System error : Read-only file "
                  "system.\n",
                  r.err);
        EXPECT_FALSE(file_exists(out));
    }
}

TEST(HostileCommandLine, HugeAndNonUtf8ArgumentsGetAnAnswer) {
    const temp_dir dir;
    const std::string in = dir / "in.wav";
    const std::string out = dir / "out.wav";
    const std::string amp = test_uri("amp");
    write_sound(in, numbered_sound(1, 1000));
    write_sound(dir / "in\xff\xfe.wav", numbered_sound(1, 1000));
    const auto huge = [](const std::string& head, const std::string& tail, char fill) {
        return head + std::string(huge_length - head.size() - tail.size(), fill) + tail;
    };
    const std::string long_uri = huge("http://kelvo.test/", "", 'x');
    const std::string long_symbol = huge("", "", 'x').substr(2);  // ":1" follows
    const std::string not_found = "kelvo: error: could not open input file: System error : No "
                                  "such file or directory.\n";
    const struct {
        const char* name;
        std::vector<std::string> args;
        int status;
        std::string err;
        std::string argv0 = "kelvo";
        std::string out = {};  ///< where a success writes, when not out.wav
    } cases[] = {
        {"huge URI", {"-i", in, "-o", out, long_uri}, 1,
         "kelvo: error: plugin '" + long_uri + "' not found\n"},
        {"huge port symbol", {"-c", long_symbol + ":1", "-i", in, "-o", out, amp}, 1,
         "kelvo: error: port '" + long_symbol + "' not found\n"},
        {"huge value", {"-c", huge("gain:", "1", '0'), "-i", in, "-o", out, amp}, 0, ""},
        {"huge value beyond float", {"-c", huge("gain:", "", '9'), "-i", in, "-o", out, amp}, 1,
         "kelvo: error: invalid value for port 'gain'\n"},
        {"huge frame count", {"-n", huge("", "512", '0'), "-i", in, "-o", out, amp}, 0, ""},
        {"huge input path", {"-i", huge(dir.path() + "/", "", 'x'), "-o", out, amp}, 1,
         "kelvo: error: could not open input file: Error : Supplied filename too long.\n"},
        {"huge output path", {"-i", in, "-o", huge(dir.path() + "/", "", 'x'), amp}, 1,
         "kelvo: error: could not open output file: Error : Supplied filename too long.\n"},
        {"non-UTF-8 URI", {"-i", in, "-o", out, "\xff\xfe"}, 1,
         "kelvo: error: plugin '\xff\xfe' not found\n"},
        {"non-UTF-8 URI path", {"-i", in, "-o", out, "http://kelvo.test/\xc3\x28"}, 1,
         "kelvo: error: plugin 'http://kelvo.test/\xc3\x28' not found\n"},
        {"non-UTF-8 input", {"-i", dir / "in\xff\xfe.wav", "-o", out, amp}, 0, ""},
        {"non-UTF-8 missing input", {"-i", dir / "\xc3\x28", "-o", out, amp}, 1, not_found},
        {"non-UTF-8 output", {"-i", in, "-o", dir / "out\x80.wav", amp}, 0, "", "kelvo",
         dir / "out\x80.wav"},
        {"non-UTF-8 port symbol", {"-c", "\xff\xfe:1", "-i", in, "-o", out, amp}, 1,
         "kelvo: error: invalid port identifier '\xff\xfe'\n"},
        {"non-UTF-8 value", {"-c", "gain:\xff", "-i", in, "-o", out, amp}, 1,
         "kelvo: error: invalid value for port 'gain'\n"},
        {"non-UTF-8 frame count", {"-n", "\xff", "-i", in, "-o", out, amp}, 1,
         "kelvo: error: invalid number of frames\n"},
        {"non-UTF-8 option", {"-\xff", "-i", in, "-o", out, amp}, 1,
         "kelvo: error: unknown command line option '-\xff'\n"},
        {"non-UTF-8 program name", {"-i", in, "-o", out, "\x80"}, 1,
         "kelvo\xff: error: plugin '\x80' not found\n", "kelvo\xff"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        run_options o;
        o.argv0 = c.argv0;
        const result r = check_promise(c.args, in, c.out.empty() ? out : c.out, {}, o);
        EXPECT_EQ(c.status, r.status);
        EXPECT_TRUE(c.err == r.err) << r.err.substr(0, 300);
    }
}

TEST(HostileCommandLine, EveryNumberFormGetsAnAnswer) {
    const temp_dir dir;
    const std::string in = dir / "in.wav";
    const std::string out = dir / "out.wav";
    const sound numbered = numbered_sound(1, 1000);
    write_sound(in, numbered);
    const std::string invalid_frames = "kelvo: error: invalid number of frames\n";
    const std::string out_of_memory = "kelvo: error: Cannot allocate memory\n";
    const struct {
        const char* text;
        int status;
        std::string err;
    } frame_counts[] = {
        {"+5", 0, ""},
        {" 5", 0, ""},
        {"5 ", 1, invalid_frames},
        {"0x10", 1, invalid_frames},
        {"1e3", 1, invalid_frames},
        {"-0", 1, invalid_frames},
        {"007", 0, ""},
        {"4294967295", 1, out_of_memory},
        {"4294967296", 1, out_of_memory},
        {"18446744073709551615", 1, out_of_memory},
        {"18446744073709551616", 1, invalid_frames},
    };
    for (const auto& c : frame_counts) {
        SCOPED_TRACE(std::string("-n '") + c.text + "'");
        std::remove(out.c_str());
        const result r =
            check_promise({"-n", c.text, "-i", in, "-o", out, test_uri("amp")}, in, out);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        if (r.status == 0) {
            EXPECT_EQ(numbered.samples, read_sound(out).samples);
        } else {
            EXPECT_FALSE(file_exists(out));
        }
    }
    const std::string invalid_value = "kelvo: error: invalid value for port 'value'\n";
    const std::string inf_clip = std::string(inf_warning) + clip_warning;
    const struct {
        const char* text;
        int status;
        std::string err;
        float written = 0;  ///< every sample of the output
    } values[] = {
        {"inf", 0, inf_clip, 1},       {"-inf", 0, inf_clip, -1},
        {"nan", 0, nan_warning, 0},    {"nan(123)", 0, nan_warning, 0},
        {"0x1p3", 0, clip_warning, 1}, {"1e-45", 1, invalid_value},
        {"1e39", 1, invalid_value},    {"-0", 0, "", 0},
        {".5", 0, "", 0.5f},           {"5.", 0, clip_warning, 1},
        {"", 0, "", 0},                {"+", 1, invalid_value},
        {"  1", 0, "", 1},             {"1  ", 1, invalid_value},
    };
    for (const auto& c : values) {
        SCOPED_TRACE(std::string("-c 'value:") + c.text + "'");
        const result r = check_promise(
            {"-c", std::string("value:") + c.text, "-i", in, "-o", out, test_uri("constant")},
            in, out);
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        if (r.status == 0) {
            EXPECT_EQ(std::vector<float>(1000, c.written), read_sound(out).samples);
        }
    }
}

TEST(HostilePlugin, BadSamplesNeverReachTheFile) {
    const temp_dir dir;
    const std::string in = dir / "in.wav";
    const std::string out = dir / "out.wav";
    write_sound(in, numbered_sound(1, 1000));
    // A denormal cannot be typed (strtof calls it a range error), so it comes from the input.
    const std::string denormal = dir / "denormal.wav";
    sound tiny;
    tiny.samples.assign(1000, 1e-40f);
    write_sound(denormal, tiny);
    const std::string gain = "Applying 1e-30x gain (-600 dB) to all output channels\n";
    const std::string inf_silent = std::string(inf_warning) + silent_warning;
    const struct {
        const char* value;  ///< of the constant plugin; none: the denormal input through amp
        bool normalize;
        float written;
        std::string err;
        std::string out = {};
    } cases[] = {
        {"nan", false, 0, nan_warning},
        {"nan", true, 0, std::string(nan_warning) + silent_warning},
        {"inf", false, 1, std::string(inf_warning) + clip_warning},
        {"inf", true, 1, inf_silent},
        {"-inf", false, -1, std::string(inf_warning) + clip_warning},
        {"-inf", true, -1, inf_silent},
        {"1e30", false, 1, clip_warning},
        {"1e30", true, 1, "", gain},
        {"-1e30", false, -1, clip_warning},
        {"-1e30", true, -1, "", gain},
        {nullptr, false, 1e-40f, ""},
        {nullptr, true, 1e-40f, silent_warning},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value ? c.value : "denormal") +
                     (c.normalize ? " --normalize" : ""));
        const std::string input = c.value ? in : denormal;
        std::vector<std::string> args{"-i", input, "-o", out};
        if (c.value)
            args.insert(args.end(), {"-c", std::string("value:") + c.value});
        const result r = check_promise(
            with_mode(args, c.normalize, test_uri(c.value ? "constant" : "amp")), input, out);
        EXPECT_EQ(0, r.status);
        EXPECT_EQ(c.err, r.err);
        EXPECT_EQ(c.out, r.out);
        const std::vector<float> samples = read_sound(out).samples;
        ASSERT_EQ(1000u, samples.size());
        for (const float x : samples)
            ASSERT_FLOAT_EQ(c.written, x);
    }
}

TEST(HostilePlugin, LatencyGarbageNeverLosesTheOutput) {
    const temp_dir dir;
    const std::string in = dir / "in.wav";
    const std::string out = dir / "out.wav";
    const auto implausible = [](const char* frames) {
        return std::string("kelvo: warning: the plugin reports an implausible latency (") +
               frames + " frames), latency compensation is off\n";
    };
    const struct {
        const char* value;
        int status;
        std::string err;
        bool silent = false;  ///< all the plugin's audio falls within its claimed latency
        int samplerate = 48000;
        const char* block = "512";
    } cases[] = {
        {"nan", 0, implausible("nan")},
        {"inf", 0, implausible("inf")},
        {"-inf", 0, implausible("-inf")},
        {"1e15", 0, implausible("1e+15")},
        {"4e9", 0, implausible("4e+09")},
        {"1e300", 1, "kelvo: error: invalid value for port 'latency'\n"},  // inf as a float
        {"-1e30", 0, ""},
        {"0.49", 0, ""},
        {"65536.6", 0, "", true},  // longer than the plugin's delay line: it passes audio on
        // 52 s at 384 kHz is plausible, and beyond 2^24 not every frame count is a float.
        {"2e7", 0, "", true, 384000, "333"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " at " + std::to_string(c.samplerate) + " Hz");
        const sound numbered = numbered_sound(1, 1000, c.samplerate);
        write_sound(in, numbered);
        const result r = check_promise({"-n", c.block, "-c", std::string("latency:") + c.value,
                                        "-i", in, "-o", out, test_uri("delay")},
                                       in, out, {1, c.samplerate});
        EXPECT_EQ(c.status, r.status);
        EXPECT_EQ(c.err, r.err);
        if (r.status == 0) {
            const sound got = read_sound(out);
            ASSERT_EQ(1000, got.frames());
            EXPECT_EQ(c.silent ? std::vector<float>(1000, 0.0f) : numbered.samples, got.samples);
        }
    }
}

TEST(HostilePlugin, ASlowPluginIsWaitedFor) {
    const temp_dir dir;
    const std::string in = dir / "in.wav";
    const std::string out = dir / "out.wav";
    const sound numbered = numbered_sound(1, 4 * 512 - 100);
    write_sound(in, numbered);
    const result r = check_promise(
        {"-c", "delay_ms:20", "--timing", "-i", in, "-o", out, test_uri("slow")}, in, out);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.err);
    const size_t split = r.out.find('\n') + 1;
    const std::string total = r.out.substr(0, split);
    const std::string processing = r.out.substr(split);
    ASSERT_TRUE(total.starts_with("Total time     : ") && total.ends_with(" s\n")) << r.out;
    ASSERT_TRUE(processing.starts_with("Processing time: ") && processing.ends_with(" s\n"))
        << r.out;
    // Processor time: the sleeps count for neither, and the part is never more than the whole.
    EXPECT_LE(std::stod(processing.substr(17)), std::stod(total.substr(17)));
    EXPECT_EQ(numbered.samples, read_sound(out).samples);
}

// lilv itself crashes on a relative folder in LV2_PATH; the program must not.
TEST(HostileEnvironment, ARelativePluginFolderIsFound) {
    const temp_dir dir;
    write_sound(dir / "in.wav", numbered_sound(1, 1000));
    run_options options;
    options.lv2_path =
        "no-such-folder:" +
        std::filesystem::relative(KELVO_TEST_LV2_PATH, std::filesystem::current_path()).string();
    const result r = run_kelvo(
        {"-i", dir / "in.wav", "-o", dir / "out.wav", "-c", "gain:0.5", test_uri("amp")}, options);
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ("", r.err);
    EXPECT_EQ(1000, read_sound(dir / "out.wav").frames());
}

}  // namespace
}  // namespace kelvo::test
