#pragma once
// Records read from the store files (read.hpp) as CSV or NPY, for the command line.
//
// Both keep the values as stored (tick prices ×10000, bar times YYYYMMDDHHMMSS), so nothing is
// lost: CSV has one header line of the field names, then one line per record, numbers in their
// shortest exact form; NPY (format 1.0) holds a structured array of the stored record type,
// which numpy.load() reads back as the same array as h5py's.
#include <cstdio>

#include "tarnwick/bundle/layout/record_description.hpp"
#include "tarnwick/bundle/reading/read.hpp"

namespace tarnwick::bundle::reading {

// The fields of the record type, names and numpy type codes as stored.
layout::RecordDescription describe(RecordKind kind);

enum class Format { Csv, Npy };

// Writes `records` to `out`; throws OsError when writing fails.
void write_records(const Records& records, Format format, std::FILE* out);

}  // namespace tarnwick::bundle::reading
