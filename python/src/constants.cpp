#include "constants.hpp"

#include <string>

#include "tarnwick/bundle/python_module.hpp"

namespace tarnwick::python {

// The numpy dtype of a record type exactly as it is stored (names, type codes, offsets and
// the record size come from the stored type itself).
py::object numpy_dtype(const bundle::RecordDescription& record) {
    py::list names;
    py::list formats;
    py::list offsets;
    for (const bundle::FieldDescription& field : record.fields) {
        names.append(py::str(field.name));
        formats.append(py::str(field.numpy_code));
        offsets.append(field.offset);
    }
    py::dict layout_of_fields;
    layout_of_fields["names"] = names;
    layout_of_fields["formats"] = formats;
    layout_of_fields["offsets"] = offsets;
    layout_of_fields["itemsize"] = record.itemsize;
    return py::module_::import("numpy").attr("dtype")(layout_of_fields);
}

namespace {

py::tuple texts(const std::vector<std::string>& values) {
    py::tuple tuple(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) tuple[i] = py::str(values[i]);
    return tuple;
}

}  // namespace

void add_constants(py::module_& module) {
    module.attr("MIN_START_DATE") = bundle::MIN_START_DATE;
    module.attr("MAX_END_DATE") = bundle::MAX_END_DATE;
    module.attr("REBUILD_COMFIRM_RETRY_TIMES") = bundle::REBUILD_COMFIRM_RETRY_TIMES;
    module.attr("TICK_DATE_CHUNK_SIZE") = bundle::TICK_DATE_CHUNK_SIZE;

    py::dict tag_map;  // insertion-ordered, as the category words are listed
    for (const auto& [word, types] : bundle::TAG_MAP()) tag_map[py::str(word)] = texts(types);
    module.attr("TAG_MAP") = tag_map;
    module.attr("EQUITIES_INS_TYPE") = texts(bundle::EQUITIES_INS_TYPE());

    // Ready for h5py's create_dataset(**COMPRESSION_KWARGS).
    const bundle::BloscOptions& blosc = bundle::COMPRESSION_KWARGS();
    py::tuple opts(blosc.compression_opts.size());
    for (std::size_t i = 0; i < blosc.compression_opts.size(); ++i) opts[i] = py::int_(blosc.compression_opts[i]);
    py::dict compression;
    compression["compression"] = py::int_(blosc.compression);
    compression["compression_opts"] = opts;
    compression["shuffle"] = py::bool_(blosc.shuffle);
    module.attr("COMPRESSION_KWARGS") = compression;

    module.attr("EQUITIES_DTYPE") = numpy_dtype(bundle::describe_equities_record());
    module.attr("DERIVATIVES_DTYPE") = numpy_dtype(bundle::describe_derivatives_record());
    module.attr("INDEX_DTYPE") = numpy_dtype(bundle::describe_index_record());
}

}  // namespace tarnwick::python
