#include "audio/sound_files.h"

#include "messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_input_not_opened[] = "could not open input file: %s";
constexpr char msg_output_not_opened[] = "could not open output file: %s";
constexpr char msg_same_file[] = "input and output are the same file";
constexpr char msg_output_not_closed[] = "could not close output file: %s";
constexpr char msg_input_not_closed[] = "could not close input file: %s";

// libsndfile reads "-" as standard input and writes it as standard output.
bool identify(const char* path, int dash_fd, struct stat& st) {
    if (std::strcmp(path, "-") == 0)
        return fstat(dash_fd, &st) == 0;
    return stat(path, &st) == 0;
}

// A file that keeps nothing, to see whether libsndfile takes a format before a real file is
// touched.
struct nowhere {
    sf_count_t length = 0;
    sf_count_t position = 0;
};

bool writes_nowhere(const SF_INFO& wanted) {
    SF_VIRTUAL_IO io{};
    io.get_filelen = [](void* n) { return static_cast<nowhere*>(n)->length; };
    io.seek = [](sf_count_t offset, int whence, void* n) {
        auto& f = *static_cast<nowhere*>(n);
        const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f.position : f.length;
        return f.position = base + offset;
    };
    io.read = [](void*, sf_count_t, void*) -> sf_count_t { return 0; };
    io.write = [](const void*, sf_count_t count, void* n) {
        auto& f = *static_cast<nowhere*>(n);
        f.position += count;
        f.length = std::max(f.length, f.position);
        return count;
    };
    io.tell = [](void* n) { return static_cast<nowhere*>(n)->position; };
    nowhere sink;
    SF_INFO info = wanted;
    sound_file trial{sf_open_virtual(&io, SFM_WRITE, &info, &sink)};
    return trial.get() && trial.close() == 0;
}

sound_file opened_or_reported(SNDFILE* file) {
    if (!file)
        error(msg_output_not_opened, sf_strerror(nullptr));
    return sound_file{file};
}

}  // namespace

sound_file open_input(const char* path, SF_INFO& info) {
    info = {};
    sound_file input{sf_open(path, SFM_READ, &info)};
    if (!input.get())
        error(msg_input_not_opened, sf_strerror(nullptr));
    return input;
}

bool same_file(const char* input_path, const char* output_path, int output_fd) {
    struct stat in {};
    struct stat out {};
    return identify(input_path, STDIN_FILENO, in) &&
           identify(output_path, output_fd >= 0 ? output_fd : STDOUT_FILENO, out) &&
           in.st_dev == out.st_dev && in.st_ino == out.st_ino;
}

int set_aside_standard_output(const char* output_path) {
    if (std::strcmp(output_path, "-") != 0)
        return -1;
    std::fflush(stdout);
    const int sound_fd = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
    if (sound_fd >= 0 && dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        close(sound_fd);
        return -1;
    }
    return sound_fd;
}

sound_file open_output(const char* path, int sound_fd, const char* input_path,
                       const SF_INFO& input_info, int format, uint32_t channels,
                       output_replacement& replacement) {
    if (same_file(input_path, path, sound_fd)) {
        error(msg_same_file);
        return {};
    }
    SF_INFO info{};
    info.samplerate = input_info.samplerate;
    info.channels = static_cast<int>(channels);
    info.format = format;
    // sf_open truncates the file before it finds out that the format cannot be written. The
    // encoders of Ogg and MPEG check the rate and channels only as they start, which a trial
    // on nothing finds out, with the library's words.
    if (channels > INT32_MAX || !sf_format_check(&info)) {
        error(msg_output_not_opened, sf_error_number(SF_ERR_UNRECOGNISED_FORMAT));
        return {};
    }
    const int major = format & SF_FORMAT_TYPEMASK;
    if ((major == SF_FORMAT_OGG || major == SF_FORMAT_MPEG) && !writes_nowhere(info)) {
        error(msg_output_not_opened, sf_strerror(nullptr));
        return {};
    }
    if (sound_fd >= 0)
        return opened_or_reported(sf_open_fd(sound_fd, SFM_WRITE, &info, SF_FALSE));
    switch (replacement.begin(path)) {
        case output_route::replace: {
            sound_file output = opened_or_reported(
                sf_open_fd(replacement.descriptor(), SFM_WRITE, &info, SF_FALSE));
            if (!output.get())
                replacement.discard();
            return output;
        }
        case output_route::in_place:
            break;
        case output_route::fail:
            error(msg_output_not_opened, std::strerror(errno));
            return {};
    }
    return opened_or_reported(sf_open(path, SFM_WRITE, &info));
}

bool close_output(sound_file& output) {
    if (const int rc = output.close()) {
        error(msg_output_not_closed, sf_error_number(rc));
        return false;
    }
    return true;
}

bool finish_output(output_replacement& replacement, bool succeeded) {
    if (!succeeded) {
        replacement.discard();
        return true;
    }
    if (!replacement.commit()) {
        error(msg_output_not_closed, std::strerror(errno));
        return false;
    }
    return true;
}

void close_input(sound_file& input) {
    if (const int rc = input.close())
        warning(msg_input_not_closed, sf_error_number(rc));
}

}  // namespace kelvo
