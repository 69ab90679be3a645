#include "audio/normalize.h"

#include "memory.h"

#include <algorithm>
#include <cmath>

namespace kelvo {

namespace {

constexpr char msg_silent[] = "%s: warning: the plugin produced silent output, cannot normalize\n";
constexpr char msg_gain[] = "Applying %gx gain (%g dB) to all output channels\n";

// Room for `needed` frames per channel, doubling so that appends cost amortized O(1).
bool grow(whole_output& whole, uint64_t needed, const char* program_name) {
    const uint64_t capacity = whole.channels.empty() ? 0 : whole.channels[0].size();
    const uint64_t frames = std::max(needed, capacity * 2);
    const auto bytes = checked_product(frames, whole.channels.size() * sizeof(float));
    if (!bytes || *bytes > physical_memory_bytes()) {
        report_out_of_memory(program_name);
        return false;
    }
    return allocate_or_report(
        [&] {
            for (std::vector<float>& channel : whole.channels)
                channel.resize(frames);
        },
        program_name);
}

// Infinities go to full scale by their sign; the peak never counted them.
float saturated(float x) { return std::signbit(x) ? -1.0f : 1.0f; }

std::span<float> stored(std::vector<float>& channel, int64_t frames) {
    return std::span(channel).first(static_cast<size_t>(frames));
}

void saturate_infinities(whole_output& whole) {
    for (std::vector<float>& channel : whole.channels) {
        for (float& x : stored(channel, whole.stored_frames)) {
            if (std::isinf(x))
                x = saturated(x);
        }
    }
}

}  // namespace

uint64_t initial_whole_frames(int64_t declared) {
    if (declared >= 0 && static_cast<uint64_t>(declared) <= trusted_declared_frames)
        return static_cast<uint64_t>(declared);
    return trusted_declared_frames;
}

whole_output make_whole_output(uint32_t outputs, uint64_t frames) {
    return {channel_buffers(outputs, frames), 0};
}

bool append(whole_output& whole, std::span<const std::vector<float>> channels, int64_t count,
            int64_t start, const char* program_name) {
    const int64_t n = count - start;
    if (n <= 0)
        return true;
    const auto needed = static_cast<uint64_t>(whole.stored_frames + n);
    if (!whole.channels.empty() && needed > whole.channels[0].size() &&
        !grow(whole, needed, program_name))
        return false;
    for (size_t c = 0; c < channels.size(); ++c)
        std::copy_n(channels[c].data() + start, n, whole.channels[c].data() + whole.stored_frames);
    whole.stored_frames += n;
    return true;
}

void normalize(whole_output& whole, float peak, FILE* report, const char* program_name) {
    const float gain = peak == 0 ? 0 : 1.0f / peak;
    // A denormal peak has no finite reciprocal: the output is as good as silent.
    if (peak == 0 || !std::isfinite(gain)) {
        std::fprintf(stderr, msg_silent, program_name);
        saturate_infinities(whole);
        return;
    }
    std::fprintf(report, msg_gain, static_cast<double>(gain),
                 20.0 * static_cast<double>(std::log10(gain)));
    for (std::vector<float>& channel : whole.channels) {
        for (float& x : stored(channel, whole.stored_frames))
            x = std::isinf(x) ? saturated(x) : x * gain;
    }
}

bool write_whole_output(const whole_output& whole, output_stream& out, const char* program_name) {
    return queue_frames(out, whole.channels, whole.stored_frames, 0, 0, program_name) &&
           write_pending(out, program_name);
}

}  // namespace kelvo
