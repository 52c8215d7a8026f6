#pragma once
// The module's constants as attributes: MIN_START_DATE, MAX_END_DATE,
// REBUILD_COMFIRM_RETRY_TIMES, TICK_DATE_CHUNK_SIZE (int); TAG_MAP (dict, category word ->
// tuple of instrument type texts, in the library's order); EQUITIES_INS_TYPE (tuple of type
// texts); COMPRESSION_KWARGS (the keyword arguments h5py's create_dataset takes for the tick
// datasets' Blosc filter); EQUITIES_DTYPE, DERIVATIVES_DTYPE, INDEX_DTYPE (numpy dtypes of the
// records as stored).
#include <pybind11/pybind11.h>

#include "tarnwick/bundle/python_module.hpp"

namespace tarnwick::python {

namespace py = pybind11;

void add_constants(py::module_& module);

// The numpy dtype of a stored record type: its field names, type codes, offsets and size.
py::object numpy_dtype(const bundle::RecordDescription& record);

}  // namespace tarnwick::python
