// _kelvo: the part of the Python module `kelvo` written in C++, over kelvo's core library.
// The Python package around it (kelvo/__init__.py) holds the classes people use.

#include "host/plugin_host.h"
#include "info/report.h"
#include "version.h"

#include <pybind11/pybind11.h>

#include <mutex>
#include <string>

namespace py = pybind11;

namespace kelvo {
namespace {

// lilv is not safe to load bundles into worlds from several threads at once.
std::mutex world_loading;

/// Loads a world for `scope` with the GIL released, since loading every bundle takes a while.
/// A failure has been reported on standard error in kelvo's words by then.
void load_world(plugin_host& host, const world_scope& scope) {
    bool loaded = false;
    {
        const py::gil_scoped_release unlocked;
        const std::lock_guard lock{world_loading};
        loaded = open_world(host, scope);
    }
    if (!loaded)
        throw std::runtime_error("could not load the installed LV2 plugins");
}

std::string list_json() {
    plugin_host host;
    load_world(host, {});
    return plugin_list(host, true);
}

std::string description_json(const std::string& uri) {
    plugin_host host;
    // Units are named by the symbols of the LV2 vocabulary bundles, as kelvo-info names them.
    load_world(host, {.plugin_uri = uri.c_str(), .vocabularies = true});
    const LilvPlugin* plugin = lookup_plugin(host, uri.c_str());
    if (!plugin) {
        PyErr_SetString(PyExc_LookupError, plugin_not_found_text(uri.c_str()).c_str());
        throw py::error_already_set();
    }
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
