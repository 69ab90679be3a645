#include "sound.h"

#include <stdexcept>

namespace kelvo::test {

float numbered_sample(int64_t frame, int channel) {
    // Exact in a 32-bit float and in 24-bit PCM for the lengths the tests use.
    return static_cast<float>(1000 * channel + frame) / 65536.0f;
}

sound numbered_sound(int channels, int64_t frames, int samplerate) {
    sound s;
    s.channels = channels;
    s.samplerate = samplerate;
    s.samples.resize(static_cast<size_t>(frames * channels));
    for (int64_t i = 0; i < frames; ++i) {
        for (int c = 0; c < channels; ++c)
            s.samples[i * channels + c] = numbered_sample(i, c);
    }
    return s;
}

void write_sound(const std::string& path, const sound& s) {
    SF_INFO info{};
    info.channels = s.channels;
    info.samplerate = s.samplerate;
    info.format = s.format;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!f)
        throw std::runtime_error("cannot write " + path + ": " + sf_strerror(nullptr));
    const sf_count_t written = sf_writef_float(f, s.samples.data(), s.frames());
    sf_close(f);
    if (written != s.frames())
        throw std::runtime_error("short write to " + path);
}

sound read_sound(const std::string& path) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    if (!f)
        throw std::runtime_error("cannot read " + path + ": " + sf_strerror(nullptr));
    sound s;
    s.channels = info.channels;
    s.samplerate = info.samplerate;
    s.format = info.format;
    s.samples.resize(static_cast<size_t>(info.frames * info.channels));
    const sf_count_t got = sf_readf_float(f, s.samples.data(), info.frames);
    s.samples.resize(static_cast<size_t>(got * info.channels));
    sf_close(f);
    return s;
}

processed process(const sound& in, const std::string& uri, const std::vector<std::string>& args) {
    std::vector<std::string> words = args;
    words.push_back(uri);
    return process(in, words);
}

processed process(const sound& in, const std::vector<std::string>& words) {
    const temp_dir dir;
    // Names without an extension, which would say a format the file might not be in.
    write_sound(dir / "in", in);
    std::vector<std::string> all{"-i", dir / "in", "-o", dir / "out"};
    all.insert(all.end(), words.begin(), words.end());
    run_options options;
    options.env = {{"KELVO_TEST_LOG", dir / "log"}};
    processed p{run_kelvo(all, options), file_exists(dir / "out"), {}, read_file(dir / "log")};
    if (p.written)
        p.out = read_sound(dir / "out");
    return p;
}

}  // namespace kelvo::test
