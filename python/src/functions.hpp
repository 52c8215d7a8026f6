#pragma once
// The entry functions with the host's names, parameter lists, defaults and documentation texts.
// Each checks and converts its arguments (arguments.hpp), then runs the library function of the
// same name under a LibraryCall (library_call.hpp); results come back as bool, None, a set of
// str (_merge_tags) or an int (_get_end_date).
#include <pybind11/pybind11.h>

namespace tarnwick::python {

namespace py = pybind11;

void add_functions(py::module_& module);

}  // namespace tarnwick::python
