// Plugins for kelvo's own tests. Each one shows the host a single situation: a port kind, an
// optional connection, a latency report, a missing life-cycle call, and so on.

#include <lv2/core/lv2.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <thread>
#include <type_traits>
#include <vector>

#define KELVO_TEST_URI "http://kelvo.test/plugins/"

namespace {

constexpr uint32_t kMaxPorts = 9;
constexpr uint32_t kMaxDelay = 65536;
constexpr uint32_t kTwoLatencyDelay = 10;

enum Flags : unsigned {
    kLogs = 1u << 0,
    kNoActivate = 1u << 1,
    kFailsInstantiate = 1u << 2,
};

struct Instance;
using Process = void (*)(Instance&, uint32_t frames);
using Hook = void (*)(Instance&);

struct Plugin {
    LV2_Descriptor descriptor;  // first, so the host's descriptor pointer leads back here
    Process process;            // null: run does nothing
    Hook on_activate;           // null: nothing beyond the common bookkeeping
    unsigned flags;
    uint32_t line_frames;  // delay line length allocated in instantiate

    const char* name() const { return descriptor.URI + sizeof(KELVO_TEST_URI) - 1; }
};
static_assert(std::is_standard_layout_v<Plugin>);

struct Instance {
    const Plugin* plugin = nullptr;
    std::array<void*, kMaxPorts> ports{};
    std::FILE* log_file = nullptr;
    std::vector<float> line;  // delay line, zeroed in instantiate
    size_t line_pos = 0;
    uint32_t delay = 0;
    bool delay_fixed = false;
    bool active = false;
    uint64_t runs = 0;  // run calls since the last activate

    [[gnu::format(printf, 2, 3)]] void log(const char* format, ...) {
        if (log_file == nullptr) return;
        va_list args;
        va_start(args, format);
        std::vfprintf(log_file, format, args);
        va_end(args);
        std::fflush(log_file);
    }
};

float* buffer(const Instance& self, uint32_t port) { return static_cast<float*>(self.ports[port]); }

float control(const Instance& self, uint32_t port, float fallback) {
    const float* value = buffer(self, port);
    return value != nullptr ? *value : fallback;
}

void report(const Instance& self, uint32_t port, float value) {
    if (float* out = buffer(self, port)) *out = value;
}

// out = in * gain. A missing input reads as silence and a missing output is skipped, so
// optional ports and careless hosts cannot make a plugin crash.
void scale(const Instance& self, uint32_t in_port, uint32_t out_port, float gain, uint32_t n) {
    const float* in = buffer(self, in_port);
    float* out = buffer(self, out_port);
    if (out == nullptr) return;
    for (uint32_t i = 0; i < n; ++i) out[i] = in != nullptr ? in[i] * gain : 0.0f;
}

void copy(Instance& self, uint32_t n) { scale(self, 0, 1, 1.0f, n); }

void fill(const Instance& self, uint32_t port, float value, uint32_t n) {
    if (float* out = buffer(self, port)) std::fill(out, out + n, value);
}

float peak(const float* samples, uint32_t n) {
    float result = 0.0f;
    if (samples == nullptr) return result;
    for (uint32_t i = 0; i < n; ++i) result = std::max(result, std::fabs(samples[i]));
    return result;
}

// Port 1 gets port 0 delayed by `delay` frames, silence before the start. Writing before
// reading keeps it right when the host runs in place.
void run_line(Instance& self, uint32_t n, uint32_t delay) {
    const float* in = buffer(self, 0);
    float* out = buffer(self, 1);
    const size_t size = self.line.size();
    for (uint32_t i = 0; i < n; ++i) {
        self.line[self.line_pos] = in != nullptr ? in[i] : 0.0f;
        const float delayed = self.line[(self.line_pos + size - delay) % size];
        if (out != nullptr) out[i] = delayed;
        self.line_pos = (self.line_pos + 1) % size;
    }
}

void clear_line(Instance& self) {
    std::fill(self.line.begin(), self.line.end(), 0.0f);
    self.line_pos = 0;
}

void run_amp(Instance& self, uint32_t n) { scale(self, 1, 2, control(self, 0, 1.0f), n); }

void run_stereo(Instance& self, uint32_t n) {
    const float gain = control(self, 0, 1.0f);
    scale(self, 1, 3, gain, n);
    scale(self, 2, 4, gain, n);
}

void run_mono_to_stereo(Instance& self, uint32_t n) {
    scale(self, 0, 1, 1.0f, n);
    scale(self, 0, 2, 0.5f, n);
}

void run_no_audio_in(Instance& self, uint32_t n) { fill(self, 1, control(self, 0, 0.5f), n); }

void run_no_audio_out(Instance& self, uint32_t n) { report(self, 1, peak(buffer(self, 0), n)); }

void run_optional_input(Instance& self, uint32_t n) {
    scale(self, 0, 2, 1.0f, n);
    scale(self, 1, 3, 1.0f, n);  // an unconnected side input gives silence
}

void run_optional_output(Instance& self, uint32_t n) {
    scale(self, 0, 1, 1.0f, n);
    scale(self, 0, 2, 0.25f, n);
}

// A latency that rounds to a frame count the line can hold is honoured; anything else passes
// the audio through. Once taken, the delay never changes for the instance.
void take_delay(Instance& self) {
    const float frames = std::round(control(self, 2, 0.0f));
    const bool usable =
        std::isfinite(frames) && frames >= 0.0f && frames <= static_cast<float>(kMaxDelay);
    self.delay = usable ? static_cast<uint32_t>(frames) : 0;
    self.delay_fixed = true;
}

void start_delay(Instance& self) {
    clear_line(self);
    // The latency control may only be connected later; the first run takes it then.
    if (!self.delay_fixed && buffer(self, 2) != nullptr) take_delay(self);
}

void run_delay(Instance& self, uint32_t n) {
    if (!self.delay_fixed) take_delay(self);
    run_line(self, n, self.delay);
    report(self, 3, control(self, 2, 0.0f));
}

void run_artificial_latency(Instance& self, uint32_t n) {
    copy(self, n);
    report(self, 3, control(self, 2, 0.0f));
}

void run_two_latency(Instance& self, uint32_t n) {
    run_line(self, n, kTwoLatencyDelay);
    report(self, 2, 5.0f);
    report(self, 3, 10.0f);
}

void run_changing_latency(Instance& self, uint32_t n) {
    copy(self, n);
    const bool early = static_cast<double>(self.runs) < control(self, 4, 1.0f);
    report(self, 5, early ? control(self, 2, -1.0f) : control(self, 3, 100.0f));
}

void run_constant(Instance& self, uint32_t n) { fill(self, 1, control(self, 2, 0.5f), n); }

// Sleeping, not spinning: the run takes wall time but almost no processor time.
void run_slow(Instance& self, uint32_t n) {
    const float ms = std::clamp(control(self, 2, 1.0f), 0.0f, 1000.0f);
    if (ms > 0.0f) std::this_thread::sleep_for(std::chrono::duration<float, std::milli>(ms));
    copy(self, n);
}

void run_recorder(Instance& self, uint32_t n) {
    scale(self, 0, 1, control(self, 2, 1.0f), n);
    report(self, 3, peak(buffer(self, 1), n));
    report(self, 4, 0.0f);
}

void run_no_activate(Instance& self, uint32_t n) { scale(self, 0, 1, 2.0f, n); }

void run_controls(Instance& self, uint32_t n) {
    // Control inputs from port 2 on, in port order.
    static constexpr std::array<const char*, 7> kSymbols = {
        "with_default", "min_only",      "max_only",    "bare",
        "rate_bound",   "optional_knob", "both_bounds",
    };
    if (self.active && self.runs == 0) {
        for (uint32_t i = 0; i < kSymbols.size(); ++i) {
            if (const float* value = buffer(self, i + 2)) {
                self.log("control %s %.9g\n", kSymbols[i], static_cast<double>(*value));
            } else {
                self.log("control %s unconnected\n", kSymbols[i]);
            }
        }
    }
    copy(self, n);
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char* /*bundle*/,
                       const LV2_Feature* const* /*features*/) {
    const auto* plugin = reinterpret_cast<const Plugin*>(descriptor);
    if ((plugin->flags & kFailsInstantiate) != 0) return nullptr;
    auto* self = new (std::nothrow) Instance;
    if (self == nullptr) return nullptr;
    self->plugin = plugin;
    try {
        self->line.assign(plugin->line_frames, 0.0f);
    } catch (const std::bad_alloc&) {
        delete self;
        return nullptr;
    }
    const char* log_path = std::getenv("KELVO_TEST_LOG");
    if ((plugin->flags & kLogs) != 0 && log_path != nullptr && *log_path != '\0') {
        self->log_file = std::fopen(log_path, "a");
    }
    self->log("instantiate %s %g\n", plugin->name(), rate);
    return self;
}

void connect_port(LV2_Handle handle, uint32_t port, void* data) {
    auto& self = *static_cast<Instance*>(handle);
    self.log("connect %u\n", port);
    if (port < kMaxPorts) self.ports[port] = data;
}

void activate(LV2_Handle handle) {
    auto& self = *static_cast<Instance*>(handle);
    self.log("activate\n");
    self.active = true;
    self.runs = 0;
    if (self.plugin->on_activate != nullptr) self.plugin->on_activate(self);
}

void run(LV2_Handle handle, uint32_t frames) {
    auto& self = *static_cast<Instance*>(handle);
    self.log("run %u\n", frames);
    if (self.plugin->process != nullptr) self.plugin->process(self, frames);
    ++self.runs;
}

void deactivate(LV2_Handle handle) {
    auto& self = *static_cast<Instance*>(handle);
    self.log("deactivate\n");
    self.active = false;
}

void cleanup(LV2_Handle handle) {
    auto* self = static_cast<Instance*>(handle);
    self->log("cleanup\n");
    if (self->log_file != nullptr) std::fclose(self->log_file);
    delete self;
}

constexpr Plugin make(const char* uri, Process process, unsigned flags = 0,
                      Hook on_activate = nullptr, uint32_t line_frames = 0) {
    const bool activates = (flags & kNoActivate) == 0;
    return Plugin{
        .descriptor = {uri, instantiate, connect_port, activates ? activate : nullptr, run,
                       activates ? deactivate : nullptr, cleanup, nullptr},
        .process = process,
        .on_activate = on_activate,
        .flags = flags,
        .line_frames = line_frames,
    };
}

const Plugin kPlugins[] = {
    make(KELVO_TEST_URI "amp", run_amp),
    make(KELVO_TEST_URI "stereo", run_stereo),
    make(KELVO_TEST_URI "mono_to_stereo", run_mono_to_stereo),
    make(KELVO_TEST_URI "needs_feature", copy),
    make(KELVO_TEST_URI "atom_port", copy),
    make(KELVO_TEST_URI "event_port", copy),
    make(KELVO_TEST_URI "cv_port", copy),
    make(KELVO_TEST_URI "optional_atom", copy),
    make(KELVO_TEST_URI "audio_nodir", copy),
    make(KELVO_TEST_URI "control_nodir", copy),
    make(KELVO_TEST_URI "no_ports", nullptr),
    make(KELVO_TEST_URI "no_audio_in", run_no_audio_in),
    make(KELVO_TEST_URI "no_audio_out", run_no_audio_out),
    make(KELVO_TEST_URI "optional_input", run_optional_input),
    make(KELVO_TEST_URI "only_optional_input", copy),
    make(KELVO_TEST_URI "only_optional_output", copy),
    make(KELVO_TEST_URI "optional_output", run_optional_output),
    make(KELVO_TEST_URI "delay", run_delay, kLogs, start_delay, kMaxDelay + 1),
    make(KELVO_TEST_URI "artificial_latency", run_artificial_latency),
    make(KELVO_TEST_URI "two_latency", run_two_latency, 0, clear_line, kTwoLatencyDelay + 1),
    make(KELVO_TEST_URI "changing_latency", run_changing_latency),
    make(KELVO_TEST_URI "constant", run_constant),
    make(KELVO_TEST_URI "recorder", run_recorder, kLogs),
    make(KELVO_TEST_URI "no_activate", run_no_activate, kNoActivate),
    make(KELVO_TEST_URI "fail_instantiate", copy, kFailsInstantiate),
    make(KELVO_TEST_URI "controls", run_controls, kLogs),
    make(KELVO_TEST_URI "slow", run_slow),
    make(KELVO_TEST_URI "midi_first", nullptr),
    make(KELVO_TEST_URI "odd'\"\\\t\u00e9\u20ac", copy),
};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < std::size(kPlugins) ? &kPlugins[index].descriptor : nullptr;
}
