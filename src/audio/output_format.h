#pragma once

#include <optional>

namespace kelvo {

/// What `--format` and `--bits` asked of the output, as typed; null when not given.
struct format_request {
    const char* format = nullptr;
    const char* bits = nullptr;
};

/// Checks the names before anything is opened, and that a format asked for can hold the
/// depth asked for; false after the error.
bool check_format_request(const format_request& request);

/// The output's libsndfile format for an input in `input_format` written with `channels` at
/// `sample_rate`: the format and depth asked for, else the input's where the format can hold
/// it, else the format's usual depth. Nothing, after the error, when the depth asked for does
/// not fit the input's format.
std::optional<int> choose_output_format(const format_request& request, int input_format,
                                        int channels, int sample_rate);

/// Warns when the output's name ends in the extension of another format than `format`,
/// which it is written in without `--format`.
void warn_about_misleading_name(const char* path, int format);

}  // namespace kelvo
