// _kelvo: the part of the Python module `kelvo` written in C++, over kelvo's core library.
// The Python package around it (kelvo/__init__.py) holds the classes people use.

#include "audio/buffers.h"
#include "cli/options.h"
#include "diagnostics.h"
#include "engine/chain.h"
#include "engine/stream.h"
#include "host/plugin_host.h"
#include "info/report.h"
#include "memory.h"
#include "version.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;

namespace kelvo {
namespace {

// lilv is not safe to load bundles into worlds from several threads at once.
std::mutex world_loading;

/// Keeps the first error and the warnings of a call, with kelvo's texts, until the call is
/// back where Python may be called: the engine reports them with the GIL released too.
class python_diagnostics final : public diagnostics {
public:
    void error(problem kind, std::string_view text) override {
        if (failed_)
            return;
        failed_ = true;
        kind_ = kind;
        text_ = text;
    }

    void warning(std::string_view text) noexcept override {
        if (quiet_)
            return;
        try {
            warnings_.emplace_back(text);
        } catch (const std::bad_alloc&) {
            // A warning lost to exhausted memory does not change the outcome.
        }
    }

    /// Drops warnings while `quiet` is true.
    void set_quiet(bool quiet) { quiet_ = quiet; }

    /// Issues the warnings through Python's warnings module, attributed to the caller of the
    /// module's function, then raises the error, if any: LookupError for a plugin or preset
    /// not found, KeyError for a port, ValueError for a bad value, RuntimeError for a plugin
    /// that cannot be driven, MemoryError.
    void report() {
        for (const std::string& text : std::exchange(warnings_, {})) {
            if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 2) < 0) {
                failed_ = false;
                throw py::error_already_set();  // warnings turned into errors
            }
        }
        if (!std::exchange(failed_, false))
            return;
        PyObject* type = kind_ == problem::not_found   ? PyExc_LookupError
                         : kind_ == problem::no_port   ? PyExc_KeyError
                         : kind_ == problem::bad_value ? PyExc_ValueError
                         : kind_ == problem::no_memory ? PyExc_MemoryError
                                                       : PyExc_RuntimeError;
        PyErr_SetString(type, text_.c_str());
        throw py::error_already_set();
    }

private:
    bool failed_ = false;
    bool quiet_ = false;
    problem kind_ = problem::cannot_run;
    std::string text_;
    std::vector<std::string> warnings_;
};

/// Loads a world for `scope` with the GIL released, since loading every bundle takes a while.
void load_world(plugin_host& host, python_diagnostics& d, const world_scope& scope) {
    bool loaded = false;
    {
        const py::gil_scoped_release unlocked;
        const std::lock_guard lock{world_loading};
        loaded = open_world(host, d, scope);
    }
    if (!loaded)
        d.report();
}

std::string list_json() {
    python_diagnostics d;
    plugin_host host;
    load_world(host, d, {});
    return plugins_report(host, true);
}

std::string description_json(const std::string& uri) {
    python_diagnostics d;
    plugin_host host;
    // Units are named by the symbols of the LV2 vocabulary bundles, as kelvo-info names them.
    load_world(host, d, {.plugin_uri = uri.c_str(), .vocabularies = true});
    const LilvPlugin* plugin = find_plugin(host, uri.c_str(), d);
    if (!plugin)
        d.report();
    return plugin_report(host, plugin, true);
}

/// The user's values for one plugin, by symbol, in the order first given.
using control_values = std::vector<std::pair<std::string, float>>;

/// One plugin as Python asks for it: URI, preset or None, control values.
using plugin_order = std::tuple<std::string, std::optional<std::string>, control_values>;

/// What a chain borrows, owned: the strings in a deque, where they never move, and the
/// requests, never changed once planned.
struct owned_requests {
    std::deque<std::string> strings;
    std::vector<plugin_request> requests;
};

/// Frames beyond the room of an output array wait aside, in a run whose latency grew.
using spilled_frames = std::vector<std::vector<float>>;

/// Writes a stream's output into a new float32 array (channels, frames) made, with the GIL,
/// for as many frames as the call should give; result() fits it to what came.
class array_sink final : public frame_sink {
public:
    array_sink(uint32_t channels, int64_t room)
        : array_{{static_cast<py::ssize_t>(channels), static_cast<py::ssize_t>(room)}},
          base_{array_.mutable_data()},
          room_{room},
          spilled_(channels) {}

    bool take(std::span<const std::vector<float>> channels, int64_t first,
              int64_t count) override {
        const int64_t fits = std::clamp<int64_t>(room_ - written_, 0, count);
        for (size_t c = 0; c < channels.size(); ++c) {
            const float* const from = channels[c].data() + first;
            std::copy(from, from + fits, base_ + static_cast<int64_t>(c) * room_ + written_);
            if (fits < count)
                spilled_[c].insert(spilled_[c].end(), from + fits, from + count);
        }
        written_ += count;
        return true;
    }

    /// The frames taken, in the array made for them when they filled it exactly. With the GIL.
    py::array_t<float> result() {
        if (written_ == room_)
            return array_;
        const auto channels = static_cast<py::ssize_t>(spilled_.size());
        py::array_t<float> exact{{channels, static_cast<py::ssize_t>(written_)}};
        float* const to = exact.mutable_data();
        const int64_t kept = std::min(written_, room_);
        for (py::ssize_t c = 0; c < channels; ++c) {
            float* const row = to + c * written_;
            std::copy(base_ + c * room_, base_ + c * room_ + kept, row);
            std::copy(spilled_[static_cast<size_t>(c)].begin(),
                      spilled_[static_cast<size_t>(c)].end(), row + kept);
        }
        return exact;
    }

private:
    py::array_t<float> array_;
    float* base_;
    int64_t room_;
    int64_t written_ = 0;
    spilled_frames spilled_;
};

/// Lets one thread at a time into an engine: its instances and buffers are not shared.
class one_thread {
public:
    explicit one_thread(std::atomic<bool>& busy) : busy_{busy} {
        if (busy_.exchange(true))
            throw std::runtime_error(
                "this kelvo object is processing in another thread; use one object per thread");
    }
    ~one_thread() { busy_ = false; }
    one_thread(const one_thread&) = delete;
    one_thread& operator=(const one_thread&) = delete;

private:
    std::atomic<bool>& busy_;
};

/// A chain of plugins over numpy arrays: the engine the command line drives, fed from arrays
/// instead of files. Planned when made; its instances are made at the first call and made
/// again when the rate, the channels or the clipping change, or a call asks for a fresh start.
class array_chain {
public:
    explicit array_chain(std::vector<plugin_order> orders) {
        values_.reserve(orders.size());
        for (plugin_order& order : orders)
            values_.push_back(std::move(std::get<2>(order)));
        orders_ = std::move(orders);
        plan(default_block_frames, true);
    }

    array_chain(const array_chain&) = delete;
    array_chain& operator=(const array_chain&) = delete;
    ~array_chain() { end_stream(); }

    std::optional<float> control_value(size_t plugin, const std::string& symbol) {
        const one_thread only{busy_};
        return chain_->control_value(index(plugin), symbol);
    }

    void set_control(size_t plugin, const std::string& symbol, std::optional<float> value,
                     bool warn) {
        const one_thread only{busy_};
        report_.set_quiet(!warn);
        const bool taken = chain_->set_control(index(plugin), symbol.c_str(), value);
        report_.set_quiet(false);
        if (taken)
            remember(values_[plugin], symbol, value);
        report_.report();
    }

    py::array_t<float> process(py::array_t<float, py::array::c_style | py::array::forcecast> audio,
                               double rate, uint64_t block, double tail_seconds,
                               bool latency_compensation, bool reset, bool clip) {
        const one_thread only{busy_};
        if (audio.ndim() != 2 || audio.shape(0) < 1)
            throw py::value_error("audio must be shaped (channels, frames)");
        const auto channels = static_cast<uint32_t>(audio.shape(0));
        const int64_t frames = audio.shape(1);
        if (block != block_ || latency_compensation != latency_compensation_)
            plan(block, latency_compensation);
        const run_settings settings{rate, channels, clip};
        if (reset || !stream_ || settings != settings_) {
            start(settings);
        } else if (ragged_) {
            throw py::value_error(ragged_text());
        }
        // The last of fixed blocks may be short, as a file's last is: only a flush follows.
        ragged_ = !reset && chain_->fixed_blocks() && frames % static_cast<int64_t>(block) != 0;
        const uint64_t tail = reset ? tail_frames(tail_seconds) : 0;
        channel_buffers room = tail_room(tail);
        array_sink out{chain_->output_channels(), frames + static_cast<int64_t>(tail)};
        const float* const samples = audio.data();
        {
            const py::gil_scoped_release unlocked;
            if (feed(samples, frames, out) && reset && stream_->flush(out))
                stream_->tail(room, out);
        }
        if (reset)
            end_stream();
        report_.report();
        return out.result();
    }

    py::array_t<float> flush(double tail_seconds) {
        const one_thread only{busy_};
        if (!stream_)
            return py::array_t<float>{{static_cast<py::ssize_t>(last_outputs_), py::ssize_t{0}}};
        const uint64_t tail = tail_frames(tail_seconds);
        channel_buffers room = tail_room(tail);
        array_sink out{chain_->output_channels(), static_cast<int64_t>(tail + block_)};
        {
            const py::gil_scoped_release unlocked;
            if (stream_->flush(out))
                stream_->tail(room, out);
        }
        end_stream();
        report_.report();
        return out.result();
    }

private:
    /// What the running instances were made for.
    struct run_settings {
        double rate = 0;
        uint32_t channels = 0;
        bool clip = true;
        bool operator==(const run_settings&) const = default;
    };

    size_t index(size_t plugin) const {
        if (plugin >= chain_->size())
            throw py::index_error("no plugin " + std::to_string(plugin) + " in this chain");
        return plugin;
    }

    static void remember(control_values& values, const std::string& symbol,
                         std::optional<float> value) {
        const auto named = [&](const auto& v) { return v.first == symbol; };
        const auto known = std::find_if(values.begin(), values.end(), named);
        if (!value) {
            if (known != values.end())
                values.erase(known);
        } else if (known != values.end()) {
            known->second = *value;
        } else {
            values.emplace_back(symbol, *value);
        }
    }

    // The requests with the values set so far, in storage the new chain may point into.
    std::unique_ptr<owned_requests> own_requests() const {
        auto owned = std::make_unique<owned_requests>();
        owned->requests.reserve(orders_.size());
        for (size_t i = 0; i < orders_.size(); ++i) {
            const auto& [uri, preset, given] = orders_[i];
            plugin_request& r = owned->requests.emplace_back();
            r.uri = owned->strings.emplace_back(uri).c_str();
            r.preset = preset ? owned->strings.emplace_back(*preset).c_str() : nullptr;
            r.assignments.reserve(values_[i].size());
            for (const auto& [symbol, value] : values_[i])
                r.assignments.push_back({owned->strings.emplace_back(symbol).c_str(), value});
        }
        return owned;
    }

    // Plans a new chain that runs blocks of `block` frames; the old one goes once the new one
    // stands, before what it borrowed.
    void plan(uint64_t block, bool latency_compensation) {
        end_stream();
        std::unique_ptr<owned_requests> owned = own_requests();
        auto planned = std::make_unique<chain>(report_);
        bool done = false;
        {
            const py::gil_scoped_release unlocked;
            const std::lock_guard lock{world_loading};
            done = planned->plan(owned->requests, latency_compensation, block);
        }
        if (!done) {
            planned.reset();
            report_.report();
            return;
        }
        chain_ = std::move(planned);
        requests_ = std::move(owned);
        block_ = block;
        latency_compensation_ = latency_compensation;
    }

    // True when `bytes` may be allocated: more than the machine's memory would not fail, on
    // an overcommitting kernel, but end the process once touched.
    bool fits(std::optional<uint64_t> bytes) {
        if (bytes && *bytes <= physical_memory_bytes())
            return true;
        report_no_memory(report_);
        return false;
    }

    // Makes and starts the instances for `settings`, after ending those running.
    void start(const run_settings& settings) {
        end_stream();
        bool laid_out = false;
        bool made = false;
        {
            const py::gil_scoped_release unlocked;
            laid_out = chain_->lay_out(static_cast<int>(settings.channels));
            const std::lock_guard lock{world_loading};
            made = laid_out && chain_->instantiate(settings.rate);
        }
        const bool ready = made && fits(chain_->storage_bytes().blocks) &&
                           allocate_or_report(report_, [&] { chain_->allocate(); });
        if (!ready) {
            end_stream();
            report_.report();
            return;
        }
        chain_->start();
        stream_.emplace(*chain_, settings.rate, settings.clip, report_);
        settings_ = settings;
        ragged_ = false;
        last_outputs_ = chain_->output_channels();
    }

    // Stops and frees the instances, if any; the plan stays.
    void end_stream() {
        stream_.reset();
        if (!chain_)
            return;
        chain_->stop();
        chain_->release_storage();
        chain_->release_instances();
    }

    uint64_t tail_frames(double seconds) const {
        return static_cast<uint64_t>(std::llround(std::max(seconds, 0.0) * settings_.rate));
    }

    // Where the tail is made: empty for none.
    channel_buffers tail_room(uint64_t frames) {
        channel_buffers room;
        const uint32_t outputs = chain_->output_channels();
        if (frames > 0 && (!fits(checked_product(frames, uint64_t{outputs} * sizeof(float))) ||
                           !allocate_or_report(report_, [&] {
                               room = channel_buffers(outputs, frames);
                           })))
            report_.report();
        return room;
    }

    // Runs `frames` frames of the channels at `samples` through the chain, a block at a time
    // from the first frame, as the command line reads a file.
    bool feed(const float* samples, int64_t frames, frame_sink& out) {
        const auto block = static_cast<int64_t>(block_);
        std::span<std::vector<float>> in = chain_->inputs();
        for (int64_t at = 0; at < frames; at += block) {
            const int64_t n = std::min(block, frames - at);
            for (size_t c = 0; c < in.size(); ++c) {
                const float* const from = samples + static_cast<int64_t>(c) * frames + at;
                std::copy(from, from + n, in[c].data());
            }
            if (!stream_->feed(n, out))
                return false;
        }
        return true;
    }

    std::string ragged_text() const {
        return "the plugins run fixed blocks of " + std::to_string(block_) +
               " frames: with reset=False, only the last chunk before flush() may be of "
               "another length";
    }

    python_diagnostics report_;  // first: the chain reports to it until its end
    std::vector<plugin_order> orders_;
    std::vector<control_values> values_;  ///< the values set so far, by plugin
    std::unique_ptr<owned_requests> requests_;
    std::unique_ptr<chain> chain_;  // borrows the requests: goes first
    std::optional<chain_stream> stream_;
    run_settings settings_;
    uint64_t block_ = 0;
    bool latency_compensation_ = true;
    bool ragged_ = false;
    uint32_t last_outputs_ = 0;
    std::atomic<bool> busy_ = false;
};

}  // namespace
}  // namespace kelvo

PYBIND11_MODULE(_kelvo, m) {
    using kelvo::array_chain;
    m.doc() = "kelvo's LV2 host in C++; use the package `kelvo`, which wraps it.";
    m.attr("__version__") = kelvo::version;
    m.def("list_json", &kelvo::list_json,
          "The list of every installed plugin as `kelvo-info --json` prints it.");
    m.def("description_json", &kelvo::description_json, py::arg("uri"),
          "The description of one plugin as `kelvo-info URI --json` prints it; LookupError with "
          "kelvo's text when no installed plugin has that URI.");
    py::class_<array_chain>(m, "Engine",
                            "Plugins in order over float32 arrays (channels, frames), with the "
                            "command line's engine. Raises and warns with kelvo's texts.")
        .def(py::init<std::vector<kelvo::plugin_order>>(), py::arg("plugins"),
             "Plans the plugins, each given as (uri, preset or None, [(symbol, value), ...]), "
             "for blocks of 512 frames with latency compensation.")
        .def("control_value", &array_chain::control_value, py::arg("plugin"), py::arg("symbol"),
             "The value control input `symbol` of plugin `plugin` (from 0) runs with, or None "
             "when there is no such input.")
        .def("set_control", &array_chain::set_control, py::arg("plugin"), py::arg("symbol"),
             py::arg("value"), py::arg("warn") = true,
             "Sets control input `symbol` of plugin `plugin` (from 0), in the running instances "
             "too; None takes the value set back. `warn`: warn about a value out of range.")
        .def("process", &array_chain::process, py::arg("audio"), py::arg("sample_rate"),
             py::arg("block_size"), py::arg("tail"), py::arg("latency_compensation"),
             py::arg("reset"), py::arg("clip"),
             "Runs `audio` (channels, frames) and returns the output as a new float32 array: "
             "all of it with `reset`, else the next frames of a stream that flush() ends.")
        .def("flush", &array_chain::flush, py::arg("tail"),
             "The rest of a stream of calls without `reset`, and the tail, in seconds.");
}
