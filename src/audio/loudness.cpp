#include "audio/loudness.h"

#include "memory.h"
#include "messages.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <numeric>

namespace kelvo {

namespace {

constexpr char msg_gain[] = "Applying %.2f dB gain: %.2f LUFS to %.2f LUFS, true peak %.2f dBTP\n";
constexpr char msg_not_measurable[] =
    "the output has no block above -70 LUFS (silent, or shorter than 0.4 s): its loudness is "
    "left as it is";
constexpr char msg_capped[] =
    "the true-peak ceiling of %.2f dBTP holds the output at %.2f LUFS, short of %.2f LUFS";

using state_ptr = std::unique_ptr<ebur128_state, decltype([](ebur128_state* s) {
                                      ebur128_destroy(&s);
                                  })>;

// Frames measured in one call; also the stretch whose sample peak decides whether its true
// peak needs measuring.
constexpr int64_t segment_frames = 4096;

// Long enough for any oversampling filter libebur128 uses below 192 kHz (a dozen frames).
constexpr int probe_frames = 256;

// Copies frames `from` to `from + count - 1` of every channel into `out`, interleaved.
void interleave(const whole_output& whole, int64_t from, int64_t count, float* out) {
    const size_t n = whole.channels.size();
    int64_t chunk_start = 0;
    for (size_t k = 0; k < whole.chunk_count && count > 0; ++k) {
        const int64_t chunk_end = chunk_start + whole.chunk_frames[k];
        if (from < chunk_end) {
            const int64_t m = std::min(count, chunk_end - from);
            for (size_t c = 0; c < n; ++c) {
                const float* const in = whole.channels[c].samples[k] + (from - chunk_start);
                for (int64_t i = 0; i < m; ++i)
                    out[static_cast<size_t>(i) * n + c] = in[i];
            }
            out += static_cast<size_t>(m) * n;
            from += m;
            count -= m;
        }
        chunk_start = chunk_end;
    }
}

// The write-out would set them to full scale after the gain; set here, they are measured and
// scaled like any other sample, so the ceiling holds for them too.
void set_infinities_to_full_scale(whole_output& whole) {
    int64_t chunk_start = 0;
    for (size_t k = 0; k < whole.chunk_count && chunk_start < whole.stored_frames; ++k) {
        const int64_t m = std::min(whole.chunk_frames[k], whole.stored_frames - chunk_start);
        for (whole_channel& channel : whole.channels) {
            float* const samples = channel.samples[k];
            for (int64_t i = 0; i < m; ++i) {
                if (std::isinf(samples[i]))
                    samples[i] = std::copysign(1.0f, samples[i]);
            }
        }
        chunk_start += whole.chunk_frames[k];
    }
}

// How far above its input's peak the oversampled signal can go, and how many frames back
// an output still depends on, asked of libebur128 itself with an impulse: each frame's
// true peak is the largest coefficient of any phase at that delay, so their sum bounds the
// filter's gain. Nothing when the response does not die out within the probe.
struct oversampling {
    double gain = 0;
    int64_t history = 0;
};

std::optional<oversampling> probe_oversampling(unsigned long rate) {
    const state_ptr state{ebur128_init(1, rate, EBUR128_MODE_TRUE_PEAK)};
    if (!state)
        throw std::bad_alloc{};
    oversampling o;
    int last = 0;
    for (int i = 0; i < probe_frames; ++i) {
        const float x = i == 0 ? 1.0f : 0.0f;
        double peak = 0;
        if (ebur128_add_frames_float(state.get(), &x, 1) != EBUR128_SUCCESS ||
            ebur128_prev_true_peak(state.get(), 0, &peak) != EBUR128_SUCCESS)
            return std::nullopt;
        o.gain += peak;
        if (peak > 0)
            last = i;
    }
    if (last >= probe_frames / 2)
        return std::nullopt;
    o.history = last + 1;
    return o;
}

void add_frames(ebur128_state* state, const float* frames, int64_t count) {
    if (ebur128_add_frames_float(state, frames, static_cast<size_t>(count)) != EBUR128_SUCCESS)
        throw std::bad_alloc{};  // its only failure is a block list it could not grow
}

// The largest true peak of any channel of the last frames added.
double last_true_peak(ebur128_state* state, size_t channels) {
    double peak = 0;
    for (size_t c = 0; c < channels; ++c) {
        double p = 0;
        ebur128_prev_true_peak(state, static_cast<unsigned>(c), &p);
        peak = std::max(peak, p);
    }
    return peak;
}

// The true peak of the whole output. Oversampling costs several times the loudness, so
// only the segments whose sample peak (or their predecessor's, which the filter still hears)
// times the filter's gain could pass the peak found so far are oversampled, loudest first,
// each after the frames before it that the filter depends on: the result is the same as
// oversampling everything.
double true_peak(const whole_output& whole, unsigned long rate, std::span<const float> peaks,
                 std::vector<float>& piece) {
    const size_t n = whole.channels.size();
    const state_ptr state{
        ebur128_init(static_cast<unsigned>(n), rate, EBUR128_MODE_TRUE_PEAK)};
    if (!state)
        throw std::bad_alloc{};
    const std::optional<oversampling> filter = probe_oversampling(rate);
    const auto segments = peaks.size();
    const auto frames_of = [&](size_t k) {
        const auto from = static_cast<int64_t>(k) * segment_frames;
        return std::pair{from, std::min(segment_frames, whole.stored_frames - from)};
    };
    double peak = 0;
    if (!filter) {
        for (size_t k = 0; k < segments; ++k) {
            const auto [from, count] = frames_of(k);
            interleave(whole, from, count, piece.data());
            add_frames(state.get(), piece.data(), count);
            peak = std::max(peak, last_true_peak(state.get(), n));
        }
        return peak;
    }
    std::vector<float> heard(segments);
    for (size_t k = 0; k < segments; ++k)
        heard[k] = std::max(peaks[k], k > 0 ? peaks[k - 1] : 0.0f);
    std::vector<size_t> order(segments);
    std::iota(order.begin(), order.end(), size_t{0});
    std::sort(order.begin(), order.end(), [&](size_t a, size_t b) { return heard[a] > heard[b]; });
    std::vector<float> before(static_cast<size_t>(filter->history) * n);
    for (const size_t k : order) {
        if (filter->gain * heard[k] <= peak)
            break;
        const auto [from, count] = frames_of(k);
        // Silence before the first frame, as the filter starts.
        const int64_t first = std::max<int64_t>(0, from - filter->history);
        const int64_t silent = filter->history - (from - first);
        std::fill_n(before.begin(), static_cast<size_t>(silent) * n, 0.0f);
        interleave(whole, first, from - first, before.data() + static_cast<size_t>(silent) * n);
        add_frames(state.get(), before.data(), filter->history);
        interleave(whole, from, count, piece.data());
        add_frames(state.get(), piece.data(), count);
        peak = std::max(peak, last_true_peak(state.get(), n));
    }
    return peak;
}

// Shown with two decimals, never as "-0.00".
double shown(double x) { return std::round(x * 100) / 100 + 0.0; }

}  // namespace

std::vector<int> loudness_channels(uint32_t channels, std::span<const int> file_map) {
    // ebur128's left, right and centre all weigh 1.0, its surrounds 1.41.
    if (channels == 1)
        return {EBUR128_LEFT};
    if (channels == 2)
        return {EBUR128_LEFT, EBUR128_RIGHT};
    if (channels != 6 && channels != 8)
        return std::vector<int>(channels, EBUR128_CENTER);
    if (file_map.size() != channels) {
        // L R C LFE Ls Rs, and for 7.1 the back pair before the side pair.
        std::vector<int> wav{EBUR128_LEFT,          EBUR128_RIGHT,         EBUR128_CENTER,
                             EBUR128_UNUSED,        EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND,
                             EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
        wav.resize(channels);
        return wav;
    }
    std::vector<int> kinds;
    for (const int position : file_map) {
        switch (position) {
            case SF_CHANNEL_MAP_LFE:
                kinds.push_back(EBUR128_UNUSED);
                break;
            case SF_CHANNEL_MAP_REAR_LEFT:
            case SF_CHANNEL_MAP_SIDE_LEFT:
                kinds.push_back(EBUR128_LEFT_SURROUND);
                break;
            case SF_CHANNEL_MAP_REAR_RIGHT:
            case SF_CHANNEL_MAP_SIDE_RIGHT:
                kinds.push_back(EBUR128_RIGHT_SURROUND);
                break;
            default:
                kinds.push_back(EBUR128_CENTER);
        }
    }
    return kinds;
}

loudness_measurement measure_loudness(whole_output& whole, double sample_rate,
                                      std::span<const int> channels) {
    loudness_measurement m;
    const size_t n = whole.channels.size();
    if (n == 0 || whole.stored_frames <= 0) {
        m.lufs = -HUGE_VAL;
        return m;
    }
    const auto rate = static_cast<unsigned long>(std::lround(sample_rate));
    set_infinities_to_full_scale(whole);
    {
        const state_ptr state{ebur128_init(static_cast<unsigned>(n), rate, EBUR128_MODE_I)};
        if (!state)
            throw std::bad_alloc{};
        for (size_t c = 0; c < n && c < channels.size(); ++c)
            ebur128_set_channel(state.get(), static_cast<unsigned>(c), channels[c]);
        std::vector<float> piece(static_cast<size_t>(segment_frames) * n);
        std::vector<float> peaks;
        peaks.reserve(static_cast<size_t>((whole.stored_frames - 1) / segment_frames + 1));
        for (int64_t from = 0; from < whole.stored_frames; from += segment_frames) {
            const int64_t count = std::min(segment_frames, whole.stored_frames - from);
            interleave(whole, from, count, piece.data());
            float peak = 0;
            for (size_t i = 0; i < static_cast<size_t>(count) * n; ++i)
                peak = std::max(peak, std::fabs(piece[i]));
            peaks.push_back(peak);
            add_frames(state.get(), piece.data(), count);
        }
        ebur128_loudness_global(state.get(), &m.lufs);
        m.true_peak = true_peak(whole, rate, peaks, piece);
    }
    return m;
}

loudness_gain plan_loudness_gain(const loudness_measurement& m, const loudness_target& t) {
    loudness_gain g;
    if (!std::isfinite(m.lufs) || !(m.true_peak > 0))
        return g;
    g.measurable = true;
    const double true_peak_db = 20 * std::log10(m.true_peak);
    const double wanted = t.lufs - m.lufs;
    const double allowed = t.ceiling_dbtp - true_peak_db;
    g.capped = allowed < wanted;
    g.gain = static_cast<float>(std::pow(10.0, std::min(wanted, allowed) / 20));
    // The gain is a float: its rounding must not lift the true peak over the ceiling.
    const double ceiling = std::pow(10.0, t.ceiling_dbtp / 20);
    while (g.gain > 0 && static_cast<double>(g.gain) * m.true_peak > ceiling)
        g.gain = std::nextafter(g.gain, 0.0f);
    g.gain_db = 20 * std::log10(static_cast<double>(g.gain));
    g.lufs_after = m.lufs + g.gain_db;
    g.true_peak_after_dbtp = true_peak_db + g.gain_db;
    return g;
}

std::optional<float> apply_loudness(whole_output& whole, const loudness_target& target,
                                    double sample_rate, SNDFILE* input, FILE* report) {
    const auto outputs = static_cast<uint32_t>(whole.channels.size());
    loudness_measurement m;
    const bool measured = allocate_or_report([&] {
        // The input's map tells the output's channels only when the plugin kept them.
        std::vector<int> file_map;
        SF_INFO info{};
        if (input && sf_command(input, SFC_GET_CURRENT_SF_INFO, &info, sizeof info) == 0 &&
            static_cast<uint32_t>(info.channels) == outputs) {
            file_map.resize(outputs);
            if (sf_command(input, SFC_GET_CHANNEL_MAP_INFO, file_map.data(),
                           static_cast<int>(file_map.size() * sizeof(int))) != SF_TRUE)
                file_map.clear();
        }
        m = measure_loudness(whole, sample_rate, loudness_channels(outputs, file_map));
    });
    if (!measured)
        return std::nullopt;
    const loudness_gain g = plan_loudness_gain(m, target);
    if (!g.measurable) {
        warning(msg_not_measurable);
        return 1.0f;
    }
    std::fprintf(report, msg_gain, shown(g.gain_db), shown(m.lufs), shown(g.lufs_after),
                 shown(g.true_peak_after_dbtp));
    if (g.capped)
        warning(msg_capped, target.ceiling_dbtp, shown(g.lufs_after), target.lufs);
    return g.gain;
}

}  // namespace kelvo
