#pragma once

#include "run_kelvo.h"

#include <sndfile.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo::test {

/// A sound held in memory: interleaved samples and what the file said of them.
struct sound {
    int channels = 1;
    int samplerate = 48000;
    int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
    std::vector<float> samples;  ///< interleaved

    int64_t frames() const { return channels ? static_cast<int64_t>(samples.size()) / channels : 0; }
    float at(int64_t frame, int channel) const { return samples[frame * channels + channel]; }
};

/// Samples that say where they belong: 1000 × channel + frame, scaled into full scale.
sound numbered_sound(int channels, int64_t frames, int samplerate = 48000);

/// The sample that numbered_sound puts at `frame` of `channel`.
float numbered_sample(int64_t frame, int channel);

/// Writes `s` to `path` in its format; throws on failure.
void write_sound(const std::string& path, const sound& s);

/// Reads the whole file at `path`; throws when libsndfile cannot open it.
sound read_sound(const std::string& path);

/// A run of the program on a sound, with whatever output file it left.
struct processed {
    result r;
    bool written = false;  ///< an output file was left behind
    sound out;
    std::string log;  ///< what the logging plugins of the test bundle wrote
};

/// Writes `in` to a fresh file, runs the plugin `uri` on it with `args` before the URI, and
/// reads back the output file.
processed process(const sound& in, const std::string& uri, const std::vector<std::string>& args);

/// The same with the words after `-i` and `-o` as given: plugins and options in any order.
processed process(const sound& in, const std::vector<std::string>& words);

}  // namespace kelvo::test
