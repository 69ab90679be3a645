// _kelvo: the part of the Python module `kelvo` written in C++, over kelvo's core library.
// The Python package around it (kelvo/__init__.py) holds the classes people use.

#include "diagnostics.h"
#include "host/plugin_host.h"
#include "info/report.h"
#include "version.h"

#include <pybind11/pybind11.h>

#include <mutex>
#include <string>
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
        try {
            warnings_.emplace_back(text);
        } catch (const std::bad_alloc&) {
            // A warning lost to exhausted memory does not change the outcome.
        }
    }

    /// Issues the warnings through Python's warnings module, then raises the error, if any:
    /// LookupError for what is not found, ValueError for a bad value, RuntimeError for a
    /// plugin that cannot be driven, MemoryError.
    void report() {
        for (const std::string& text : std::exchange(warnings_, {})) {
            if (PyErr_WarnEx(PyExc_UserWarning, text.c_str(), 1) < 0)
                throw py::error_already_set();  // warnings turned into errors
        }
        if (!std::exchange(failed_, false))
            return;
        PyObject* type = kind_ == problem::not_found   ? PyExc_LookupError
                         : kind_ == problem::bad_value ? PyExc_ValueError
                         : kind_ == problem::no_memory ? PyExc_MemoryError
                                                       : PyExc_RuntimeError;
        PyErr_SetString(type, text_.c_str());
        throw py::error_already_set();
    }

private:
    bool failed_ = false;
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

}  // namespace
}  // namespace kelvo

PYBIND11_MODULE(_kelvo, m) {
    m.doc() = "kelvo's LV2 host in C++; use the package `kelvo`, which wraps it.";
    m.attr("__version__") = kelvo::version;
    m.def("list_json", &kelvo::list_json,
          "The list of every installed plugin as `kelvo-info --json` prints it.");
    m.def("description_json", &kelvo::description_json, py::arg("uri"),
          "The description of one plugin as `kelvo-info URI --json` prints it; LookupError with "
          "kelvo's text when no installed plugin has that URI.");
}
