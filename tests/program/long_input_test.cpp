#include "run_kelvo.h"
#include "sound.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvo::test {
namespace {

constexpr int rate = 44100;
constexpr int64_t frames = int64_t{10} * 60 * rate;  // ten minutes
constexpr int64_t chunk = 1 << 16;

// A slow ramp per channel that 16-bit PCM holds exactly, so every frame can be checked.
float ramp(int64_t frame, int channel) {
    return static_cast<float>((frame + 7 * channel) % 16384) / 32768.0f;
}

void write_long_input(const std::string& path) {
    SF_INFO info{};
    info.channels = 2;
    info.samplerate = rate;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* f = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(nullptr, f);
    std::vector<float> block(chunk * 2);
    for (int64_t start = 0; start < frames; start += chunk) {
        const int64_t n = std::min(chunk, frames - start);
        for (int64_t i = 0; i < n; ++i) {
            block[2 * i] = ramp(start + i, 0);
            block[2 * i + 1] = ramp(start + i, 1);
        }
        ASSERT_EQ(n, sf_writef_float(f, block.data(), n));
    }
    sf_close(f);
}

// Checks every frame of the output against the input ramp times `gain`.
void expect_scaled_ramp(const std::string& path, float gain) {
    SF_INFO info{};
    SNDFILE* f = sf_open(path.c_str(), SFM_READ, &info);
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(frames, info.frames);
    EXPECT_EQ(2, info.channels);
    EXPECT_EQ(rate, info.samplerate);
    EXPECT_EQ(SF_FORMAT_WAV | SF_FORMAT_PCM_16, info.format);
    std::vector<float> block(chunk * 2);
    int64_t position = 0;
    for (sf_count_t n; (n = sf_readf_float(f, block.data(), chunk)) > 0; position += n) {
        for (int64_t i = 0; i < n; ++i) {
            for (int c = 0; c < 2; ++c) {
                ASSERT_NEAR(ramp(position + i, c) * gain, block[2 * i + c], 2.0 / 32768)
                    << "frame " << position + i << " channel " << c;
            }
        }
    }
    sf_close(f);
    EXPECT_EQ(frames, position);
}

TEST(LongInput, TenMinutesOfStereoComeThroughWhole) {
    const temp_dir dir;
    write_long_input(dir / "in.wav");
    const struct {
        const char* mode;
        float gain;
    } cases[] = {{"", 0.5f}, {"--normalize", 32768.0f / 16383.0f}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        std::vector<std::string> args{"-i", dir / "in.wav", "-o", dir / "out.wav",
                                      "-c", "gain:0.5"};
        if (*c.mode)
            args.push_back(c.mode);
        args.push_back(test_uri("stereo"));
        const result r = run_kelvo(args);
        ASSERT_EQ(0, r.status) << r.err;
        expect_scaled_ramp(dir / "out.wav", c.gain);
    }
}

}  // namespace
}  // namespace kelvo::test
