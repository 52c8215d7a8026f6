#pragma once
// read_minbar and read_ticks: the records of a range of trading days of one store file, as a
// NumPy structured array of the stored record type or a pandas DataFrame.
#include <pybind11/pybind11.h>

namespace tarnwick::python {

namespace py = pybind11;

void add_reading(py::module_& module);

}  // namespace tarnwick::python
