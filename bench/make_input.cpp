// Writes a benchmark input: SECONDS of a fixed, non-silent 48 kHz signal, the same bytes on
// every run, so that timings of different builds see the same data.
//
//   make_input KIND SECONDS output
//
// KIND is mono16 (mono 16-bit WAV), float (stereo 32-bit float WAV) or flac24 (stereo 24-bit
// FLAC).

#include "c_free.h"

#include <sndfile.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

namespace {

constexpr char msg_usage[] = "usage: %s mono16|float|flac24 SECONDS output\n";
constexpr char msg_bad_seconds[] = "%s: error: invalid length '%s'\n";
constexpr char msg_not_opened[] = "%s: error: could not open %s: %s\n";
constexpr char msg_not_written[] = "%s: error: could not write %s: %s\n";
constexpr char msg_not_closed[] = "%s: error: could not close %s: %s\n";

constexpr int sample_rate = 48000;
constexpr sf_count_t chunk_frames = 4096;

struct input_kind {
    const char* name;
    int format;
    int channels;
};

constexpr input_kind kinds[] = {
    {"mono16", SF_FORMAT_WAV | SF_FORMAT_PCM_16, 1},
    {"float", SF_FORMAT_WAV | SF_FORMAT_FLOAT, 2},
    {"flac24", SF_FORMAT_FLAC | SF_FORMAT_PCM_24, 2},
};

const input_kind* find_kind(const char* name) {
    for (const input_kind& k : kinds) {
        if (std::strcmp(k.name, name) == 0) return &k;
    }
    return nullptr;
}

using kelvo::c_free;
using sndfile_ptr = std::unique_ptr<SNDFILE, c_free<sf_close>>;

// A fixed linear congruential sequence in [-1, 1): noise that is the same on every machine.
struct noise {
    uint32_t state = 12345;
    float next() {
        state = state * 1664525u + 1013904223u;
        return static_cast<float>(state >> 8) / static_cast<float>(1u << 23) - 1.0f;
    }
};

// Two tones per channel and a little noise, so that FLAC has real work to do. The peak stays
// below 0.7: a gain of 1 keeps every sample in range, and normalization has a gain to apply.
float sample(int64_t frame, int channel, noise& n) {
    const double t = static_cast<double>(frame) / sample_rate;
    const double low = 0.4 * std::sin(2 * std::numbers::pi * 220.0 * (channel + 1) * t);
    const double high = 0.2 * std::sin(2 * std::numbers::pi * 1375.0 * t);
    return static_cast<float>(low + high) + 0.05f * n.next();
}

bool write_signal(SNDFILE* out, const input_kind& kind, int64_t frames, const char* program_name,
                  const char* path) {
    std::vector<float> block(static_cast<size_t>(chunk_frames * kind.channels));
    noise n;
    for (int64_t start = 0; start < frames; start += chunk_frames) {
        const sf_count_t count = std::min(chunk_frames, frames - start);
        for (sf_count_t i = 0; i < count; ++i) {
            for (int c = 0; c < kind.channels; ++c)
                block[static_cast<size_t>(i * kind.channels + c)] = sample(start + i, c, n);
        }
        if (sf_writef_float(out, block.data(), count) != count) {
            std::fprintf(stderr, msg_not_written, program_name, path, sf_strerror(out));
            return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* program_name = argc > 0 ? argv[0] : "make_input";
    const input_kind* kind = argc == 4 ? find_kind(argv[1]) : nullptr;
    if (kind == nullptr) {
        std::fprintf(stderr, msg_usage, program_name);
        return 2;
    }
    char* end = nullptr;
    errno = 0;
    const double seconds = std::strtod(argv[2], &end);
    if (errno != 0 || end == argv[2] || *end != '\0' || !(seconds > 0) || seconds > 86400) {
        std::fprintf(stderr, msg_bad_seconds, program_name, argv[2]);
        return 2;
    }
    const char* path = argv[3];
    SF_INFO info{};
    info.samplerate = sample_rate;
    info.channels = kind->channels;
    info.format = kind->format;
    sndfile_ptr out{sf_open(path, SFM_WRITE, &info)};
    if (!out) {
        std::fprintf(stderr, msg_not_opened, program_name, path, sf_strerror(nullptr));
        return 1;
    }
    const auto frames = static_cast<int64_t>(std::llround(seconds * sample_rate));
    if (!write_signal(out.get(), *kind, frames, program_name, path)) return 1;
    if (const int rc = sf_close(out.release())) {
        std::fprintf(stderr, msg_not_closed, program_name, path, sf_error_number(rc));
        return 1;
    }
    return 0;
}
