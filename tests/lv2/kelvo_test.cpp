// Plugins for kelvo's own tests. Each one shows the host a single situation: a port kind, an
// optional connection, a latency report, a missing life-cycle call, and so on. Those that
// take host features check what they are given and fail loudly: one line on standard error,
// starting "kelvo_test <plugin name>: ", and a refused instantiation or a run of NaN.

#include <lv2/atom/atom.h>
#include <lv2/atom/util.h>
#include <lv2/buf-size/buf-size.h>
#include <lv2/core/lv2.h>
#include <lv2/log/log.h>
#include <lv2/log/logger.h>
#include <lv2/options/options.h>
#include <lv2/parameters/parameters.h>
#include <lv2/state/state.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#define KELVO_TEST_URI "http://kelvo.test/plugins/"

namespace {

constexpr uint32_t kMaxPorts = 9;
constexpr uint32_t kMaxDelay = 65536;
constexpr uint32_t kTwoLatencyDelay = 10;
constexpr uint32_t kFixedBlockDelay = 100;
constexpr uint32_t kEventsOutMinimum = 100000;  // rsz:minimumSize of atom_cv's events_out
constexpr uint32_t kFollowUp = 0x80000000u;     // worker payload bits
constexpr uint32_t kFlood = 0x40000000u;
constexpr int64_t kEndRun = -1;  // an end_run call among the worker's deliveries
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

enum Flags : unsigned {
    kLogs = 1u << 0,
    kNoActivate = 1u << 1,
    kFailsInstantiate = 1u << 2,
};

// Host features the plugins take. A plugin sets need(feature) in its flags to refuse
// instantiation without it; a feature that carries data counts as missing with null data.
enum Feature : unsigned {
    kUridMap,
    kUridUnmap,
    kOptions,
    kWorkerSchedule,
    kLog,
    kBoundedBlock,
    kFixedBlock,
    kPowerOf2Block,
    kLoadDefaultState,
    kMakePath,
    kFreePath,
    kFeatureCount
};

struct FeatureInfo {
    const char* uri;
    bool carries_data;
};

constexpr std::array<FeatureInfo, kFeatureCount> kFeatures = {{
    {LV2_URID__map, true},
    {LV2_URID__unmap, true},
    {LV2_OPTIONS__options, true},
    {LV2_WORKER__schedule, true},
    {LV2_LOG__log, true},
    {LV2_BUF_SIZE__boundedBlockLength, false},
    {LV2_BUF_SIZE__fixedBlockLength, false},
    {LV2_BUF_SIZE__powerOf2BlockLength, false},
    {LV2_STATE__loadDefaultState, false},
    {LV2_STATE__makePath, true},
    {LV2_STATE__freePath, true},
}};

constexpr unsigned need(Feature feature) { return 1u << (8 + feature); }

struct Instance;
using Process = void (*)(Instance&, uint32_t frames);
using Hook = void (*)(Instance&);
using Setup = bool (*)(Instance&, double rate);  // false: instantiate fails
using ExtensionData = const void* (*)(const char* uri);

struct Plugin {
    LV2_Descriptor descriptor;  // first, so the host's descriptor pointer leads back here
    Process process;            // null: run does nothing
    Hook on_activate;           // null: nothing beyond the common bookkeeping
    unsigned flags;
    uint32_t line_frames;  // delay line length allocated in instantiate
    Setup setup;           // null: nothing to check or read in instantiate

    const char* name() const { return descriptor.URI + sizeof(KELVO_TEST_URI) - 1; }
};
static_assert(std::is_standard_layout_v<Plugin>);

struct Urids {
    LV2_URID atom_float, atom_int, atom_sequence, gain;
};

struct Instance {
    const Plugin* plugin = nullptr;
    std::array<void*, kMaxPorts> ports{};
    std::array<void*, kFeatureCount> features{};  // the data of those given
    Urids urids{};                                 // mapped when urid:map is given
    std::FILE* log_file = nullptr;
    std::vector<float> line;  // delay line, zeroed in instantiate
    size_t line_pos = 0;
    uint32_t delay = 0;
    bool delay_fixed = false;
    bool active = false;
    uint64_t runs = 0;  // run calls since the last activate
    bool failed = false;  // a complaint since the last run: that run's output becomes NaN
    uint32_t block_min = 0, block_max = 0;
    float gain = 1.0f;
    float level = 0.0f;  // decay's smoothed level
    LV2_Log_Logger logger{};
    uint32_t worker_runs = 0;  // run calls since instantiate
    bool in_work = false;
    std::array<int64_t, 8> delivered{};  // responses and end_run calls since the last run
    uint32_t delivered_count = 0;         // may exceed what `delivered` keeps
    int fault = 0;                        // faulty's fault, kept for cleanup
    bool fault_in_cleanup = false;

    // One line on standard error; returns false so that checks can end with it.
    [[gnu::format(printf, 2, 3)]] bool complain(const char* format, ...) {
        std::array<char, 512> text{};
        va_list args;
        va_start(args, format);
        std::vsnprintf(text.data(), text.size(), format, args);
        va_end(args);
        std::fprintf(stderr, "kelvo_test %s: %s\n", plugin->name(), text.data());
        failed = true;
        return false;
    }

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

template <typename T>
T* feature(const Instance& self, Feature which) {
    return static_cast<T*>(self.features[which]);
}

const LV2_Feature* find_feature(const LV2_Feature* const* features, const char* uri) {
    for (; features != nullptr && *features != nullptr; ++features) {
        if (std::strcmp((*features)->URI, uri) == 0) return *features;
    }
    return nullptr;
}

LV2_URID map_uri(const Instance& self, const char* uri) {
    const auto* map = feature<LV2_URID_Map>(self, kUridMap);
    return map->map(map->handle, uri);
}

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

// Fails on purpose as its control "fault" says: 1 writes through a bad pointer, 2 aborts, 3 and
// 4 send itself SIGINT and SIGTERM. It does so in run "block" (from 1), or in cleanup when
// "block" is 0, after the output is complete.
void fail_now(int fault) {
    volatile uintptr_t bad = 8;  // not a constant, so the write is not compiled into a trap
    switch (fault) {
        case 1: *reinterpret_cast<volatile int*>(bad) = 1; break;
        case 2: std::abort();
        case 3: std::raise(SIGINT); break;
        case 4: std::raise(SIGTERM); break;
        default: break;
    }
}

void run_faulty(Instance& self, uint32_t n) {
    self.fault = static_cast<int>(control(self, 2, 0.0f));
    const auto block = static_cast<uint64_t>(control(self, 3, 1.0f));
    self.fault_in_cleanup = block == 0;
    if (block == self.runs + 1) fail_now(self.fault);
    copy(self, n);
}

void run_recorder(Instance& self, uint32_t n) {
    scale(self, 0, 1, control(self, 2, 1.0f), n);
    report(self, 3, peak(buffer(self, 1), n));
    report(self, 4, 0.0f);
}

void run_no_activate(Instance& self, uint32_t n) { scale(self, 0, 1, 2.0f, n); }

// A one-pole smoother whose output dies away exponentially after the input ends, with the
// time constant "time" in frames: out = a * out + (1 - a) * in, a = exp(-1 / time).
void run_decay(Instance& self, uint32_t n) {
    const float a = std::exp(-1.0f / control(self, 2, 1000.0f));
    const float* in = buffer(self, 0);
    float* out = buffer(self, 1);
    for (uint32_t i = 0; i < n; ++i) {
        self.level = a * self.level + (1.0f - a) * (in != nullptr ? in[i] : 0.0f);
        if (out != nullptr) out[i] = self.level;
    }
}

// Talks on standard output, as some plugins do.
void run_chatty(Instance& self, uint32_t n) {
    std::printf("kelvo_test chatty: run %u\n", n);
    copy(self, n);
}

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

bool setup_urid(Instance& self, double /*rate*/) {
    static constexpr const char* kA = "http://kelvo.test/a";
    const auto* unmap = feature<LV2_URID_Unmap>(self, kUridUnmap);
    const LV2_URID a = map_uri(self, kA);
    const LV2_URID again = map_uri(self, kA);
    const LV2_URID b = map_uri(self, "http://kelvo.test/b");
    const char* back = unmap->unmap(unmap->handle, a);
    const LV2_URID unknown = a + b + 1000;
    const char* nothing = unmap->unmap(unmap->handle, unknown);
    if (a == 0 || again != a) return self.complain("map gave %u, then %u for %s", a, again, kA);
    if (b == 0 || b == a) {
        return self.complain("map gave %u for a second URI, %u for the first", b, a);
    }
    if (back == nullptr || std::strcmp(back, kA) != 0) {
        return self.complain("unmap(%u) gave %s, expected %s", a,
                             back != nullptr ? back : "NULL", kA);
    }
    if (nothing != nullptr) {
        return self.complain("unmap(%u) gave %s, expected NULL", unknown, nothing);
    }
    return true;
}

// The value of an instance option of the given type, or null after a complaint.
const void* option(Instance& self, const char* uri, LV2_URID type, uint32_t size,
                   const char* type_name) {
    const LV2_URID key = map_uri(self, uri);
    for (const auto* o = feature<const LV2_Options_Option>(self, kOptions); o->key != 0; ++o) {
        if (o->context != LV2_OPTIONS_INSTANCE || o->key != key) continue;
        if (o->type == type && o->size == size && o->value != nullptr) return o->value;
        break;
    }
    self.complain("option %s is missing or not one %s", uri, type_name);
    return nullptr;
}

bool int_option(Instance& self, const char* uri, int32_t& value) {
    const void* found = option(self, uri, self.urids.atom_int, sizeof value, "atom:Int");
    if (found != nullptr) std::memcpy(&value, found, sizeof value);
    return found != nullptr;
}

bool setup_options(Instance& self, double rate) {
    const void* found = option(self, LV2_PARAMETERS__sampleRate, self.urids.atom_float,
                               sizeof(float), "atom:Float");
    int32_t min = 0, nominal = 0, max = 0, sequence = 0;
    if (found == nullptr || !int_option(self, LV2_BUF_SIZE__minBlockLength, min) ||
        !int_option(self, LV2_BUF_SIZE__nominalBlockLength, nominal) ||
        !int_option(self, LV2_BUF_SIZE__maxBlockLength, max) ||
        !int_option(self, LV2_BUF_SIZE__sequenceSize, sequence)) {
        return false;
    }
    float sample_rate = 0.0f;
    std::memcpy(&sample_rate, found, sizeof sample_rate);
    if (sample_rate != static_cast<float>(rate)) {
        return self.complain("option %s is %g, expected %g", LV2_PARAMETERS__sampleRate,
                             static_cast<double>(sample_rate), rate);
    }
    if (min < 1 || min > nominal || nominal > max) {
        return self.complain("block lengths min %d, nominal %d, max %d are out of order", min,
                             nominal, max);
    }
    if (sequence < 8192) {
        return self.complain("option %s is %d, expected at least 8192",
                             LV2_BUF_SIZE__sequenceSize, sequence);
    }
    self.block_min = static_cast<uint32_t>(min);
    self.block_max = static_cast<uint32_t>(max);
    return true;
}

void run_options(Instance& self, uint32_t n) {
    if (n < self.block_min || n > self.block_max) {
        self.complain("run of %u frames outside %u to %u", n, self.block_min, self.block_max);
    }
    copy(self, n);
}

bool flooding(const Instance& self) { return control(self, 2, 0.0f) > 0.5f; }

// A refused request or response is a fault unless the plugin floods the host on purpose.
bool accepted(Instance& self, LV2_Worker_Status status, const char* what, uint32_t payload) {
    return status == LV2_WORKER_SUCCESS || flooding(self) ||
           self.complain("%s of 0x%x returned %d", what, payload, static_cast<int>(status));
}

void schedule(Instance& self, uint32_t payload) {
    const auto* worker = feature<LV2_Worker_Schedule>(self, kWorkerSchedule);
    accepted(self, worker->schedule_work(worker->handle, sizeof payload, &payload),
             "schedule_work", payload);
}

bool read_payload(Instance& self, const char* where, uint32_t size, const void* data,
                  uint32_t& payload) {
    if (size != sizeof payload || data == nullptr) {
        return self.complain("%s got %u bytes, expected %zu", where, size, sizeof payload);
    }
    std::memcpy(&payload, data, sizeof payload);
    return true;
}

void deliver(Instance& self, int64_t event) {
    if (self.delivered_count < self.delivered.size()) self.delivered[self.delivered_count] = event;
    ++self.delivered_count;
}

using EventText = std::array<char, 128>;

EventText describe(const int64_t* events, size_t count) {
    EventText text{};
    size_t used = 0;
    for (size_t i = 0; i < count; ++i) {
        const int written =
            events[i] == kEndRun
                ? std::snprintf(text.data() + used, text.size() - used, " end_run")
                : std::snprintf(text.data() + used, text.size() - used, " 0x%x",
                                static_cast<uint32_t>(events[i]));
        used += static_cast<size_t>(written);
    }
    if (count == 0) std::snprintf(text.data(), text.size(), " nothing");
    return text;
}

// Run k asks for work k. Between runs k-1 and k a synchronous host must deliver the
// response k-1, the response to the follow-up work k-1 scheduled, then end_run.
void run_worker(Instance& self, uint32_t n) {
    const uint32_t k = self.worker_runs++;
    if (k > 0 && !flooding(self)) {
        const std::array<int64_t, 3> expected = {k - 1, (k - 1) | kFollowUp, kEndRun};
        const size_t kept = std::min<size_t>(self.delivered_count, self.delivered.size());
        if (self.delivered_count != expected.size() ||
            !std::equal(expected.begin(), expected.end(), self.delivered.begin())) {
            self.complain("run %u expected%s since the last run, got%s%s", k,
                          describe(expected.data(), expected.size()).data(),
                          describe(self.delivered.data(), kept).data(),
                          self.delivered_count > kept ? " ..." : "");
        }
    }
    self.delivered_count = 0;
    schedule(self, k);
    const float offset = k == 0 ? 0.0f : static_cast<float>(k - 1) / 1024.0f;
    const float* in = buffer(self, 0);
    if (float* out = buffer(self, 1)) {
        for (uint32_t i = 0; i < n; ++i) out[i] = (in != nullptr ? in[i] : 0.0f) + offset;
    }
}

LV2_Worker_Status work(LV2_Handle handle, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle respond_handle, uint32_t size,
                       const void* data) {
    auto& self = *static_cast<Instance*>(handle);
    if (self.in_work) {
        self.complain("work called from inside work");
        return LV2_WORKER_ERR_UNKNOWN;
    }
    uint32_t payload = 0;
    if (!read_payload(self, "work", size, data, payload)) return LV2_WORKER_ERR_UNKNOWN;
    self.in_work = true;
    accepted(self, respond(respond_handle, sizeof payload, &payload), "respond", payload);
    if ((payload & (kFollowUp | kFlood)) == 0) schedule(self, payload | kFollowUp);
    self.in_work = false;
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status work_response(LV2_Handle handle, uint32_t size, const void* body) {
    auto& self = *static_cast<Instance*>(handle);
    uint32_t payload = 0;
    if (!read_payload(self, "work_response", size, body, payload)) return LV2_WORKER_ERR_UNKNOWN;
    deliver(self, payload);
    if (flooding(self)) schedule(self, kFlood);
    return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status end_run(LV2_Handle handle) {
    deliver(*static_cast<Instance*>(handle), kEndRun);
    return LV2_WORKER_SUCCESS;
}

const void* worker_interface(const char* uri) {
    static constexpr LV2_Worker_Interface kInterface = {work, work_response, end_run};
    return std::strcmp(uri, LV2_WORKER__interface) == 0 ? &kInterface : nullptr;
}

bool setup_fixed_block(Instance& self, double /*rate*/) {
    int32_t nominal = 0;
    if (!int_option(self, LV2_BUF_SIZE__nominalBlockLength, nominal)) return false;
    if (nominal < 1 || (nominal & (nominal - 1)) != 0) {
        return self.complain("option %s is %d, not a power of two",
                             LV2_BUF_SIZE__nominalBlockLength, nominal);
    }
    self.block_min = self.block_max = static_cast<uint32_t>(nominal);
    return true;
}

void run_fixed_block(Instance& self, uint32_t n) {
    if (n != self.block_min) self.complain("run of %u frames, expected %u", n, self.block_min);
    run_line(self, n, kFixedBlockDelay);
    report(self, 2, static_cast<float>(kFixedBlockDelay));
}

bool setup_logger(Instance& self, double /*rate*/) {
    lv2_log_logger_init(&self.logger, feature<LV2_URID_Map>(self, kUridMap),
                        feature<LV2_Log_Log>(self, kLog));
    return true;
}

void run_logger(Instance& self, uint32_t n) {
    if (self.runs == 0) {
        lv2_log_error(&self.logger, "first error");
        lv2_log_warning(&self.logger, "second\nthird");
        lv2_log_note(&self.logger, "a note");
        lv2_log_trace(&self.logger, "a trace");
        lv2_log_warning(&self.logger, "bell\a here");
    }
    // Rounded and at most 100; NaN gives none.
    const float extra = std::min(control(self, 2, 0.0f), 100.0f);
    for (uint32_t i = 0; static_cast<float>(i) + 0.5f < extra; ++i) {
        lv2_log_warning(&self.logger, "extra %u", i);
    }
    copy(self, n);
}

void run_gain(Instance& self, uint32_t n) { scale(self, 0, 1, self.gain, n); }

LV2_State_Status save(LV2_Handle handle, LV2_State_Store_Function store, LV2_State_Handle state,
                      uint32_t /*flags*/, const LV2_Feature* const* /*features*/) {
    const auto& self = *static_cast<Instance*>(handle);
    return store(state, self.urids.gain, &self.gain, sizeof self.gain, self.urids.atom_float,
                 LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE);
}

template <typename T>
T* feature_data(const LV2_Feature* const* features, const char* uri, T* fallback) {
    const LV2_Feature* found = find_feature(features, uri);
    return found != nullptr && found->data != nullptr ? static_cast<T*>(found->data) : fallback;
}

// A made path must be absolute and writable, and one leading out of the plugin's own
// directory must be refused.
bool make_paths(Instance& self, const LV2_Feature* const* features) {
    const auto* maker = feature_data(features, LV2_STATE__makePath,
                                     feature<LV2_State_Make_Path>(self, kMakePath));
    if (maker == nullptr) return true;
    const auto* freer = feature_data(features, LV2_STATE__freePath,
                                     feature<LV2_State_Free_Path>(self, kFreePath));
    const auto release = [freer](char* path) {
        if (freer != nullptr) {
            freer->free_path(freer->handle, path);
        } else {
            std::free(path);
        }
    };
    char* made = maker->path(maker->handle, "scratch/made.txt");
    if (made == nullptr || made[0] != '/') {
        self.complain("makePath gave %s for scratch/made.txt, expected an absolute path",
                      made != nullptr ? made : "NULL");
        if (made != nullptr) release(made);
        return false;
    }
    std::FILE* file = std::fopen(made, "w");
    const bool written = file != nullptr && std::fputs("made\n", file) >= 0;
    if (file == nullptr || std::fclose(file) != 0 || !written) {
        self.complain("cannot write %s", made);
        release(made);
        return false;
    }
    self.log("made %s\n", made);
    release(made);
    char* escape = maker->path(maker->handle, "../escape.txt");
    if (escape == nullptr) return true;
    self.complain("makePath gave %s for ../escape.txt, expected NULL", escape);
    release(escape);
    return false;
}

LV2_State_Status restore(LV2_Handle handle, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle state, uint32_t /*flags*/,
                         const LV2_Feature* const* features) {
    auto& self = *static_cast<Instance*>(handle);
    size_t size = 0;
    uint32_t type = 0;
    uint32_t flags = 0;
    const void* value = retrieve(state, self.urids.gain, &size, &type, &flags);
    if (value == nullptr) {
        self.complain("restore found no gain");
        return LV2_STATE_ERR_NO_PROPERTY;
    }
    if (type != self.urids.atom_float || size != sizeof self.gain) {
        self.complain("restore got a gain of type %u and %zu bytes, expected one atom:Float",
                      type, size);
        return LV2_STATE_ERR_BAD_TYPE;
    }
    std::memcpy(&self.gain, value, sizeof self.gain);
    return make_paths(self, features) ? LV2_STATE_SUCCESS : LV2_STATE_ERR_UNKNOWN;
}

LV2_State_Status restore_fails(LV2_Handle /*handle*/, LV2_State_Retrieve_Function /*retrieve*/,
                               LV2_State_Handle /*state*/, uint32_t /*flags*/,
                               const LV2_Feature* const* /*features*/) {
    return LV2_STATE_ERR_UNKNOWN;
}

const void* state_interface(const char* uri) {
    static constexpr LV2_State_Interface kInterface = {save, restore};
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &kInterface : nullptr;
}

const void* failing_state_interface(const char* uri) {
    static constexpr LV2_State_Interface kInterface = {save, restore_fails};
    return std::strcmp(uri, LV2_STATE__interface) == 0 ? &kInterface : nullptr;
}

bool atom_cv_ports_ok(Instance& self) {
    const auto* events_in = static_cast<const LV2_Atom*>(self.ports[2]);
    const auto* events_out = static_cast<const LV2_Atom*>(self.ports[3]);
    if (events_in == nullptr) return self.complain("events_in is not connected");
    if (events_in->type != self.urids.atom_sequence ||
        events_in->size != sizeof(LV2_Atom_Sequence_Body)) {
        return self.complain("events_in has type %u and %u bytes, expected an empty atom:Sequence",
                             events_in->type, events_in->size);
    }
    if (events_out == nullptr) return self.complain("events_out is not connected");
    if (events_out->size < kEventsOutMinimum - sizeof(LV2_Atom)) {
        return self.complain("events_out has room for %u bytes, expected at least %zu",
                             events_out->size, kEventsOutMinimum - sizeof(LV2_Atom));
    }
    if (buffer(self, 4) == nullptr || buffer(self, 5) == nullptr) {
        return self.complain("a CV port is not connected");
    }
    return true;
}

// One atom:Int at frame 0 on events_out, cv_out = cv_in, out = in * cv_in.
void run_atom_cv(Instance& self, uint32_t n) {
    if (!atom_cv_ports_ok(self)) return;
    auto* events = static_cast<LV2_Atom_Sequence*>(self.ports[3]);
    const uint32_t capacity = events->atom.size;
    lv2_atom_sequence_clear(events);
    events->atom.type = self.urids.atom_sequence;
    events->body = {0, 0};
    struct {
        LV2_Atom_Event head;
        int32_t value;
    } event{};
    event.head.body = {sizeof event.value, self.urids.atom_int};
    event.value = 1;
    lv2_atom_sequence_append_event(events, capacity, &event.head);
    const float* in = buffer(self, 0);
    float* out = buffer(self, 1);
    const float* cv_in = buffer(self, 4);
    float* cv_out = buffer(self, 5);
    for (uint32_t i = 0; i < n; ++i) {
        cv_out[i] = cv_in[i];
        if (out != nullptr) out[i] = in != nullptr ? in[i] * cv_in[i] : 0.0f;
    }
}

// Keeps the data of the features given, and complains about the first needed one missing.
bool take_features(Instance& self, const LV2_Feature* const* features) {
    for (unsigned i = 0; i < kFeatureCount; ++i) {
        const LV2_Feature* found = find_feature(features, kFeatures[i].uri);
        if (found != nullptr && (found->data != nullptr || !kFeatures[i].carries_data)) {
            self.features[i] = found->data;
        } else if ((self.plugin->flags & need(static_cast<Feature>(i))) != 0) {
            return self.complain("the host did not give %s", kFeatures[i].uri);
        }
    }
    if (self.features[kUridMap] != nullptr) {
        self.urids = {map_uri(self, LV2_ATOM__Float), map_uri(self, LV2_ATOM__Int),
                      map_uri(self, LV2_ATOM__Sequence),
                      map_uri(self, KELVO_TEST_URI "default_state#gain")};
    }
    return true;
}

LV2_Handle instantiate(const LV2_Descriptor* descriptor, double rate, const char* /*bundle*/,
                       const LV2_Feature* const* features) {
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
    if (!take_features(*self, features) ||
        (plugin->setup != nullptr && !plugin->setup(*self, rate))) {
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
    // A run that found the host breaking a contract must not pass for good audio.
    if (std::exchange(self.failed, false)) fill(self, 1, kNaN, frames);
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
    if (self->fault_in_cleanup) fail_now(self->fault);
    if (self->log_file != nullptr) std::fclose(self->log_file);
    delete self;
}

constexpr Plugin make(const char* uri, Process process, unsigned flags = 0,
                      Hook on_activate = nullptr, uint32_t line_frames = 0, Setup setup = nullptr,
                      ExtensionData extension_data = nullptr) {
    const bool activates = (flags & kNoActivate) == 0;
    return Plugin{
        .descriptor = {uri, instantiate, connect_port, activates ? activate : nullptr, run,
                       activates ? deactivate : nullptr, cleanup, extension_data},
        .process = process,
        .on_activate = on_activate,
        .flags = flags,
        .line_frames = line_frames,
        .setup = setup,
    };
}

constexpr unsigned kNeedsMap = need(kUridMap);
constexpr unsigned kNeedsDefaultState = need(kUridMap) | need(kLoadDefaultState);

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
    make(KELVO_TEST_URI "chatty", run_chatty),
    make(KELVO_TEST_URI "decay", run_decay),
    make(KELVO_TEST_URI "faulty", run_faulty),
    make(KELVO_TEST_URI "midi_first", nullptr),
    make(KELVO_TEST_URI "odd'\"\\\t\u00e9\u20ac", copy),
    make(KELVO_TEST_URI "urid", copy, kNeedsMap | need(kUridUnmap), nullptr, 0, setup_urid),
    make(KELVO_TEST_URI "options", run_options,
         kNeedsMap | need(kOptions) | need(kBoundedBlock), nullptr, 0, setup_options),
    make(KELVO_TEST_URI "unknown_option", copy, kNeedsMap | need(kOptions)),
    make(KELVO_TEST_URI "worker", run_worker, kNeedsMap | need(kWorkerSchedule), nullptr, 0,
         nullptr, worker_interface),
    make(KELVO_TEST_URI "fixed_block", run_fixed_block,
         kNeedsMap | need(kOptions) | need(kFixedBlock) | need(kPowerOf2Block), clear_line,
         kFixedBlockDelay + 1, setup_fixed_block),
    make(KELVO_TEST_URI "logger", run_logger, kNeedsMap | need(kLog), nullptr, 0, setup_logger),
    make(KELVO_TEST_URI "default_state", run_gain, kLogs | kNeedsDefaultState, nullptr, 0,
         nullptr, state_interface),
    make(KELVO_TEST_URI "failing_state", run_gain, kNeedsDefaultState, nullptr, 0, nullptr,
         failing_state_interface),
    make(KELVO_TEST_URI "atom_cv", run_atom_cv, kNeedsMap),
    make(KELVO_TEST_URI "huge_atom", copy),
    make(KELVO_TEST_URI "negative_index", copy),
    make(KELVO_TEST_URI "duplicate_index", copy),
    make(KELVO_TEST_URI "missing_index", copy),
};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return index < std::size(kPlugins) ? &kPlugins[index].descriptor : nullptr;
}
