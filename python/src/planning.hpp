#pragma once
// Dry runs of the updates for Python: plan_update, plan_update_existing, plan_update_minbar and
// plan_update_tick give what the update of the same arguments would fetch now, as a dict (the
// document `--dry-run --json` prints), without fetching bars or ticks or changing any file.
// refetch_minbar and refetch_tick replace a range of stored trading days with what the service
// serves now (the command line's --refetch).
#include <pybind11/pybind11.h>

namespace tarnwick::python {

namespace py = pybind11;

void add_planning(py::module_& module);

}  // namespace tarnwick::python
