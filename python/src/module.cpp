// tarnwick.bundle: the bundle module's entry functions, constants and errors for the Python host.
// A thin layer: every behaviour is the library's; this layer checks and converts arguments,
// maps errors, and connects the library's console and worker processes to the interpreter.
#include <pybind11/pybind11.h>

#include "constants.hpp"
#include "errors.hpp"
#include "functions.hpp"
#include "library_call.hpp"
#include "module_doc.hpp"
#include "planning.hpp"
#include "reading.hpp"
#include "tarnwick/bundle/python_module.hpp"

namespace py = pybind11;

PYBIND11_MODULE(bundle, m) {
    // The functions' docstrings are written out in full (functions.cpp): the host's three texts
    // with a signature head CPython understands, nothing of pybind11's own.
    py::options options;
    options.disable_function_signatures();

    m.doc() = tarnwick::python::MODULE_DOC;
    m.attr("__version__") = TARNWICK_VERSION;  // the command line's --version says the same

    // Tick datasets need the Blosc filter; a missing plug-in is reported now, naming the
    // package, rather than when the first tick dataset is created.
    tarnwick::bundle::require_blosc_filter();

    tarnwick::python::register_errors(m);
    tarnwick::python::install_library_hooks();
    tarnwick::python::add_constants(m);
    tarnwick::python::add_functions(m);
    tarnwick::python::add_reading(m);
    tarnwick::python::add_planning(m);

    // Not a parameter (the host calls the functions above with their own parameter lists) and
    // not a setting of the module: the environment variable every call reads, which this sets.
    m.def(
        "set_sync",
        [](bool on) {
            py::object environ = py::module_::import("os").attr("environ");
            if (on)
                environ.attr("pop")("TARNWICK_NO_SYNC", py::none());
            else
                environ[py::str("TARNWICK_NO_SYNC")] = py::str("1");
        },
        "set_sync(on)\n--\n\n"
        "Whether updates sync what they write to disk (True, the default). set_sync(False) is for a\n"
        "first bulk download that can be run again: a killed update still loses nothing, but a\n"
        "power cut during the download or shortly after it may damage the files it wrote.\n"
        "The module keeps no setting: every call reads the environment variable TARNWICK_NO_SYNC\n"
        "(set, and not \"0\": no syncing); set_sync(False) sets it in os.environ, set_sync(True)\n"
        "removes it, so it applies to later calls and to child processes alike.\n\n"
        "Parameters: on (bool). Returns None.",
        py::arg("on"));
}
