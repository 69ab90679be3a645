// The input's bytes as a sound file, opened by path and read block by block the way a run
// reads its input, a piece ahead. The bytes sit in a memory file named through /proc/self/fd, so that the
// program's own open (by path, with its error report) is what runs.

#include "audio/buffers.h"
#include "audio/file_streams.h"
#include "audio/sound_files.h"
#include "require.h"

#include <dirent.h>
#include <sndfile.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr uint64_t block_frames = 256;
constexpr int max_channels = 64;            // more would only make the buffers bigger
constexpr sf_count_t max_frames = 1 << 20;  // so that no single input runs for long

// libsndfile is not built for coverage, so the fuzzer cannot see which of its readers an input
// reached. It is told what the open and the reads came to instead: an input that gives a new
// format, error, channel count or read length is kept as if it had reached new code.
[[gnu::used, gnu::section("__libfuzzer_extra_counters")]] uint8_t outcomes[4096];

enum class outcome : uint64_t { open_error, format, channels, declared, read, read_error };

void note(outcome kind, uint64_t a, uint64_t b = 0) {
    uint64_t h = (static_cast<uint64_t>(kind) + 1) * 0x9e3779b97f4a7c15u;
    h = (h ^ a) * 0xbf58476d1ce4e5b9u;
    h = (h ^ b) * 0x94d049bb133111ebu;
    uint8_t& counter = outcomes[h >> 52];
    if (counter < UINT8_MAX)
        ++counter;
}

int open_descriptors() {
    DIR* const dir = opendir("/proc/self/fd");
    require(dir != nullptr);
    int count = 0;
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

// Reads the input the way a run does, a piece ahead, and checks every block against a
// second reader of the same file that takes one block per call, as a run once did.
void read_all(SNDFILE* input, SNDFILE* reference, const SF_INFO& info, uint64_t format) {
    const auto channels = static_cast<uint32_t>(info.channels);
    kelvo::channel_buffers input_channels(channels, block_frames);
    // 16-bit formats take the integer path, which must give libsndfile's floats bit for bit.
    kelvo::input_stream in{channels, kelvo::piece_frames(channels),
                           kelvo::moves_as_pcm16(info.format)};
    in.attach(input);
    std::vector<float> expected(block_frames * channels);
    sf_count_t total = 0;
    for (;;) {
        const int64_t f = in.read_block(input_channels, block_frames);
        if (f <= 0)
            break;
        note(outcome::read, format, std::bit_width(static_cast<uint64_t>(f)));
        // The block loop relies on it: a longer block would overrun the channel buffers.
        require(static_cast<uint64_t>(f) <= block_frames);
        // Reading stops at the count a header declares; normalization plans its buffers by it.
        total += f;
        require(info.frames < 0 || total <= info.frames);
        // A reader that fails early can only give fewer frames, never other ones.
        const sf_count_t g = sf_readf_float(reference, expected.data(), f);
        require(g <= f);
        for (uint32_t c = 0; c < channels; ++c) {
            for (sf_count_t i = 0; i < g; ++i) {
                const float x = expected[static_cast<size_t>(i) * channels + c];
                const float y = input_channels[c][static_cast<size_t>(i)];
                require(std::bit_cast<uint32_t>(x) == std::bit_cast<uint32_t>(y));
            }
        }
        if (total >= max_frames)
            break;
    }
    const int error = sf_error(input);
    require(sf_error_number(error) != nullptr);
    note(outcome::read_error, format, static_cast<uint64_t>(error));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const int descriptors = open_descriptors();
    const int fd = memfd_create("sound", MFD_CLOEXEC);
    require(fd >= 0);
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, data + done, size - done);
        require(n > 0);
        done += static_cast<size_t>(n);
    }
    char path[32];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);

    SF_INFO info;
    kelvo::sound_file input = kelvo::open_input(path, info);
    if (!input.get()) {
        note(outcome::open_error, static_cast<uint64_t>(sf_error(nullptr)));
    } else {
        const auto format = static_cast<uint64_t>(static_cast<uint32_t>(info.format));
        note(outcome::format, format);
        note(outcome::channels, format, static_cast<uint64_t>(std::min(info.channels, 65)));
        note(outcome::declared, format,
             info.frames < 0 ? 64 : std::bit_width(static_cast<uint64_t>(info.frames)));
        if (info.channels >= 1 && info.channels <= max_channels) {
            SF_INFO reference_info{};
            const kelvo::sound_file reference{sf_open(path, SFM_READ, &reference_info)};
            require(reference.get() != nullptr);
            read_all(input.get(), reference.get(), info, format);
        }
    }
    kelvo::close_input(input);
    close(fd);
    // Whatever the file held, closing it must give back every descriptor it took.
    require(open_descriptors() == descriptors);
    return 0;
}
