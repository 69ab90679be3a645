#pragma once

#include <sndfile.h>

#include <optional>

namespace kelvo {

/// The range of `--quality`: 0 the smallest file, 10 the best.
constexpr double min_quality = 0;
constexpr double max_quality = 10;

/// The quality of a lossy output without `--quality`: the lowest setting that gave at least
/// 160 kbps on stereo 44.1 kHz pink noise in MP3 and in Vorbis.
constexpr double default_quality = 7;

/// What `--format`, `--bits` and `--quality` asked of the output, as typed; null when not
/// given.
struct format_request {
    const char* format = nullptr;
    const char* bits = nullptr;
    bool quality = false;  ///< `--quality` was given
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

/// True for the formats `--quality` applies to: Vorbis, Opus and MP3.
bool has_quality(int format);

/// Sets a lossy output's quality, 0 to 10, before anything is written: a variable bit rate
/// at libsndfile's compression level 1 - quality / 10. Nothing to do for other formats;
/// false after the error.
bool set_quality(SNDFILE* output, int format, double quality);

/// Warns when the output's name ends in the extension of another format than `format`,
/// which it is written in without `--format`.
void warn_about_misleading_name(const char* path, int format);

}  // namespace kelvo
