// A bare libsndfile copy: reads float frames and writes them in the input's format, rate and
// channels, with nothing in between. It is the floor that kelvo's run is timed against.
//
//   bare_copy [--frames N] [--virtual] input output
//
// --frames sets the frames per read and write call (default 512). --virtual opens both files
// through sf_open_virtual over stdio streams with a 1 MiB buffer each, so that libsndfile's
// small calls become few large system calls.

#include "c_free.h"

#include <sndfile.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

namespace {

constexpr char msg_usage[] = "usage: %s [--frames N] [--virtual] input output\n";
constexpr char msg_bad_frames[] = "%s: error: invalid frame count '%s'\n";
constexpr char msg_not_opened[] = "%s: error: could not open %s: %s\n";
constexpr char msg_not_read[] = "%s: error: could not read %s: %s\n";
constexpr char msg_not_written[] = "%s: error: could not write %s: %s\n";
constexpr char msg_not_closed[] = "%s: error: could not close %s: %s\n";

constexpr size_t stream_buffer_bytes = size_t{1} << 20;

struct copy_settings {
    const char* program_name = "bare_copy";
    const char* input_path = nullptr;
    const char* output_path = nullptr;
    sf_count_t frames_per_call = 512;
    bool virtual_io = false;
};

using kelvo::c_free;
using stream_ptr = std::unique_ptr<FILE, c_free<std::fclose>>;
using sndfile_ptr = std::unique_ptr<SNDFILE, c_free<sf_close>>;

// A stdio stream with its own large buffer. The buffer is declared first so that it outlives
// the stream that points into it.
struct buffered_stream {
    std::vector<char> buffer;
    stream_ptr stream;
};

bool parse_frames(const char* text, sf_count_t& frames) {
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value <= 0 || value > INT32_MAX) return false;
    frames = value;
    return true;
}

bool parse_arguments(int argc, char** argv, copy_settings& s) {
    if (argc > 0) s.program_name = argv[0];
    int i = 1;
    for (; i < argc && argv[i][0] == '-' && argv[i][1] == '-'; ++i) {
        if (std::strcmp(argv[i], "--virtual") == 0) {
            s.virtual_io = true;
        } else if (std::strcmp(argv[i], "--frames") == 0 && i + 1 < argc) {
            if (!parse_frames(argv[++i], s.frames_per_call)) {
                std::fprintf(stderr, msg_bad_frames, s.program_name, argv[i]);
                return false;
            }
        } else {
            break;
        }
    }
    if (argc - i != 2) {
        std::fprintf(stderr, msg_usage, s.program_name);
        return false;
    }
    s.input_path = argv[i];
    s.output_path = argv[i + 1];
    return true;
}

FILE* stream_of(void* user_data) { return static_cast<FILE*>(user_data); }

sf_count_t stream_length(void* user_data) noexcept {
    FILE* f = stream_of(user_data);
    const off_t here = ftello(f);
    if (here < 0 || fseeko(f, 0, SEEK_END) != 0) return -1;
    const off_t end = ftello(f);
    return fseeko(f, here, SEEK_SET) == 0 ? end : -1;
}

sf_count_t stream_seek(sf_count_t offset, int whence, void* user_data) noexcept {
    FILE* f = stream_of(user_data);
    return fseeko(f, offset, whence) == 0 ? ftello(f) : -1;
}

sf_count_t stream_read(void* ptr, sf_count_t count, void* user_data) noexcept {
    return static_cast<sf_count_t>(
        std::fread(ptr, 1, static_cast<size_t>(count), stream_of(user_data)));
}

sf_count_t stream_write(const void* ptr, sf_count_t count, void* user_data) noexcept {
    return static_cast<sf_count_t>(
        std::fwrite(ptr, 1, static_cast<size_t>(count), stream_of(user_data)));
}

sf_count_t stream_tell(void* user_data) noexcept { return ftello(stream_of(user_data)); }

SF_VIRTUAL_IO stream_io{stream_length, stream_seek, stream_read, stream_write, stream_tell};

// Null with errno set when the file cannot be opened or buffered.
buffered_stream open_stream(const char* path, const char* mode) {
    buffered_stream s{std::vector<char>(stream_buffer_bytes), stream_ptr{std::fopen(path, mode)}};
    if (s.stream && setvbuf(s.stream.get(), s.buffer.data(), _IOFBF, s.buffer.size()) != 0)
        s.stream.reset();
    return s;
}

// Opens `path` with sf_open, or over `stream` when virtual I/O is on; the stream must
// outlive the handle.
sndfile_ptr open_sound(const char* path, int mode, SF_INFO& info, bool virtual_io,
                       buffered_stream& stream) {
    if (!virtual_io) return sndfile_ptr{sf_open(path, mode, &info)};
    stream = open_stream(path, mode == SFM_READ ? "rb" : "w+b");
    if (!stream.stream) return nullptr;
    return sndfile_ptr{sf_open_virtual(&stream_io, mode, &info, stream.stream.get())};
}

// libsndfile's reason, or the C library's when the stream itself failed to open.
const char* open_error(const buffered_stream& stream, bool virtual_io) {
    return virtual_io && !stream.stream ? std::strerror(errno) : sf_strerror(nullptr);
}

bool copy_frames(SNDFILE* in, SNDFILE* out, const SF_INFO& info, const copy_settings& s) {
    std::vector<float> block(static_cast<size_t>(s.frames_per_call) *
                             static_cast<size_t>(info.channels));
    for (;;) {
        const sf_count_t n = sf_readf_float(in, block.data(), s.frames_per_call);
        if (n <= 0) break;
        if (sf_writef_float(out, block.data(), n) != n) {
            std::fprintf(stderr, msg_not_written, s.program_name, s.output_path, sf_strerror(out));
            return false;
        }
    }
    if (sf_error(in) != SF_ERR_NO_ERROR) {
        std::fprintf(stderr, msg_not_read, s.program_name, s.input_path, sf_strerror(in));
        return false;
    }
    return true;
}

// The sound file first, so that its last header write reaches the stream, then the stream,
// whose close flushes the buffer.
bool close_output(sndfile_ptr& output, buffered_stream& stream, const copy_settings& s) {
    if (const int rc = sf_close(output.release())) {
        std::fprintf(stderr, msg_not_closed, s.program_name, s.output_path, sf_error_number(rc));
        return false;
    }
    if (stream.stream && std::fclose(stream.stream.release()) != 0) {
        std::fprintf(stderr, msg_not_closed, s.program_name, s.output_path, std::strerror(errno));
        return false;
    }
    return true;
}

int copy(const copy_settings& s) {
    buffered_stream in_stream, out_stream;
    SF_INFO in_info{};
    sndfile_ptr input = open_sound(s.input_path, SFM_READ, in_info, s.virtual_io, in_stream);
    if (!input) {
        std::fprintf(stderr, msg_not_opened, s.program_name, s.input_path,
                     open_error(in_stream, s.virtual_io));
        return 1;
    }
    SF_INFO out_info{};
    out_info.samplerate = in_info.samplerate;
    out_info.channels = in_info.channels;
    out_info.format = in_info.format;
    sndfile_ptr output = open_sound(s.output_path, SFM_WRITE, out_info, s.virtual_io, out_stream);
    if (!output) {
        std::fprintf(stderr, msg_not_opened, s.program_name, s.output_path,
                     open_error(out_stream, s.virtual_io));
        return 1;
    }
    const bool copied = copy_frames(input.get(), output.get(), in_info, s);
    const bool closed = close_output(output, out_stream, s);
    return copied && closed ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    copy_settings settings;
    if (!parse_arguments(argc, argv, settings)) return 2;
    return copy(settings);
}
