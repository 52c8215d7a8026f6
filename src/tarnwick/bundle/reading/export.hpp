#pragma once
// Records read from the store files (panel.hpp) as CSV or NPY, for the command line.
//
// By default both keep the values as stored (tick prices x10000, bar times YYYYMMDDHHMMSS), so
// nothing is lost: CSV has one header line of the field names, then one line per record, numbers
// in their shortest exact form; NPY (format 1.0) holds a structured array of the stored record
// type, which numpy.load() reads back as the same array as h5py's. A table of several
// instruments has an `order_book_id` column first: in CSV a text column, in NPY a bytes field
// (|S<longest identifier>) of every record.
#include <cstdio>
#include <string>
#include <vector>

#include "tarnwick/bundle/layout/record_description.hpp"
#include "tarnwick/bundle/reading/panel.hpp"
#include "tarnwick/bundle/reading/read.hpp"

namespace tarnwick::bundle::reading {

// The fields of the record type, names and numpy type codes as stored.
layout::RecordDescription describe(RecordKind kind);

enum class Format { Csv, Npy };

// The records of a panel, packed rows of the chosen fields, instrument after instrument.
struct TableBlock {
    std::string order_book_id;
    std::size_t rows = 0;
    std::vector<bool> absent;  // by field: the instrument's records have no such field (stocks' open_interest)
};
struct Table {
    RecordKind kind = RecordKind::EquityBars;   // ticks or bars (of either kind)
    std::vector<layout::FieldDescription> fields;  // offsets within a row
    std::size_t id_width = 0;  // > 0: each row begins with its instrument, NUL-padded to this width
    std::size_t itemsize = 0;  // of a row
    bool several = false;      // more than one instrument asked for: CSV names each row's
    std::vector<TableBlock> blocks;
    std::vector<unsigned char> bytes;
};

// Reads the panel of `request` into a table of `fields` (empty: every stored field; those of
// futures' records when stocks and futures are read together). `ids_in_rows` puts each row's
// instrument in the row (for NPY). Throws ValueError for an unknown field, and with
// `ids_in_rows` for a field that some instrument's records lack; the panel's errors otherwise.
Table read_table(const std::string& data_bundle_path, const PanelRequest& request,
                 const std::vector<std::string>& fields, bool ids_in_rows);

// How CSV shows values: ISO 8601 times (bars' datetime YYYY-MM-DDTHH:MM:SS, ticks' date
// YYYY-MM-DD and time HH:MM:SS.mmm) and tick prices divided by their scale. NPY keeps them as stored.
struct TextOptions {
    bool iso_times = false;
    bool scaled_prices = false;
};

// Writes `table` to `out`; throws OsError when writing fails. A field an instrument lacks is
// an empty CSV value.
void write_table(const Table& table, Format format, const TextOptions& text, std::FILE* out);

}  // namespace tarnwick::bundle::reading
