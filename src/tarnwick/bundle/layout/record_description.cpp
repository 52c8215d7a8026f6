#include "tarnwick/bundle/layout/record_description.hpp"

#include <stdexcept>
#include <utility>

#include "tarnwick/bundle/h5/h5.hpp"
#include "tarnwick/bundle/layout/records.hpp"
#include "tarnwick/bundle/layout/tick_layout.hpp"

namespace tarnwick::bundle::layout {
namespace {

// Closes a member type HDF5 handed out, whatever happens while it is looked at.
class MemberType {
public:
    explicit MemberType(hid_t id) : id_(id) {
        if (id_ < 0) throw std::runtime_error("record field without a type");
    }
    ~MemberType() { H5Tclose(id_); }
    MemberType(const MemberType&) = delete;
    MemberType& operator=(const MemberType&) = delete;
    hid_t id() const { return id_; }

private:
    hid_t id_;
};

// The numpy type code of one HDF5 integer or float field.
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

RecordDescription describe(const h5::DataType& type) {
    const hid_t id = type.id();
    const int members = H5Tget_nmembers(id);
    if (members < 0) throw std::runtime_error("record type is not a compound");
    RecordDescription description;
    description.itemsize = type.size();
    for (unsigned i = 0; i < static_cast<unsigned>(members); ++i) {
        FieldDescription field;
        char* name = H5Tget_member_name(id, i);
        if (name == nullptr) throw std::runtime_error("record field without a name");
        field.name = name;
        H5free_memory(name);
        field.offset = H5Tget_member_offset(id, i);
        field.numpy_code = numpy_code(MemberType(H5Tget_member_type(id, i)).id());
        description.fields.push_back(std::move(field));
    }
    return description;
}

}  // namespace

RecordDescription describe_equities_record() { return describe(EQUITIES_DTYPE()); }
RecordDescription describe_derivatives_record() { return describe(DERIVATIVES_DTYPE()); }
RecordDescription describe_index_record() { return describe(INDEX_DTYPE()); }
RecordDescription describe_tick_record() {
    RecordDescription record = describe(H5TicksLoader::DTYPES());
    for (FieldDescription& field : record.fields)
        for (const H5TicksLoader::Field& known : H5TicksLoader::FIELDS)
            if (known.name == field.name) field.scale = known.scale;
    return record;
}

}  // namespace tarnwick::bundle::layout
