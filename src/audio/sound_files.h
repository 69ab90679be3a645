#pragma once

#include "audio/output_replacement.h"

#include <sndfile.h>

#include <cstdint>
#include <utility>

namespace kelvo {

/// Owns one SNDFILE*; close() returns libsndfile's error code: 0 if fine or nothing was open.
class sound_file {
public:
    sound_file() = default;
    explicit sound_file(SNDFILE* f) noexcept : file_{f} {}
    sound_file(sound_file&& o) noexcept : file_{std::exchange(o.file_, nullptr)} {}
    sound_file& operator=(sound_file o) noexcept {
        std::swap(file_, o.file_);
        return *this;
    }
    ~sound_file() { close(); }  // quiet: call close() wherever a failure must be reported
    int close() noexcept { return file_ ? sf_close(std::exchange(file_, nullptr)) : 0; }
    SNDFILE* get() const noexcept { return file_; }

private:
    SNDFILE* file_ = nullptr;
};

/// Opens the input for reading and fills `info`; prints the error when it cannot.
sound_file open_input(const char* path, SF_INFO& info);

/// For an output to standard output ("-"): moves the sound to a descriptor of its own and
/// points standard output at standard error, so that nothing a plugin prints can end up in
/// the sound. Returns that descriptor, which the caller closes after the output, or -1 for a
/// named output or when it cannot be moved.
int set_aside_standard_output(const char* output_path);

/// Creates the output in `format` at the input's rate with `channels` channels, on
/// `sound_fd` when it is not -1, else in `replacement`'s temporary file when the path can be
/// replaced, else in place. Refuses an output that is the input file itself, and never
/// truncates a file it cannot write.
sound_file open_output(const char* path, int sound_fd, const char* input_path,
                       const SF_INFO& input_info, int format, uint32_t channels,
                       output_replacement& replacement);

/// True when both paths name one file ("-" names standard input, or `output_fd` when it is
/// not -1, else standard output).
bool same_file(const char* input_path, const char* output_path, int output_fd = -1);

/// Closes the output; a failed close is an error, for the file may lack its header.
bool close_output(sound_file& output);

/// Once the output is closed and no plugin code is left to run: renames the temporary file
/// over the output path when `succeeded`, else removes it. False after the error.
bool finish_output(output_replacement& replacement, bool succeeded);

/// Closes the input; a failed close only warns.
void close_input(sound_file& input);

}  // namespace kelvo
