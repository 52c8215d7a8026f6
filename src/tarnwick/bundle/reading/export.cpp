#include "tarnwick/bundle/reading/export.hpp"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <stdexcept>
#include <string>

#include <fmt/format.h>

namespace tarnwick::bundle::reading {
namespace {

// Output is built in blocks of about this size, each written with one call.
constexpr std::size_t BLOCK = std::size_t{1} << 20;

void write_all(std::FILE* out, const void* data, std::size_t size) {
    if (size > 0 && std::fwrite(data, 1, size, out) != size)
        throw OsError::from_errno(errno, "writing the records failed");
}

template <class T>
T load(const unsigned char* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

enum class Code { I4, U4, I8, F8 };

Code code_of(const std::string& numpy_code) {
    if (numpy_code == "<i4") return Code::I4;
    if (numpy_code == "<u4") return Code::U4;
    if (numpy_code == "<i8") return Code::I8;
    if (numpy_code == "<f8") return Code::F8;
    throw std::logic_error("no CSV form for the field type " + numpy_code);
}

void write_csv(const Records& records, const layout::RecordDescription& record, std::FILE* out) {
    std::vector<Code> codes;
    fmt::memory_buffer text;
    for (std::size_t i = 0; i < record.fields.size(); ++i) {
        codes.push_back(code_of(record.fields[i].numpy_code));
        fmt::format_to(std::back_inserter(text), "{}{}", i ? "," : "", record.fields[i].name);
    }
    text.push_back('\n');
    const std::size_t rows = records.rows();
    for (std::size_t row = 0; row < rows; ++row) {
        const unsigned char* at = records.bytes.data() + row * record.itemsize;
        for (std::size_t i = 0; i < codes.size(); ++i) {
            const unsigned char* field = at + record.fields[i].offset;
            if (i) text.push_back(',');
            switch (codes[i]) {
                case Code::I4:
                    fmt::format_to(std::back_inserter(text), "{}", load<std::int32_t>(field));
                    break;
                case Code::U4:
                    fmt::format_to(std::back_inserter(text), "{}", load<std::uint32_t>(field));
                    break;
                case Code::I8:
                    fmt::format_to(std::back_inserter(text), "{}", load<std::int64_t>(field));
                    break;
                case Code::F8:
                    fmt::format_to(std::back_inserter(text), "{}", load<double>(field));
                    break;
            }
        }
        text.push_back('\n');
        if (text.size() >= BLOCK) {
            write_all(out, text.data(), text.size());
            text.clear();
        }
    }
    write_all(out, text.data(), text.size());
}

// NPY 1.0: magic, version, header length, then a Python literal padded with spaces to a
// multiple of 64 bytes and ended by a newline. The stored records are packed and in field
// order, so the list form of the dtype describes them exactly.
void write_npy(const Records& records, const layout::RecordDescription& record, std::FILE* out) {
    std::string descr;
    for (const auto& field : record.fields) descr += fmt::format("('{}', '{}'), ", field.name, field.numpy_code);
    std::string header =
        fmt::format("{{'descr': [{}], 'fortran_order': False, 'shape': ({},), }}", descr, records.rows());
    const std::size_t prefix = 10;
    header.append(63 - (prefix + header.size()) % 64, ' ');
    header.push_back('\n');
    const std::uint16_t length = static_cast<std::uint16_t>(header.size());
    const unsigned char head[prefix] = {0x93,
                                        'N',
                                        'U',
                                        'M',
                                        'P',
                                        'Y',
                                        1,
                                        0,
                                        static_cast<unsigned char>(length & 0xff),
                                        static_cast<unsigned char>(length >> 8)};
    write_all(out, head, prefix);
    write_all(out, header.data(), header.size());
    write_all(out, records.bytes.data(), records.bytes.size());
}

}  // namespace

layout::RecordDescription describe(RecordKind kind) {
    switch (kind) {
        case RecordKind::EquityBars:
            return layout::describe_equities_record();
        case RecordKind::DerivativeBars:
            return layout::describe_derivatives_record();
        case RecordKind::Ticks:
            return layout::describe_tick_record();
    }
    throw std::logic_error("unknown record kind");
}

void write_records(const Records& records, Format format, std::FILE* out) {
    const layout::RecordDescription record = describe(records.kind);
    if (format == Format::Csv)
        write_csv(records, record, out);
    else
        write_npy(records, record, out);
    if (std::fflush(out) != 0) throw OsError::from_errno(errno, "writing the records failed");
}

}  // namespace tarnwick::bundle::reading
