#include "constants.hpp"

#include <hdf5.h>

#include <string>

#include "tarnwick/bundle/layout/blosc.hpp"
#include "tarnwick/bundle/layout/constants.hpp"
#include "tarnwick/bundle/layout/records.hpp"

namespace tarnwick::python {
namespace {

namespace layout = tarnwick::bundle::layout;

// The numpy type code of one HDF5 integer or float field: "<i8", "<f8", "<u4", ...
std::string numpy_code(hid_t field) {
    const H5T_class_t type_class = H5Tget_class(field);
    const std::size_t size = H5Tget_size(field);
    const H5T_order_t order = H5Tget_order(field);
    if ((type_class != H5T_INTEGER && type_class != H5T_FLOAT) || size == 0 ||
        (order != H5T_ORDER_LE && order != H5T_ORDER_BE))
        throw std::runtime_error("record field of a type without a numpy counterpart");
    char kind = 'f';
    if (type_class == H5T_INTEGER) kind = H5Tget_sign(field) == H5T_SGN_NONE ? 'u' : 'i';
    return std::string(order == H5T_ORDER_LE ? "<" : ">") + kind + std::to_string(size);
}

// The numpy dtype of a record type exactly as it is stored: names, type codes, offsets and the
// record size are read from the HDF5 compound itself, so the two cannot drift apart.
py::object numpy_dtype(const bundle::h5::DataType& type) {
    const hid_t id = type.id();
    const int members = H5Tget_nmembers(id);
    if (members < 0) throw std::runtime_error("record type is not a compound");
    py::list names;
    py::list formats;
    py::list offsets;
    for (unsigned i = 0; i < static_cast<unsigned>(members); ++i) {
        char* name = H5Tget_member_name(id, i);
        if (name == nullptr) throw std::runtime_error("record field without a name");
        names.append(py::str(name));
        H5free_memory(name);
        offsets.append(H5Tget_member_offset(id, i));
        const hid_t field = H5Tget_member_type(id, i);
        if (field < 0) throw std::runtime_error("record field without a type");
        try {
            formats.append(numpy_code(field));
        } catch (...) {
            H5Tclose(field);
            throw;
        }
        H5Tclose(field);
    }
    py::dict layout_of_fields;
    layout_of_fields["names"] = names;
    layout_of_fields["formats"] = formats;
    layout_of_fields["offsets"] = offsets;
    layout_of_fields["itemsize"] = type.size();
    return py::module_::import("numpy").attr("dtype")(layout_of_fields);
}

py::tuple texts(const std::vector<std::string>& values) {
    py::tuple tuple(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) tuple[i] = py::str(values[i]);
    return tuple;
}

}  // namespace

void add_constants(py::module_& module) {
    module.attr("MIN_START_DATE") = layout::MIN_START_DATE;
    module.attr("MAX_END_DATE") = layout::MAX_END_DATE;
    module.attr("REBUILD_COMFIRM_RETRY_TIMES") = layout::REBUILD_COMFIRM_RETRY_TIMES;
    module.attr("TICK_DATE_CHUNK_SIZE") = layout::TICK_DATE_CHUNK_SIZE;

    py::dict tag_map;  // insertion-ordered, as the category words are listed
    for (const auto& [word, types] : layout::TAG_MAP()) tag_map[py::str(word)] = texts(types);
    module.attr("TAG_MAP") = tag_map;
    module.attr("EQUITIES_INS_TYPE") = texts(layout::EQUITIES_INS_TYPE());

    // Ready for h5py's create_dataset(**COMPRESSION_KWARGS).
    const bundle::layout::BloscOptions& blosc = layout::COMPRESSION_KWARGS();
    py::tuple opts(blosc.compression_opts.size());
    for (std::size_t i = 0; i < blosc.compression_opts.size(); ++i) opts[i] = py::int_(blosc.compression_opts[i]);
    py::dict compression;
    compression["compression"] = py::int_(blosc.compression);
    compression["compression_opts"] = opts;
    compression["shuffle"] = py::bool_(blosc.shuffle);
    module.attr("COMPRESSION_KWARGS") = compression;

    module.attr("EQUITIES_DTYPE") = numpy_dtype(layout::EQUITIES_DTYPE());
    module.attr("DERIVATIVES_DTYPE") = numpy_dtype(layout::DERIVATIVES_DTYPE());
    module.attr("INDEX_DTYPE") = numpy_dtype(layout::INDEX_DTYPE());
}

}  // namespace tarnwick::python
