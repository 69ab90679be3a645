#include "audio/sound_files.h"

#include "messages.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

namespace kelvo {

namespace {

constexpr char msg_input_not_opened[] = "could not open input file: %s";
constexpr char msg_output_not_opened[] = "could not open output file: %s";
constexpr char msg_output_not_written[] = "could not write output file: %s";
constexpr char msg_same_file[] = "input and output are the same file";
constexpr char msg_output_not_closed[] = "could not close output file: %s";
constexpr char msg_input_not_closed[] = "could not close input file: %s";

// libsndfile reads "-" as standard input and writes it as standard output.
bool identify(const char* path, int dash_fd, struct stat& st) {
    if (std::strcmp(path, "-") == 0)
        return fstat(dash_fd, &st) == 0;
    return stat(path, &st) == 0;
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
                       const SF_INFO& input_info, uint32_t channels) {
    if (same_file(input_path, path, sound_fd)) {
        error(msg_same_file);
        return {};
    }
    SF_INFO info{};
    info.samplerate = input_info.samplerate;
    info.channels = static_cast<int>(channels);
    info.format = input_info.format;
    // sf_open truncates the file before it finds out that the format cannot be written.
    if (channels > INT32_MAX || !sf_format_check(&info)) {
        error(msg_output_not_opened, sf_error_number(SF_ERR_UNRECOGNISED_FORMAT));
        return {};
    }
    sound_file output{sound_fd >= 0 ? sf_open_fd(sound_fd, SFM_WRITE, &info, SF_FALSE)
                                    : sf_open(path, SFM_WRITE, &info)};
    if (!output.get())
        error(msg_output_not_opened, sf_strerror(nullptr));
    return output;
}

bool write_frames(SNDFILE* output, const float* block, int64_t frames) {
    if (sf_writef_float(output, block, frames) != frames) {
        error(msg_output_not_written, sf_strerror(output));
        return false;
    }
    return true;
}

bool close_output(sound_file& output) {
    if (const int rc = output.close()) {
        error(msg_output_not_closed, sf_error_number(rc));
        return false;
    }
    return true;
}

void close_input(sound_file& input) {
    if (const int rc = input.close())
        warning(msg_input_not_closed, sf_error_number(rc));
}

}  // namespace kelvo
