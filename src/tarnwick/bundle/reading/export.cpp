#include "tarnwick/bundle/reading/export.hpp"

#include <cerrno>
#include <cstdint>
#include <algorithm>
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

std::size_t value_size(const std::string& numpy_code) { return numpy_code.ends_with('4') ? 4 : 8; }

// "YYYY-MM-DD" of YYYYMMDD, "HH:MM:SS" of HHMMSS.
void iso_date(fmt::memory_buffer& text, std::int64_t date) {
    fmt::format_to(std::back_inserter(text), "{:04}-{:02}-{:02}", date / 10000, date / 100 % 100, date % 100);
}
void iso_clock(fmt::memory_buffer& text, std::int64_t clock) {
    fmt::format_to(std::back_inserter(text), "{:02}:{:02}:{:02}", clock / 10000, clock / 100 % 100, clock % 100);
}

void write_csv(const Table& table, const TextOptions& options, std::FILE* out) {
    // How each field is shown.
    enum class Show { Plain, IsoDateTime, IsoDate, IsoTime, Scaled };
    std::vector<Code> codes;
    std::vector<Show> shows;
    fmt::memory_buffer text;
    if (table.several) fmt::format_to(std::back_inserter(text), "order_book_id,");
    for (std::size_t i = 0; i < table.fields.size(); ++i) {
        const layout::FieldDescription& field = table.fields[i];
        codes.push_back(code_of(field.numpy_code));
        Show show = Show::Plain;
        if (options.iso_times && table.kind != RecordKind::Ticks && field.name == "datetime") show = Show::IsoDateTime;
        if (options.iso_times && table.kind == RecordKind::Ticks && field.name == "date") show = Show::IsoDate;
        if (options.iso_times && table.kind == RecordKind::Ticks && field.name == "time") show = Show::IsoTime;
        if (options.scaled_prices && field.scale != 1.0) show = Show::Scaled;
        shows.push_back(show);
        fmt::format_to(std::back_inserter(text), "{}{}", i ? "," : "", field.name);
    }
    text.push_back('\n');
    const unsigned char* at = table.bytes.data();
    for (const TableBlock& block : table.blocks) {
        for (std::size_t row = 0; row < block.rows; ++row, at += table.itemsize) {
            if (table.several) fmt::format_to(std::back_inserter(text), "{},", block.order_book_id);
            for (std::size_t i = 0; i < codes.size(); ++i) {
                if (i) text.push_back(',');
                if (block.absent[i]) continue;
                const unsigned char* value = at + table.fields[i].offset;
                std::int64_t number = 0;
                switch (codes[i]) {
                    case Code::I4:
                        number = load<std::int32_t>(value);
                        break;
                    case Code::U4:
                        number = load<std::uint32_t>(value);
                        break;
                    case Code::I8:
                        number = load<std::int64_t>(value);
                        break;
                    case Code::F8:
                        fmt::format_to(std::back_inserter(text), "{}", load<double>(value));
                        continue;
                }
                switch (shows[i]) {
                    case Show::Plain:
                        fmt::format_to(std::back_inserter(text), "{}", number);
                        break;
                    case Show::IsoDateTime:
                        iso_date(text, number / 1'000'000);
                        text.push_back('T');
                        iso_clock(text, number % 1'000'000);
                        break;
                    case Show::IsoDate:
                        iso_date(text, number);
                        break;
                    case Show::IsoTime:
                        iso_clock(text, number / 1000);
                        fmt::format_to(std::back_inserter(text), ".{:03}", number % 1000);
                        break;
                    case Show::Scaled:
                        fmt::format_to(std::back_inserter(text), "{}",
                                       static_cast<double>(number) / table.fields[i].scale);
                        break;
                }
            }
            text.push_back('\n');
            if (text.size() >= BLOCK) {
                write_all(out, text.data(), text.size());
                text.clear();
            }
        }
    }
    write_all(out, text.data(), text.size());
}

// NPY 1.0: magic, version, header length, then a Python literal padded with spaces to a
// multiple of 64 bytes and ended by a newline. The rows are packed and in field order, so the
// list form of the dtype describes them exactly.
void write_npy(const Table& table, std::FILE* out) {
    std::string descr;
    if (table.id_width > 0) descr += fmt::format("('order_book_id', '|S{}'), ", table.id_width);
    for (const auto& field : table.fields) descr += fmt::format("('{}', '{}'), ", field.name, field.numpy_code);
    std::size_t rows = 0;
    for (const TableBlock& block : table.blocks) rows += block.rows;
    std::string header = fmt::format("{{'descr': [{}], 'fortran_order': False, 'shape': ({},), }}", descr, rows);
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
    write_all(out, table.bytes.data(), table.bytes.size());
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

Table read_table(const std::string& data_bundle_path, const PanelRequest& request,
                 const std::vector<std::string>& fields, bool ids_in_rows) {
    PanelReader reader(data_bundle_path, request);
    reader.plan();  // one table: its size first
    const auto& members = reader.members();
    Table table;
    table.several = request.order_book_ids.size() > 1;
    table.kind = request.ticks ? RecordKind::Ticks : RecordKind::EquityBars;
    for (const PanelMember& member : members)
        if (member.kind == RecordKind::DerivativeBars) table.kind = RecordKind::DerivativeBars;
    const layout::RecordDescription record = describe(table.kind);
    if (ids_in_rows)
        for (const PanelMember& member : members) table.id_width = std::max(table.id_width, member.order_book_id.size());
    table.itemsize = table.id_width;
    const auto add = [&](const layout::FieldDescription& field) {
        table.fields.push_back(field);
        table.fields.back().offset = table.itemsize;
        table.itemsize += value_size(field.numpy_code);
    };
    if (fields.empty()) {
        for (const auto& field : record.fields) add(field);
    } else {
        for (const std::string& name : fields) {
            const auto field = std::find_if(record.fields.begin(), record.fields.end(),
                                            [&](const auto& f) { return f.name == name; });
            if (field == record.fields.end()) {
                std::string names;
                for (const auto& f : record.fields) names += (names.empty() ? "" : ", ") + f.name;
                throw ValueError(fmt::format("no field \"{}\" in the records read (they hold {})", name, names));
            }
            add(*field);
        }
    }
    table.bytes.resize(reader.rows() * table.itemsize);
    std::vector<std::vector<Sink>> sinks(members.size());
    unsigned char* at = table.bytes.data();
    for (std::size_t m = 0; m < members.size(); ++m) {
        const layout::RecordDescription own = describe(members[m].kind);
        TableBlock& block = table.blocks.emplace_back(TableBlock{members[m].order_book_id, members[m].rows, {}});
        for (std::size_t row = 0; row < block.rows; ++row)
            std::memcpy(at + row * table.itemsize, block.order_book_id.data(), table.id_width ? block.order_book_id.size() : 0);
        for (const auto& field : table.fields) {
            const auto source = std::find_if(own.fields.begin(), own.fields.end(),
                                             [&](const auto& f) { return f.name == field.name; });
            block.absent.push_back(source == own.fields.end());
            if (block.absent.back()) {
                if (ids_in_rows)
                    throw ValueError(fmt::format("the records of {} have no field \"{}\": leave it out (--fields) or "
                                                 "read them apart",
                                                 block.order_book_id, field.name));
                continue;
            }
            sinks[m].push_back({Sink::Form::Bytes, source->offset, value_size(field.numpy_code), 1.0,
                                at + field.offset, table.itemsize});
        }
        at += block.rows * table.itemsize;
    }
    reader.read([&sinks](std::size_t m) { return sinks[m]; });
    return table;
}

void write_table(const Table& table, Format format, const TextOptions& text, std::FILE* out) {
    if (format == Format::Csv)
        write_csv(table, text, out);
    else
        write_npy(table, out);
    if (std::fflush(out) != 0) throw OsError::from_errno(errno, "writing the records failed");
}

}  // namespace tarnwick::bundle::reading
